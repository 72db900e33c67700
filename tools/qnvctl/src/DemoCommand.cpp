// "demo": the whole tour against a simulated device; see CDemo.
#include <tuple>

#include "CDemo.h"
#include "CReporter.h"
#include "Commands.h"

namespace qnvctl {

int RunDemo(const CInvocation& inv) {
  CReporter out(inv.json);
  SDemoOptions options;
  options.outDir = inv.Value("--out", options.outDir);
  if (options.outDir.empty()) return out.Usage("--out needs a directory", "demo");
  options.clipPath = inv.Value("--clip");
  for (auto [name, target, low] : {std::tuple{"--seconds", &options.recordSeconds, 1.0},
                                   std::tuple{"--pre-seconds", &options.preSeconds, 0.0}}) {
    if (!inv.Has(name)) continue;
    auto v = ParseSeconds(inv.Value(name));
    if (!v || *v < low || *v > 600)
      return out.Usage(std::string("bad ") + name + " '" + inv.Value(name) + "'", "demo");
    *target = *v;
  }
  if (inv.Has("--firmware-size")) {
    auto v = ParseU32(inv.Value("--firmware-size"));
    if (!v || *v < 1 || *v > (64u << 20))
      return out.Usage("--firmware-size takes 1..67108864 bytes", "demo");
    options.firmwareBytes = *v;
  }
  CDemo demo(options, out);
  return demo.Run();
}

}  // namespace qnvctl

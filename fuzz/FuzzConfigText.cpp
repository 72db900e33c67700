// Fuzzes the limits qnv-recorder holds a configuration's text to before the
// TOML parser sees it: whatever passes them, the parser reads without
// running out of stack (it recurses per nesting level and per dotted part),
// and a text over the size limit never passes.
#include <toml++/toml.h>

#include "FuzzInput.h"
#include "config/ConfigText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnvrecorder;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string problem;
  if (!CheckConfigText(text, problem)) {
    QNV_FUZZ_CHECK(!problem.empty());
    return 0;
  }
  QNV_FUZZ_CHECK(size <= kMaxConfigBytes);
  try {
    (void)toml::parse(text, std::string_view("fuzz.toml"));
  } catch (const toml::parse_error&) {
  }
  return 0;
}

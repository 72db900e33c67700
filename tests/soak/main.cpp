// qnv-soak: runs the library for a long time against simulated devices on
// 127.0.0.1 (channels opening and closing, recordings starting and stopping,
// devices dropping every connection and rebooting, callbacks calling
// exports), checks every recording that ended, and compares threads,
// descriptors and memory with where they started. Exits 0 when all is well.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CSoakRun.h"
#include "qnvtools/CArgReader.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: qnv-soak [options]\n"
               "  --minutes M        how long to run (default 10; fractions allowed)\n"
               "  --devices N        simulated devices (default 4)\n"
               "  --sessions N       sessions per device (default 2)\n"
               "  --channels N       live channels kept open, at most 64 (default 64)\n"
               "  --recordings N     recordings open per channel at most (default 3)\n"
               "  --drop-every S     seconds between device drops and reboots (default 45; 0 off)\n"
               "  --bitrate BPS      bits per second of each stream (default 256000)\n"
               "  --dir DIR          where recordings go (default a new folder in /tmp)\n"
               "  --seed N           random seed (default 1)\n"
               "Prints progress every 30 s and the figures at the end; exits 1 when a\n"
               "recording is inconsistent, a frame malformed, a result unexpected, or\n"
               "threads, descriptors or memory did not come back.\n");
}

}  // namespace

int main(int argc, char** argv) {
  qnv::soak::SSoakOptions o;
  qnvtools::CArgReader args(argc, argv, "qnv-soak");
  while (args.Next()) {
    const std::string& a = args.Arg();
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--minutes") {
      o.minutes = std::atof(args.ValueOrExit());
    } else if (a == "--devices") {
      o.devices = std::atoi(args.ValueOrExit());
    } else if (a == "--sessions") {
      o.sessionsPerDevice = std::atoi(args.ValueOrExit());
    } else if (a == "--channels") {
      o.channels = std::atoi(args.ValueOrExit());
    } else if (a == "--recordings") {
      o.recordingsPerChannel = std::atoi(args.ValueOrExit());
    } else if (a == "--drop-every") {
      o.dropEverySeconds = std::atof(args.ValueOrExit());
    } else if (a == "--bitrate") {
      o.bitrate = uint32_t(std::atol(args.ValueOrExit()));
    } else if (a == "--dir") {
      o.dir = args.ValueOrExit();
    } else if (a == "--seed") {
      o.seed = uint32_t(std::atol(args.ValueOrExit()));
    } else {
      std::fprintf(stderr, "qnv-soak: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (o.minutes <= 0 || o.devices < 1 || o.sessionsPerDevice < 1 || o.channels < 1 ||
      o.channels > 64 || o.recordingsPerChannel < 0 || o.recordingsPerChannel > 16 ||
      o.bitrate < 1000) {
    std::fprintf(stderr, "qnv-soak: an option is out of range (see --help)\n");
    return 2;
  }
  bool ownDir = o.dir.empty();
  if (ownDir) {
    char templ[] = "/tmp/qnv-soak-XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
      std::perror("qnv-soak: mkdtemp");
      return 1;
    }
    o.dir = templ;
  }
  // Progress lines appear as they are written, also into a file or pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  qnv::soak::CSoakRun run(o);
  bool ok = run.Run(stdout);
  run.PrintFigures(stdout);
  std::printf("qnv-soak: %s\n", ok ? "PASSED" : "FAILED");
  // Recordings that passed were deleted; folders and failed ones remain.
  if (ownDir && ok) std::system(("rm -rf '" + o.dir + "'").c_str());
  return ok ? 0 : 1;
}

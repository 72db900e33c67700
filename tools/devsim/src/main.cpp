// qnv-devsim: runs a simulated device on 127.0.0.1 until interrupted.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QNVNetAlarm.h"
#include "devsim/Simulator.h"
#include "qnvtools/CArgReader.h"
#include "qnvtools/Complain.h"
#include "qnvtools/ExitStatus.h"

namespace {

using qnv::devsim::Fault;
using qnv::devsim::Simulator;
using qnv::devsim::SimulatorOptions;
using qnv::devsim::StreamFault;

std::atomic<bool> gStop{false};
void OnSignal(int) { gStop = true; }

const char kUsage[] =
    "Usage: qnv-devsim [options]\n"
    "Simulated video-analytics device on 127.0.0.1: command protocol on PORT, H.264 frames\n"
    "on PORT+2. Runs until interrupted (Ctrl-C) or --duration ends.\n"
    "\n"
    "Device:\n"
    "  --port N             command port (default 9000; 0 picks a free P with P+2 free)\n"
    "  --user NAME          user name accepted at login (default admin)\n"
    "  --password TEXT      password accepted at login (default admin)\n"
    "  --session-id N       give every session this id (may be 0) instead of a random one\n"
    "  --idle-timeout MS    drop a command connection silent this long (default 30000;\n"
    "                       0 never)\n"
    "  --firmware-delay MS  answer the firmware start command after MS (default 0)\n"
    "\n"
    "Video:\n"
    "  --clip PATH          stream this Annex-B H.264 file in a loop (default: the sample\n"
    "                       clip sample.h264 that comes with the SDK, else synthetic)\n"
    "  --synthetic          stream generated pictures instead of a clip\n"
    "  --fps F              pictures per second (default 25)\n"
    "  --unpaced            send as fast as the socket takes instead of at the frame rate\n"
    "  --bitrate BPS        synthetic source bitrate in bit/s (default 2000000)\n"
    "  --size WxH           synthetic frame size (default 1280x720)\n"
    "  --gop N              synthetic source: one I picture every N (default 50)\n"
    "  --ext-blocks         add an 8-byte extension block to every frame\n"
    "  --max-backlog BYTES  unsent bytes per stream before pictures are skipped up to the\n"
    "                       next key picture (default 8388608; 0 keeps writing everything)\n"
    "  --send-buffer BYTES  socket send buffer of stream connections (default: system's)\n"
    "\n"
    "Faults (repeatable):\n"
    "  --fault CLASS:CODE:KIND[:VALUE[:COUNT]]\n"
    "                       misbehave on replies to CLASS/CODE; COUNT times (default\n"
    "                       always). KIND is one of\n"
    "                         noreply        no reply at all\n"
    "                         delay          reply after VALUE ms\n"
    "                         close          close the connection instead of replying\n"
    "                         wrongsession   reply with session id VALUE (0: right id + 1)\n"
    "                         badprefix      reply with a broken length prefix\n"
    "                         split          reply in two writes VALUE ms apart (0: 50)\n"
    "                         double         the reply twice in one write\n"
    "                         result         reply with result code VALUE\n"
    "                         short          reply of VALUE bytes, 4..23 (otherwise 16)\n"
    "  --stream-fault KIND[:VALUE[:COUNT]]\n"
    "                       misbehave on streams; COUNT times (default 1; -1 always):\n"
    "                         garbage        VALUE bytes of junk after a frame (0: 16)\n"
    "                         oversize       a frame with payloadLength VALUE (0: 2 MiB;\n"
    "                                        above 16 MiB only the header is sent)\n"
    "                         dropmid        send half a frame, then close the stream\n"
    "                         refuse         VALUE 0: close stream connections at once;\n"
    "                                        1: never accept them\n"
    "  --freeze-after S     freeze S seconds after start (may be 0) without closing\n"
    "                       anything, as a hung camera does; see --freeze\n"
    "  --freeze WHAT        what freezes: device (the default: nothing is read,\n"
    "                       answered or sent any more, keep-alives included, while the\n"
    "                       system still takes what fits in the socket buffers, as for a\n"
    "                       stopped process) or stream (streams send no more frames;\n"
    "                       commands and keep-alives are still answered)\n"
    "\n"
    "Rule alarms (device messages on every logged-in command connection):\n"
    "  --alarm-interval MS  raise a rule alarm every MS ms while rule processing is on;\n"
    "                       also starts with rule processing on (default 0: none)\n"
    "  --alarm-size BYTES   each alarm's block length, 56..4096 (zeros after byte 56)\n"
    "  --alarm-burst N      alarms per interval and connection (default 1): a flood\n"
    "  --alarm-before-reply\n"
    "                       send an alarm just before every reply, in the same write\n"
    // An offset a line, two spaces before its field: help2man keeps them apart.
    "  An alarm's 56 bytes by offset (numbers little-endian):\n"
    "    0   \"VvEeMmSs\"\n"
    "    8   u32 block length (56)\n"
    "    12  u32 event type (1: rule fired)\n"
    "    16  u32 rule id\n"
    "    20  u32 channel (1)\n"
    "    24  u64 capture time in microseconds (the clock of frame header bytes 16..23)\n"
    "    32  u32 box x, y, width, height: four, inside the picture the streams send\n"
    "    48  u32 sequence number (from 1)\n"
    "    52  u32 zero\n"
    "\n"
    "Program:\n"
    "  --duration S         exit after S seconds (default: run until interrupted)\n"
    "  --stats S            print sessions, streams and frames every S seconds\n"
    "  --verbose            print every request and connection event to stderr\n"
    "  --help               this text\n"
    "  --version            the program's version\n";

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
  out = v;
  return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

bool ParseCount(const std::string& text, int& out) {
  if (text == "-1") {
    out = -1;
    return true;
  }
  uint64_t v = 0;
  if (!ParseUnsigned(text, 1000000000, v)) return false;
  out = static_cast<int>(v);
  return true;
}

struct CommandFault {
  uint16_t cls, code;
  Fault fault;
};

bool ParseFault(const std::string& spec, CommandFault& out) {
  const auto p = Split(spec, ':');
  if (p.size() < 3 || p.size() > 5) return false;
  uint64_t cls = 0, code = 0, value = 0;
  if (!ParseUnsigned(p[0], 0xFFFF, cls) || !ParseUnsigned(p[1], 0xFFFF, code)) return false;
  static const std::pair<const char*, Fault::Kind> kinds[] = {
      {"noreply", Fault::kNoReply},     {"delay", Fault::kDelay},
      {"close", Fault::kClose},         {"wrongsession", Fault::kWrongSession},
      {"badprefix", Fault::kBadPrefix}, {"split", Fault::kSplit},
      {"double", Fault::kDoubleReply},  {"result", Fault::kResult},
      {"short", Fault::kShortReply}};
  bool found = false;
  for (auto& [name, kind] : kinds) {
    if (p[2] == name) {
      out.fault.kind = kind;
      found = true;
    }
  }
  if (!found) return false;
  if (p.size() > 3 && !ParseUnsigned(p[3], 0xFFFFFFFF, value)) return false;
  if (p.size() > 4 && !ParseCount(p[4], out.fault.count)) return false;
  out.cls = static_cast<uint16_t>(cls);
  out.code = static_cast<uint16_t>(code);
  out.fault.value = static_cast<uint32_t>(value);
  return true;
}

bool ParseStreamFault(const std::string& spec, StreamFault& out) {
  const auto p = Split(spec, ':');
  if (p.empty() || p.size() > 3) return false;
  static const std::pair<const char*, StreamFault::Kind> kinds[] = {
      {"garbage", StreamFault::kGarbage},
      {"oversize", StreamFault::kOversize},
      {"dropmid", StreamFault::kDropMidFrame},
      {"refuse", StreamFault::kRefuse}};
  bool found = false;
  for (auto& [name, kind] : kinds) {
    if (p[0] == name) {
      out.kind = kind;
      found = true;
    }
  }
  uint64_t value = 0;
  if (!found) return false;
  if (p.size() > 1 && !ParseUnsigned(p[1], 0xFFFFFFFF, value)) return false;
  if (p.size() > 2 && !ParseCount(p[2], out.count)) return false;
  out.value = static_cast<uint32_t>(value);
  return true;
}

// The sample clip: installed beside the program's share folder, or in the
// source tree the program was built from.
std::string DefaultClip() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::vector<std::string> candidates;
  if (n > 0) {
    std::string dir(self, size_t(n));
    dir.erase(dir.rfind('/'));
    candidates.push_back(dir + "/../share/qnvnetsdk/sample.h264");
  }
  candidates.push_back(QNV_DEVSIM_SOURCE_CLIP);
  for (const auto& c : candidates)
    if (access(c.c_str(), R_OK) == 0) return c;
  return {};
}

int Fail(const std::string& message) {
  return qnvtools::Complain("qnv-devsim", message + "\n(see qnv-devsim --help)",
                            qnvtools::kExitUsage);
}

}  // namespace

int main(int argc, char** argv) {
  SimulatorOptions options;
  options.port = 9000;
  options.maxLoggedRequests = 1000;  // the program never reads the log; keep it small
  std::vector<CommandFault> faults;
  std::vector<StreamFault> streamFaults;
  uint64_t durationS = 0, statsS = 0;
  bool synthetic = false;
  double freezeAfterS = -1;  // below 0: never
  qnv::devsim::FreezeScope freezeScope = qnv::devsim::FreezeScope::kDevice;

  qnvtools::CArgReader args(argc, argv, "qnv-devsim");
  while (args.Next()) {
    const std::string& arg = args.Arg();
    std::string v;
    uint64_t n = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return qnvtools::kExitOk;
    } else if (arg == "--version") {
      std::printf("qnv-devsim %s\n", QNV_TOOLS_VERSION);
      return qnvtools::kExitOk;
    } else if (arg == "--synthetic") {
      synthetic = true;
    } else if (arg == "--port") {
      if (!args.Value(v) || !ParseUnsigned(v, 65533, n)) return Fail("--port needs 0..65533");
      options.port = static_cast<uint16_t>(n);
    } else if (arg == "--user") {
      if (!args.Value(options.user)) return Fail("--user needs a name");
    } else if (arg == "--password") {
      if (!args.Value(options.password)) return Fail("--password needs a text");
    } else if (arg == "--session-id") {
      if (!args.Value(v) || !ParseUnsigned(v, 0xFFFFFFFF, n))
        return Fail("--session-id needs a u32");
      options.fixedSessionId = true;
      options.sessionId = static_cast<uint32_t>(n);
    } else if (arg == "--idle-timeout") {
      if (!args.Value(v) || !ParseUnsigned(v, 86400000, n)) return Fail("--idle-timeout needs ms");
      options.idleTimeoutMs = static_cast<int>(n);
    } else if (arg == "--firmware-delay") {
      if (!args.Value(v) || !ParseUnsigned(v, 86400000, n))
        return Fail("--firmware-delay needs ms");
      options.firmwareStartDelayMs = static_cast<int>(n);
    } else if (arg == "--clip") {
      if (!args.Value(options.clipPath)) return Fail("--clip needs a path");
    } else if (arg == "--fps") {
      char* end = nullptr;
      if (!args.Value(v)) return Fail("--fps needs a number");
      options.fps = std::strtod(v.c_str(), &end);
      if (*end != '\0' || !(options.fps > 0 && options.fps <= 1000)) {
        return Fail("--fps needs a number above 0, at most 1000");
      }
    } else if (arg == "--unpaced") {
      options.paced = false;
    } else if (arg == "--bitrate") {
      if (!args.Value(v) || !ParseUnsigned(v, 0xFFFFFFFF, n) || n == 0) {
        return Fail("--bitrate needs bit/s");
      }
      options.syntheticBitrate = static_cast<uint32_t>(n);
    } else if (arg == "--size") {
      uint64_t w = 0, h = 0;
      const auto p = args.Value(v) ? Split(v, 'x') : std::vector<std::string>{};
      if (p.size() != 2 || !ParseUnsigned(p[0], 8192, w) || !ParseUnsigned(p[1], 8192, h) ||
          w < 16 || h < 16) {
        return Fail("--size needs WxH, 16..8192 each");
      }
      options.syntheticWidth = static_cast<uint32_t>(w);
      options.syntheticHeight = static_cast<uint32_t>(h);
    } else if (arg == "--gop") {
      if (!args.Value(v) || !ParseUnsigned(v, 65536, n) || n == 0)
        return Fail("--gop needs 1..65536");
      options.syntheticGop = static_cast<int>(n);
    } else if (arg == "--ext-blocks") {
      options.extensionBlocks = true;
    } else if (arg == "--max-backlog") {
      if (!args.Value(v) || !ParseUnsigned(v, UINT64_MAX, n))
        return Fail("--max-backlog needs bytes");
      options.maxStreamBacklog = static_cast<size_t>(n);
    } else if (arg == "--send-buffer") {
      if (!args.Value(v) || !ParseUnsigned(v, 1u << 30, n))
        return Fail("--send-buffer needs bytes");
      options.streamSendBuffer = static_cast<int>(n);
    } else if (arg == "--fault") {
      CommandFault f{};
      if (!args.Value(v) || !ParseFault(v, f)) return Fail("bad --fault " + v);
      faults.push_back(f);
    } else if (arg == "--stream-fault") {
      StreamFault f;
      if (!args.Value(v) || !ParseStreamFault(v, f)) return Fail("bad --stream-fault " + v);
      streamFaults.push_back(f);
    } else if (arg == "--duration") {
      if (!args.Value(v) || !ParseUnsigned(v, 1u << 30, durationS))
        return Fail("--duration needs s");
    } else if (arg == "--stats") {
      if (!args.Value(v) || !ParseUnsigned(v, 86400, statsS)) return Fail("--stats needs s");
    } else if (arg == "--alarm-interval") {
      if (!args.Value(v) || !ParseUnsigned(v, 86400000, n))
        return Fail("--alarm-interval needs ms");
      options.alarmIntervalMs = static_cast<int>(n);
    } else if (arg == "--alarm-size") {
      if (!args.Value(v) || !ParseUnsigned(v, 4096, n) || n < QNVNET_ALARM_SIZE)
        return Fail("--alarm-size needs 56..4096 bytes");
      options.alarmSize = static_cast<uint32_t>(n);
    } else if (arg == "--alarm-burst") {
      if (!args.Value(v) || !ParseUnsigned(v, 10000, n) || n == 0)
        return Fail("--alarm-burst needs 1..10000");
      options.alarmBurst = static_cast<uint32_t>(n);
    } else if (arg == "--alarm-before-reply") {
      options.alarmBeforeReply = true;
    } else if (arg == "--freeze-after") {
      char* end = nullptr;
      if (!args.Value(v)) return Fail("--freeze-after needs seconds");
      freezeAfterS = std::strtod(v.c_str(), &end);
      if (*end != '\0' || !(freezeAfterS >= 0 && freezeAfterS <= 86400))
        return Fail("--freeze-after needs seconds, 0 to 86400");
    } else if (arg == "--freeze") {
      if (!args.Value(v) || (v != "device" && v != "stream"))
        return Fail("--freeze takes device or stream");
      freezeScope =
          v == "stream" ? qnv::devsim::FreezeScope::kStream : qnv::devsim::FreezeScope::kDevice;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else {
      return Fail("unknown option " + arg);
    }
  }

  // Hundreds of sessions need more descriptors than the usual soft limit.
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }

  if (options.clipPath.empty() && !synthetic) options.clipPath = DefaultClip();
  Simulator sim(options);
  for (auto& f : faults) sim.SetFault(f.cls, f.code, f.fault);
  for (auto& f : streamFaults) sim.SetStreamFault(f);
  if (!sim.Start()) {
    std::fprintf(stderr, "qnv-devsim: %s\n", sim.LastError().c_str());
    return qnvtools::kExitFailed;
  }
  std::printf("qnv-devsim: listening on 127.0.0.1:%u, streams on 127.0.0.1:%u, source %s\n",
              static_cast<unsigned>(sim.Port()), static_cast<unsigned>(sim.Port()) + 2u,
              options.clipPath.empty() ? "synthetic" : options.clipPath.c_str());
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  const auto start = std::chrono::steady_clock::now();
  auto nextStats = start + std::chrono::seconds(statsS);
  bool frozen = false;
  while (!gStop) {
    // A freeze to come is timed to 10 ms.
    std::this_thread::sleep_for(std::chrono::milliseconds(frozen || freezeAfterS < 0 ? 100 : 10));
    const auto now = std::chrono::steady_clock::now();
    if (!frozen && freezeAfterS >= 0 &&
        now - start >= std::chrono::duration<double>(freezeAfterS)) {
      frozen = true;
      sim.Freeze(freezeScope);
      std::printf("qnv-devsim: frozen (%s)\n",
                  freezeScope == qnv::devsim::FreezeScope::kStream ? "streams" : "device");
      std::fflush(stdout);
    }
    if (durationS != 0 && now - start >= std::chrono::seconds(durationS)) break;
    if (statsS != 0 && now >= nextStats) {
      nextStats += std::chrono::seconds(statsS);
      std::printf("sessions %zu, streams %zu, frames sent %llu\n", sim.SessionCount(),
                  sim.StreamCount(), static_cast<unsigned long long>(sim.FramesSent()));
      std::fflush(stdout);
    }
  }
  sim.Stop();
  std::printf("qnv-devsim: stopped after %llu frames\n",
              static_cast<unsigned long long>(sim.FramesSent()));
  return qnvtools::kExitOk;
}

// qnv-bench-blaster: the sending side of the ingest benchmarks, run as a
// process of its own so its CPU time is not the receiver's.
//
//   device mode: a minimal device on 127.0.0.1: command port P (login,
//     open-stream, keep-alive ...) and stream port P + 2, where each attached
//     connection gets the framed clip (unpaced --loops N, or --paced at 25
//     fps). Prints "ready port=P" once listening.
//   raw mode: connects to 127.0.0.1:PORT (ffmpeg listening) and writes the
//     clip's elementary stream --loops times, then closes.
//
// It runs until its standard input ends (raw mode: until the stream is
// written), then prints its counters as "result ..." lines.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchClip.h"
#include "BenchUtil.h"
#include "CommandServer.h"
#include "StreamServer.h"
#include "qnvtools/CArgReader.h"

namespace {

using namespace qnv::bench;

constexpr int kConnectTimeoutMs = 10000;
constexpr size_t kRawWrite = 1u << 20;
constexpr int kPortAttempts = 100;

void Usage() {
  std::printf(
      "usage: qnv-bench-blaster --clip FILE [--loops N] [--paced] [--fps F] [--port P]\n"
      "                         [--pieces BYTES [--piece-gap-us US]]\n"
      "       qnv-bench-blaster --clip FILE --raw-connect PORT [--loops N]\n"
      "Device mode listens on 127.0.0.1:P (commands) and P+2 (stream) and prints\n"
      "\"ready port=P\"; it stops when standard input ends. With --paced --pieces, each\n"
      "picture goes out in pieces of BYTES (e.g. 1448, a TCP segment on Ethernet),\n"
      "US microseconds apart (default 200), as a network delivers it. Raw mode writes\n"
      "the clip's elementary stream N times to 127.0.0.1:PORT.\n");
}

int RunRaw(const CBenchClip& clip, uint16_t port, uint64_t loops) {
  qnvtools::UniqueFd fd = ConnectLoopback(port, kConnectTimeoutMs);
  if (!fd.Valid()) {
    std::fprintf(stderr, "qnv-bench-blaster: cannot connect to 127.0.0.1:%u\n", port);
    return 1;
  }
  const std::vector<uint8_t>& raw = clip.Raw();
  uint64_t bytes = 0;
  const uint64_t startNs = MonotonicNs();
  bool ok = true;
  for (uint64_t loop = 0; ok && loop < loops; ++loop) {
    for (size_t at = 0; ok && at < raw.size(); at += kRawWrite) {
      const size_t n = std::min(kRawWrite, raw.size() - at);
      ok = SendAll(fd.Get(), raw.data() + at, n);
      if (ok) bytes += n;
    }
  }
  const uint64_t endNs = MonotonicNs();
  fd.Reset();
  CResultLine("stream")
      .Add("start_ns", startNs)
      .Add("send_end_ns", endNs)
      .Add("bytes", bytes)
      .Add("complete", uint64_t(ok ? 1 : 0))
      .Print();
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::string clipPath;
  uint64_t loops = 1;
  bool paced = false;
  double fps = 25;
  int port = 0;
  int rawPort = -1;
  uint32_t pieceBytes = 0, pieceGapUs = 200;
  qnvtools::CArgReader args(argc, argv, "qnv-bench-blaster");
  while (args.Next()) {
    const std::string& a = args.Arg();
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--clip") {
      clipPath = args.ValueOrExit();
    } else if (a == "--loops") {
      loops = std::strtoull(args.ValueOrExit(), nullptr, 10);
    } else if (a == "--paced") {
      paced = true;
    } else if (a == "--fps") {
      fps = std::atof(args.ValueOrExit());
    } else if (a == "--port") {
      port = std::atoi(args.ValueOrExit());
    } else if (a == "--pieces") {
      pieceBytes = uint32_t(std::strtoul(args.ValueOrExit(), nullptr, 10));
    } else if (a == "--piece-gap-us") {
      pieceGapUs = uint32_t(std::strtoul(args.ValueOrExit(), nullptr, 10));
    } else if (a == "--raw-connect") {
      rawPort = std::atoi(args.ValueOrExit());
    } else {
      std::fprintf(stderr, "qnv-bench-blaster: unknown argument %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (clipPath.empty() || loops == 0 || fps <= 0 || port < 0 || port > 65533 || rawPort > 65535 ||
      (pieceBytes > 0 && !paced)) {
    Usage();
    return 2;
  }
  CBenchClip clip;
  std::string error;
  if (!clip.Load(clipPath, &error)) {
    std::fprintf(stderr, "qnv-bench-blaster: %s\n", error.c_str());
    return 1;
  }
  if (rawPort >= 0) return RunRaw(clip, uint16_t(rawPort), loops);

  // A command port P whose P + 2 is free as well.
  qnvtools::UniqueFd command, stream;
  for (int attempt = 0; attempt < kPortAttempts && !stream.Valid(); ++attempt) {
    command = ListenLoopback(uint16_t(port));
    if (!command.Valid()) break;
    const uint16_t p = LocalPort(command.Get());
    if (p > 65533) continue;
    stream = ListenLoopback(uint16_t(p + 2));
    if (port != 0) break;
  }
  if (!command.Valid() || !stream.Valid()) {
    std::fprintf(stderr, "qnv-bench-blaster: no free port pair on 127.0.0.1\n");
    return 1;
  }
  const uint16_t commandPort = LocalPort(command.Get());
  CCommandServer commands;
  CStreamServer streams(clip, CStreamServer::SOptions{paced, fps, loops, pieceBytes, pieceGapUs});
  if (!commands.Start(std::move(command)) || !streams.Start(std::move(stream))) {
    std::fprintf(stderr, "qnv-bench-blaster: cannot start its servers\n");
    return 1;
  }
  std::printf("ready port=%u\n", commandPort);
  std::fflush(stdout);

  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  streams.Stop();
  commands.Stop();
  const auto& k = commands.KeepAlives();
  CResultLine("commands")
      .Add("logins", commands.Logins())
      .Add("keepalives", k.count)
      .Add("keepalive_first_ns", k.firstNs)
      .Add("keepalive_last_ns", k.lastNs)
      .Print();
  if (paced) {
    const auto s = streams.PacedStats();
    CResultLine("paced")
        .Add("frames", s.frames)
        .Add("units", s.units)
        .Add("bytes", s.bytes)
        .Add("late_units", s.late)
        .Add("max_late_ms", double(s.maxLateNs) / 1e6)
        .Print();
  }
  return 0;
}

// qnv-bench-rtsp-attack: how many RTSP viewers a running qnv-recorder serves
// while clients attack its port. Each attacker connects and sends a request
// that never ends (a request line, then bytes without a line end, as fast as
// the socket takes them); VIEWERS viewers meanwhile each DESCRIBE, SETUP and
// PLAY the camera and read it for SECONDS. A viewer counts as served when
// its first media byte came within 2 s and it got video all along (at least
// a quarter of what a viewer gets with no attack, given as --expect).
// Prints one line of key=value figures.
//
// usage: qnv-bench-rtsp-attack --port P --camera NAME [--viewers N]
//        [--seconds S] [--attackers N] [--expect BYTES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/RtspViewer.h"

int main(int argc, char** argv) {
  uint16_t port = 0;
  std::string camera = "cam1";
  int viewers = 8, seconds = 10, attackers = 1;
  double expect = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--port")
      port = uint16_t(std::atoi(argv[i + 1]));
    else if (a == "--camera")
      camera = argv[i + 1];
    else if (a == "--viewers")
      viewers = std::atoi(argv[i + 1]);
    else if (a == "--seconds")
      seconds = std::atoi(argv[i + 1]);
    else if (a == "--attackers")
      attackers = std::atoi(argv[i + 1]);
    else if (a == "--expect")
      expect = std::atof(argv[i + 1]);
  }
  if (port == 0 || viewers < 1 || seconds < 1 || attackers < 0) {
    std::fprintf(stderr,
                 "usage: qnv-bench-rtsp-attack --port P --camera NAME [--viewers N] "
                 "[--seconds S] [--attackers N] [--expect BYTES]\n");
    return 2;
  }
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::vector<double> cutMs(static_cast<size_t>(attackers), -1.0);
  std::vector<std::thread> threads;
  for (int i = 0; i < attackers; ++i) {
    threads.emplace_back([&, i] {
      qnvtest::RtspClient evil(port);
      evil.Send("DESCRIBE rtsp://127.0.0.1/" + camera + " RTSP/1.0\r\nX-Pad: ");
      const std::string chunk(65536, 'a');
      while (Clock::now() - start < std::chrono::seconds(seconds + 3)) {
        if (!evil.Send(chunk)) {
          cutMs[size_t(i)] =
              std::chrono::duration<double, std::milli>(Clock::now() - start).count();
          return;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(attackers > 0 ? 300 : 0));
  std::vector<qnvtest::SViewing> got(static_cast<size_t>(viewers));
  std::vector<std::thread> watchers;
  for (int i = 0; i < viewers; ++i) {
    watchers.emplace_back(
        [&, i] { got[size_t(i)] = qnvtest::WatchCamera(port, camera, seconds * 1000); });
  }
  for (std::thread& t : watchers) t.join();
  for (std::thread& t : threads) t.join();
  int served = 0;
  double bytes = 0, firstMax = 0;
  for (const qnvtest::SViewing& v : got) {
    const bool ok = !v.failed && !v.refused && v.firstMediaMs >= 0 && v.firstMediaMs < 2000 &&
                    double(v.bytes) >= expect / 4;
    served += ok;
    bytes += double(v.bytes);
    if (v.firstMediaMs > firstMax) firstMax = v.firstMediaMs;
  }
  double cutMax = attackers > 0 ? 0 : -1;
  int cut = 0;
  for (double c : cutMs) {
    cut += c >= 0;
    if (c > cutMax) cutMax = c;
  }
  std::printf(
      "viewers_served=%d/%d bytes_per_viewer=%.0f first_media_max_ms=%.0f "
      "attackers_cut=%d/%d attacker_cut_max_ms=%.0f\n",
      served, viewers, bytes / viewers, firstMax, cut, attackers, cutMax);
  return 0;
}

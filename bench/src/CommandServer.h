// CCommandServer: the benchmark device's command port, as little of it as
// the library needs: it answers login (any credentials), open-stream (a new
// stream id per request), keep-alive and every other request with success,
// echoing class, code and the connection's session id. One poll() thread
// serves every connection, so 500 sessions cost no 500 threads. Owns the
// listening socket, the connections and the thread; Start and Stop from one
// thread. Keep-alive counts are read after Stop.
#ifndef QNV_BENCH_COMMANDSERVER_H
#define QNV_BENCH_COMMANDSERVER_H

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "qnvtools/UniqueFd.h"

namespace qnv::bench {

class CCommandServer {
 public:
  struct SKeepAliveStats {
    uint64_t count = 0;
    uint64_t firstNs = 0;  // first keep-alive request read
    uint64_t lastNs = 0;   // last keep-alive reply sent
  };

  CCommandServer() = default;
  ~CCommandServer();
  CCommandServer(const CCommandServer&) = delete;
  CCommandServer& operator=(const CCommandServer&) = delete;

  bool Start(qnvtools::UniqueFd listener);
  void Stop();
  const SKeepAliveStats& KeepAlives() const { return m_keepAlives; }  // after Stop
  uint64_t Logins() const { return m_logins; }                        // after Stop

 private:
  struct SConnection {
    qnvtools::UniqueFd fd;
    std::vector<uint8_t> input;
    uint32_t sessionId = 0;
  };
  void Run();
  // Answers every whole request in c.input; false when the connection failed.
  bool Serve(SConnection& c);

  qnvtools::UniqueFd m_listener;
  qnvtools::UniqueFd m_wake;  // eventfd that Stop signals
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  uint32_t m_nextSession = 0x1000;
  uint32_t m_nextStream = 0;
  SKeepAliveStats m_keepAlives;
  uint64_t m_logins = 0;
};

}  // namespace qnv::bench

#endif  // QNV_BENCH_COMMANDSERVER_H

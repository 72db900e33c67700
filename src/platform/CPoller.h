// CPoller: one epoll set of sockets watched for readability, each armed for a
// single report (re-armed by its owner once it has been read), and a wake-up
// descriptor. Owns both descriptors. Arm, Rearm, Remove and Wake may be
// called from any thread; Wait from one thread at a time. Open and Close run
// while no other thread uses the poller.
#ifndef QNV_PLATFORM_CPOLLER_H
#define QNV_PLATFORM_CPOLLER_H

#include <atomic>
#include <cstdint>

namespace qnv::platform {

class CPoller {
 public:
  CPoller() = default;
  ~CPoller() { Close(); }
  CPoller(const CPoller&) = delete;
  CPoller& operator=(const CPoller&) = delete;

  bool Open();
  void Close();
  // Watches fd for one readable report carrying token.
  bool Arm(int fd, uint64_t token);
  // Asks for the next report on fd (reported at once when bytes are pending).
  bool Rearm(int fd, uint64_t token);
  void Remove(int fd);
  // Makes a Wait in progress (or the next one) return.
  void Wake();
  // Waits up to timeoutMs (-1: no limit) and stores the tokens of ready
  // sockets; returns their count (0 on time-out, wake-up or error). A
  // wake-up is consumed and not reported as a token.
  int Wait(uint64_t* tokens, int capacity, int timeoutMs);

 private:
  std::atomic<int> m_epoll{-1};
  std::atomic<int> m_wake{-1};
};

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_CPOLLER_H

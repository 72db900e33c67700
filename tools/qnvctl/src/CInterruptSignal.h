// CInterruptSignal: turns Ctrl-C (SIGINT) and SIGTERM into an event the host
// thread polls for, so long-running commands can stop cleanly (closing the
// recording, the channel and the session) instead of dying mid-write.
//
// It blocks both signals for the calling thread and every thread created
// afterwards, and reads them from a signalfd: no asynchronous handler runs
// and no system call of the SDK's threads is interrupted. Create it on the
// host thread BEFORE any other thread exists (before CSdkLibrary::Start and
// before a simulator starts); the destructor restores the old signal mask.
#ifndef QNVCTL_CINTERRUPTSIGNAL_H
#define QNVCTL_CINTERRUPTSIGNAL_H

#include <signal.h>

namespace qnvctl {

class CInterruptSignal {
 public:
  CInterruptSignal();
  ~CInterruptSignal();
  CInterruptSignal(const CInterruptSignal&) = delete;
  CInterruptSignal& operator=(const CInterruptSignal&) = delete;

  // Waits up to timeoutMs (0: just looks) for a signal; true once one has
  // arrived, now or earlier.
  bool Wait(int timeoutMs);
  bool Raised() { return Wait(0); }
  // What stopped the run: "Ctrl-C" (SIGINT) or "SIGTERM"; "" before.
  const char* What() const;
  int fd() const { return m_fd; }  // readable when a signal is pending

 private:
  sigset_t m_oldMask;
  int m_fd = -1;
  bool m_raised = false;
  int m_signal = 0;
};

}  // namespace qnvctl

#endif  // QNVCTL_CINTERRUPTSIGNAL_H

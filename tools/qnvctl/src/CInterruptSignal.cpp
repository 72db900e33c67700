#include "CInterruptSignal.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace qnvctl {

CInterruptSignal::CInterruptSignal() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, &m_oldMask);
  m_fd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
}

CInterruptSignal::~CInterruptSignal() {
  if (m_fd >= 0) close(m_fd);
  pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
}

const char* CInterruptSignal::What() const {
  if (!m_raised) return "";
  return m_signal == SIGTERM ? "SIGTERM" : "Ctrl-C";
}

bool CInterruptSignal::Wait(int timeoutMs) {
  if (m_raised) return true;
  if (m_fd < 0) {
    // Without a signalfd the signals stay blocked; waiting is all we can do.
    if (timeoutMs > 0) usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return false;
  }
  pollfd p{m_fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
    signalfd_siginfo info;
    if (read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      m_raised = true;
      m_signal = static_cast<int>(info.ssi_signo);
    }
  }
  return m_raised;
}

}  // namespace qnvctl

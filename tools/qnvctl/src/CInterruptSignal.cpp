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
  pthread_sigmask(SIG_BLOCK, &mask, &oldMask_);
  fd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
}

CInterruptSignal::~CInterruptSignal() {
  if (fd_ >= 0) close(fd_);
  pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
}

const char* CInterruptSignal::What() const {
  if (!raised_) return "";
  return signal_ == SIGTERM ? "SIGTERM" : "Ctrl-C";
}

bool CInterruptSignal::Wait(int timeoutMs) {
  if (raised_) return true;
  if (fd_ < 0) {
    // Without a signalfd the signals stay blocked; waiting is all we can do.
    if (timeoutMs > 0) usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return false;
  }
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
    signalfd_siginfo info;
    if (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      raised_ = true;
      signal_ = static_cast<int>(info.ssi_signo);
    }
  }
  return raised_;
}

}  // namespace qnvctl

#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "BenchUtil.h"

namespace qnv::bench {

CChildProcess::~CChildProcess() { Kill(); }

bool CChildProcess::Start(const std::vector<std::string>& argv, const std::string& stderrPath) {
  if (pid_ > 0 || argv.empty()) return false;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  int err = -1;
  if (!stderrPath.empty())
    err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (err >= 0) dup2(err, 2);
    execv(args[0], args.data());
    std::fprintf(stderr, "cannot run %s\n", args[0]);
    _exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (err >= 0) ::close(err);
  if (pid < 0) {
    ::close(in[1]);
    ::close(out[0]);
    return false;
  }
  pid_ = pid;
  stdin_.Reset(in[1]);
  stdout_.Reset(out[0]);
  pending_.clear();
  eof_ = false;
  return true;
}

bool CChildProcess::ReadLine(std::string* line, int timeoutMs) {
  const uint64_t deadline = MonotonicNs() + uint64_t(timeoutMs) * 1000000u;
  for (;;) {
    const size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      *line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    if (eof_ || !stdout_.Valid()) return false;
    const uint64_t now = MonotonicNs();
    if (now >= deadline) return false;
    pollfd p{stdout_.Get(), POLLIN, 0};
    int r = ::poll(&p, 1, int((deadline - now) / 1000000u) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(stdout_.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      continue;
    }
    pending_.append(buf, size_t(n));
  }
}

bool CChildProcess::Wait(struct rusage* usage, uint64_t* endNs, uint64_t* peakRssKb) {
  if (pid_ <= 0) return false;
  if (peakRssKb != nullptr) {
    // The child stays a zombie (WNOWAIT) once it ended, so its pid cannot be
    // taken by another process while it is sampled.
    for (;;) {
      siginfo_t info{};
      if (waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno != EINTR)
        break;
      if (info.si_pid == pid_) break;
      *peakRssKb = std::max<uint64_t>(*peakRssKb, PeakRssKb(pid_));
      usleep(2000);
    }
  }
  int status = 0;
  struct rusage u {};
  pid_t r;
  do {
    r = wait4(pid_, &status, 0, &u);
  } while (r < 0 && errno == EINTR);
  if (endNs != nullptr) *endNs = MonotonicNs();
  if (usage != nullptr) *usage = u;
  pid_ = -1;
  stdin_.Reset();
  return r > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void CChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  Wait(nullptr, nullptr);
}

}  // namespace qnv::bench

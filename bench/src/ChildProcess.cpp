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

bool CChildProcess::Start(const std::vector<std::string>& argv, const std::string& stderrPath,
                          const std::vector<std::string>& env) {
  if (m_pid > 0 || argv.empty()) return false;
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
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
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
  m_pid = pid;
  m_stdin.Reset(in[1]);
  m_stdout.Reset(out[0]);
  m_pending.clear();
  m_eof = false;
  return true;
}

bool CChildProcess::ReadLine(std::string* line, int timeoutMs) {
  const uint64_t deadline = MonotonicNs() + uint64_t(timeoutMs) * 1000000u;
  for (;;) {
    const size_t nl = m_pending.find('\n');
    if (nl != std::string::npos) {
      *line = m_pending.substr(0, nl);
      m_pending.erase(0, nl + 1);
      return true;
    }
    if (m_eof || !m_stdout.Valid()) return false;
    const uint64_t now = MonotonicNs();
    if (now >= deadline) return false;
    pollfd p{m_stdout.Get(), POLLIN, 0};
    int r = ::poll(&p, 1, int((deadline - now) / 1000000u) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(m_stdout.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_eof = true;
      continue;
    }
    m_pending.append(buf, size_t(n));
  }
}

bool CChildProcess::Wait(struct rusage* usage, uint64_t* endNs, uint64_t* peakRssKb) {
  if (m_pid <= 0) return false;
  if (peakRssKb != nullptr) {
    // The child stays a zombie (WNOWAIT) once it ended, so its pid cannot be
    // taken by another process while it is sampled.
    for (;;) {
      siginfo_t info{};
      if (waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno != EINTR)
        break;
      if (info.si_pid == m_pid) break;
      *peakRssKb = std::max<uint64_t>(*peakRssKb, PeakRssKb(m_pid));
      usleep(2000);
    }
  }
  int status = 0;
  struct rusage u {};
  pid_t r;
  do {
    r = wait4(m_pid, &status, 0, &u);
  } while (r < 0 && errno == EINTR);
  if (endNs != nullptr) *endNs = MonotonicNs();
  if (usage != nullptr) *usage = u;
  m_pid = -1;
  m_stdin.Reset();
  return r > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void CChildProcess::Kill() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGKILL);
  Wait(nullptr, nullptr);
}

}  // namespace qnv::bench

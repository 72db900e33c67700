#include "XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qnvtest {
namespace {

// The descriptor number on which the server reports its display number.
constexpr int kDisplayFd = 100;
constexpr auto kStartTimeout = std::chrono::seconds(15);

std::string FindOnPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

}  // namespace

bool XvfbServer::Available() { return !FindOnPath("Xvfb").empty(); }

bool XvfbServer::Start(const std::string& screen) {
  const std::string binary = FindOnPath("Xvfb");
  if (binary.empty()) {
    m_error = "Xvfb not found";
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    m_error = "pipe failed";
    return false;
  }
  const std::string fdText = std::to_string(kDisplayFd);
  std::vector<std::string> args = {binary, "-displayfd", fdText, "-screen", "0",
                                   screen, "-nolisten",  "tcp",  "-noreset"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec. The server dies
    // with the test, even when the test is killed or aborts.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull < 0 || dup2(fds[1], kDisplayFd) < 0 || dup2(devnull, 1) < 0 ||
        dup2(devnull, 2) < 0) {
      _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    m_error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  m_pid = pid;
  // The server writes its display number once it accepts connections.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0) break;
    if (ready == 0) continue;
    char buf[32];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, size_t(n));
    if (number.find('\n') != std::string::npos) break;
  }
  close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
  if (number.empty()) {
    Stop();
    m_error = "Xvfb did not report a display";
    return false;
  }
  m_display = ":" + number;
  return true;
}

void XvfbServer::Stop() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
      m_pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

}  // namespace qnvtest

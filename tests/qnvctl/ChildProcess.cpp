#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace qnvtest {

ChildProcess::~ChildProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_outFd >= 0) close(m_outFd);
  if (m_errFd >= 0) close(m_errFd);
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (!env.count(name)) envStrings.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (!value.empty()) envStrings.push_back(name + "=" + value);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts with default signal handling and nothing blocked,
  // whatever this process has set up.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int rc = posix_spawn(&m_pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  close(err[1]);
  m_outFd = out[0];
  m_errFd = err[0];
  if (rc != 0) {
    m_pid = -1;
    return false;
  }
  return true;
}

bool ChildProcess::Pump(int timeoutMs) {
  pollfd fds[2];
  int n = 0;
  if (m_outFd >= 0) fds[n++] = {m_outFd, POLLIN, 0};
  if (m_errFd >= 0) fds[n++] = {m_errFd, POLLIN, 0};
  if (n == 0) return false;
  if (poll(fds, n, timeoutMs) <= 0) return true;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[4096];
    const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
    const bool isOut = fds[i].fd == m_outFd;
    if (got > 0) {
      (isOut ? m_result.out : m_result.err).append(buffer, static_cast<size_t>(got));
    } else {
      close(fds[i].fd);
      (isOut ? m_outFd : m_errFd) = -1;
    }
  }
  return m_outFd >= 0 || m_errFd >= 0;
}

bool ChildProcess::WaitFor(const std::string& output, const std::string& text, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (output.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !Pump(static_cast<int>(left))) return output.find(text) != std::string::npos;
  }
  return true;
}

bool ChildProcess::WaitForStderr(const std::string& text, int timeoutMs) {
  return WaitFor(m_result.err, text, timeoutMs);
}

bool ChildProcess::WaitForStdout(const std::string& text, int timeoutMs) {
  return WaitFor(m_result.out, text, timeoutMs);
}

void ChildProcess::Signal(int signal) {
  if (m_pid > 0) kill(m_pid, signal);
}

ChildResult ChildProcess::Finish(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      m_result.timedOut = true;
      kill(m_pid, SIGKILL);
      break;
    }
    if (!Pump(static_cast<int>(left))) break;
  }
  int status = 0;
  if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid) {
    if (WIFEXITED(status)) m_result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) m_result.signal = WTERMSIG(status);
  }
  m_pid = -1;
  if (m_result.timedOut) m_result.exitCode = -1;
  return m_result;
}

ChildResult ChildProcess::Run(const std::vector<std::string>& argv, int timeoutMs,
                              const std::map<std::string, std::string>& env) {
  ChildProcess child;
  if (!child.Start(argv, env)) {
    ChildResult r;
    r.err = "could not start " + argv[0];
    return r;
  }
  return child.Finish(timeoutMs);
}

}  // namespace qnvtest

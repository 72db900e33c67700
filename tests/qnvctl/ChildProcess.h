// ChildProcess: runs a program as a child process with its standard output
// and error captured, for tests that drive a command-line tool. Owns the
// child and both pipes; the child is killed and reaped when the object goes.
// One thread.
#ifndef QNV_TESTS_QNVCTL_CHILDPROCESS_H
#define QNV_TESTS_QNVCTL_CHILDPROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace qnvtest {

struct ChildResult {
  int exitCode = -1;  // -1 when killed by a signal or timed out
  int signal = 0;     // the signal that ended it, if any
  bool timedOut = false;
  std::string out, err;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a path) with the environment of this process plus env
  // (an empty value removes a variable).
  bool Start(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = {});
  // Reads output until text appears on stderr (stdout) or timeoutMs pass;
  // true when it did.
  bool WaitForStderr(const std::string& text, int timeoutMs);
  bool WaitForStdout(const std::string& text, int timeoutMs);
  void Signal(int signal);
  // What the child wrote to stderr (stdout) so far, as read by the waits.
  const std::string& Stderr() const { return m_result.err; }
  const std::string& Stdout() const { return m_result.out; }
  pid_t Pid() const { return m_pid; }
  // Reads everything and waits for the exit; kills the child after timeoutMs.
  ChildResult Finish(int timeoutMs);

  // Start + Finish.
  static ChildResult Run(const std::vector<std::string>& argv, int timeoutMs = 20000,
                         const std::map<std::string, std::string>& env = {});

 private:
  // Reads what is available within timeoutMs; false once both pipes closed.
  bool Pump(int timeoutMs);
  bool WaitFor(const std::string& output, const std::string& text, int timeoutMs);

  pid_t m_pid = -1;
  int m_outFd = -1, m_errFd = -1;
  ChildResult m_result;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_QNVCTL_CHILDPROCESS_H

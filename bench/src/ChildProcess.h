// CChildProcess: one program started by the benchmark driver, with its
// standard input and output on pipes (standard error goes to a file or is
// inherited). Reads its output line by line with a time-out and reaps it with
// its resource usage. The destructor kills and reaps a child still running,
// so no process outlives its object. One thread.
#ifndef QNV_BENCH_CHILDPROCESS_H
#define QNV_BENCH_CHILDPROCESS_H

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qnvtools/UniqueFd.h"

namespace qnv::bench {

class CChildProcess {
 public:
  CChildProcess() = default;
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Starts argv[0] (a path) with argv; stderrPath empty: inherited. env:
  // "NAME=VALUE" entries set in the child only.
  bool Start(const std::vector<std::string>& argv, const std::string& stderrPath = "",
             const std::vector<std::string>& env = {});
  // The next line of its standard output, without the newline. False at the
  // end of its output or when no whole line came within timeoutMs.
  bool ReadLine(std::string* line, int timeoutMs);
  void CloseStdin() { m_stdin.Reset(); }
  // Waits for the end; true when it exited with status 0. usage and endNs
  // (CLOCK_MONOTONIC when it ended) may be null. With peakRssKb, samples the
  // child's peak resident set every 2 ms until it ends.
  bool Wait(struct rusage* usage, uint64_t* endNs, uint64_t* peakRssKb = nullptr);
  void Kill();
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  qnvtools::UniqueFd m_stdin;
  qnvtools::UniqueFd m_stdout;
  std::string m_pending;
  bool m_eof = false;
};

}  // namespace qnv::bench

#endif  // QNV_BENCH_CHILDPROCESS_H

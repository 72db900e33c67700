// Small helpers shared by the benchmark programs: clocks, resource usage,
// loopback sockets and the "result key=value ..." lines through which the
// programs report to the driver. Thread-safe (no shared state).
#ifndef QNV_BENCH_BENCHUTIL_H
#define QNV_BENCH_BENCHUTIL_H

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "qnvtools/UniqueFd.h"

namespace qnv::bench {

// CLOCK_MONOTONIC in nanoseconds: one clock for every process on the machine,
// so a sender's and a receiver's times can be subtracted.
uint64_t MonotonicNs();
void SleepUntilNs(uint64_t deadlineNs);

// User + system CPU seconds of a rusage.
double CpuSeconds(const struct rusage& usage);
struct rusage SelfUsage();
// Resident set size of this process now, in bytes (from /proc/self/statm).
uint64_t CurrentRssBytes();
// Peak resident set size (VmHWM) of a process (0: this one) in KiB, 0 when
// unknown. Unlike getrusage's maxrss it does not count the memory a child
// shared with its parent before exec.
uint64_t PeakRssKb(int pid);

// Loopback sockets (127.0.0.1 only).
qnvtools::UniqueFd ListenLoopback(uint16_t port);  // port 0: any free port
uint16_t LocalPort(int fd);
qnvtools::UniqueFd ConnectLoopback(uint16_t port, int timeoutMs);
// Writes every byte (MSG_NOSIGNAL); false when the connection failed.
bool SendAll(int fd, const void* data, size_t length);
// Reads exactly length bytes, waiting at most timeoutMs in all; false on a
// time-out, error or close.
bool RecvExact(int fd, void* data, size_t length, int timeoutMs);

// "result <what> key=value ..." on one line of standard output, flushed.
class CResultLine {
 public:
  explicit CResultLine(const std::string& what) : m_line("result " + what) {}
  CResultLine(const CResultLine&) = delete;
  CResultLine& operator=(const CResultLine&) = delete;
  CResultLine& Add(const std::string& key, double value);
  CResultLine& Add(const std::string& key, uint64_t value);
  CResultLine& Add(const std::string& key, const std::string& value);  // no spaces
  void Print();                                                        // to standard output

 private:
  std::string m_line;
};

// Parses a result line: "what" and its key=value pairs. False when the line
// is not a result line.
bool ParseResultLine(const std::string& line, std::string* what,
                     std::map<std::string, std::string>* values);

}  // namespace qnv::bench

#endif  // QNV_BENCH_BENCHUTIL_H

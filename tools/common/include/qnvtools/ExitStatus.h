// The exit statuses the tools share: 0 success, 1 the work failed, 2 bad
// arguments (or configuration). A tool whose statuses mean otherwise (the
// exporter's 1 is a damaged recording) says so beside its own.
#ifndef QNVTOOLS_EXITSTATUS_H
#define QNVTOOLS_EXITSTATUS_H

namespace qnvtools {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

}  // namespace qnvtools

#endif  // QNVTOOLS_EXITSTATUS_H

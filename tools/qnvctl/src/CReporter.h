// CReporter: where a command's results and failures go. Text mode prints
// readable lines on stdout; JSON mode (--json) prints exactly one JSON object
// per result on stdout. Failures are one line on stderr in both modes (JSON
// mode also prints {"ok":false,...} on stdout), so scripts can rely on the
// exit status and on stdout alike. Owns nothing; one thread (the host's).
#ifndef QNVCTL_CREPORTER_H
#define QNVCTL_CREPORTER_H

#include <cstdint>
#include <string>

#include "CJsonObject.h"
#include "qnvtools/ExitStatus.h"

namespace qnvctl {

// Exit statuses: the tools' own.
using qnvtools::kExitFailed;
using qnvtools::kExitOk;
using qnvtools::kExitUsage;

class CReporter {
 public:
  explicit CReporter(bool json) : m_json(json) {}
  CReporter(const CReporter&) = delete;
  CReporter& operator=(const CReporter&) = delete;

  bool json() const { return m_json; }

  // A line of readable output (text mode only).
  void Text(const std::string& line) const;
  // A note on stderr that does not change the result (both modes).
  void Note(const std::string& line) const;

  // Prints the result object (JSON mode, with "ok":true added in front) and
  // returns kExitOk.
  int Done(const CJsonObject& result) const;

  // "what: -30 (no such session or login refused)"; returns kExitFailed.
  int SdkFailure(const std::string& what, uint32_t code) const;
  // A failure that is not an SDK result; returns kExitFailed.
  int Failure(const std::string& message) const;
  // Bad arguments; returns kExitUsage.
  int Usage(const std::string& message, const std::string& helpCommand) const;

  // "-30 (no such session or login refused)"
  static std::string ResultText(uint32_t code);

 private:
  void FailureJson(const std::string& message, const uint32_t* code) const;
  bool m_json;
};

}  // namespace qnvctl

#endif  // QNVCTL_CREPORTER_H

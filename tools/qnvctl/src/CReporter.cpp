#include "CReporter.h"

#include <cstdio>

#include "QNVNetSdk.h"
#include "qnvnet.h"

namespace qnvctl {

void CReporter::Text(const std::string& line) const {
  if (m_json) return;
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void CReporter::Note(const std::string& line) const {
  std::fprintf(stderr, "qnvctl: %s\n", line.c_str());
}

int CReporter::Done(const CJsonObject& result) const {
  if (m_json) {
    std::string text = result.Text();
    text.insert(1, text.size() > 2 ? "\"ok\":true," : "\"ok\":true");
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  return kExitOk;
}

std::string CReporter::ResultText(uint32_t code) {
  // The SDK's own failures are small negative numbers; device results are
  // shown as the device sent them.
  const int32_t asSigned = static_cast<int32_t>(code);
  const std::string number = asSigned < 0 ? std::to_string(asSigned) : std::to_string(code);
  return number + " (" + QnvResultText(code) + ")";
}

void CReporter::FailureJson(const std::string& message, const uint32_t* code) const {
  if (!m_json) return;
  CJsonObject o;
  o.Boolean("ok", false).String("error", message);
  if (code) o.Int("result", static_cast<int32_t>(*code)).String("resultText", QnvResultText(*code));
  std::printf("%s\n", o.Text().c_str());
  std::fflush(stdout);
}

int CReporter::SdkFailure(const std::string& what, uint32_t code) const {
  // The library's note of why this thread's last call failed (a refused
  // connection, the system's error text for a file, the device's result).
  const std::string reason = qnvnet_last_error_text();
  const std::string message =
      what + ": " + ResultText(code) + (reason.empty() ? "" : ": " + reason);
  std::fprintf(stderr, "qnvctl: %s\n", message.c_str());
  FailureJson(message, &code);
  return kExitFailed;
}

int CReporter::Failure(const std::string& message) const {
  std::fprintf(stderr, "qnvctl: %s\n", message.c_str());
  FailureJson(message, nullptr);
  return kExitFailed;
}

int CReporter::Usage(const std::string& message, const std::string& helpCommand) const {
  std::fprintf(stderr, "qnvctl: %s (see qnvctl %s%s--help)\n", message.c_str(), helpCommand.c_str(),
               helpCommand.empty() ? "" : " ");
  FailureJson(message, nullptr);
  return kExitUsage;
}

}  // namespace qnvctl

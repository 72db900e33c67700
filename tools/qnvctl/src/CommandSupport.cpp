#include "CommandSupport.h"

#include <algorithm>

#include "Files.h"
#include "QNVNetSdk.h"
#include "TextFormat.h"

namespace qnvctl {

bool Connect(const CInvocation& inv, const CReporter& out, CSdkLibrary& sdk,
             CDeviceSession& session, int& exitCode) {
  if (uint32_t r = sdk.Start(); r != QNVNET_OK) {
    exitCode = out.SdkFailure("library start failed", r);
    return false;
  }
  if (uint32_t r = session.Login(inv.connection); r != QNVNET_OK) {
    exitCode = out.SdkFailure("login failed", r);
    return false;
  }
  return true;
}

uint32_t GetBlock(const GetCall& call, std::vector<uint8_t>& data, int32_t& reportedLength) {
  // The length goes in as the buffer's capacity and comes back as the length
  // of the device's reply, which may be larger than what fitted.
  std::vector<uint8_t> buffer(kGetCapacity);
  int32_t length = kGetCapacity;
  const uint32_t result = call(buffer.data(), length);
  reportedLength = length;
  if (result != QNVNET_OK) return result;
  buffer.resize(static_cast<size_t>(std::clamp<int32_t>(length, 0, kGetCapacity)));
  data = std::move(buffer);
  return result;
}

bool ShowBlock(const CReporter& out, const std::string& title, const std::vector<uint8_t>& data,
               int32_t reportedLength, const std::string& outFile, CJsonObject& json) {
  json.Uint("length", data.size());
  if (reportedLength > static_cast<int32_t>(data.size())) {
    out.Note("the reply held " + std::to_string(reportedLength) + " bytes; only the first " +
             std::to_string(data.size()) + " could be read");
    json.Int("replyLength", reportedLength);
  }
  if (!outFile.empty()) {
    std::string error;
    if (!WriteWholeFile(outFile, data.data(), data.size(), error)) {
      out.Failure(error);
      return false;
    }
    json.String("file", outFile);
    out.Text(title + ": " + std::to_string(data.size()) + " bytes written to " + outFile);
    return true;
  }
  json.String("data", HexString(data.data(), data.size()));
  out.Text(title + ": " + std::to_string(data.size()) + " bytes");
  if (!data.empty() && !out.json()) {
    std::string dump = HexDump(data.data(), data.size());
    dump.pop_back();  // Text adds the line end
    out.Text(dump);
  }
  return true;
}

bool ReadSendFile(const CReporter& out, const std::string& path, std::vector<uint8_t>& data) {
  std::string error;
  if (!ReadWholeFile(path, kMaxSendBytes, data, error)) {
    out.Failure(error);
    return false;
  }
  return true;
}

}  // namespace qnvctl

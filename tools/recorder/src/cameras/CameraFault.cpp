#include "cameras/CameraFault.h"

#include "qnvnet.h"

namespace qnvrecorder {
namespace {

std::string Where(const std::string& host, uint16_t port) {
  return host + ":" + std::to_string(port);
}

// The library's line, or the code's name when it gave none.
std::string LibraryText(int32_t rc) {
  const char* text = qnvnet_last_error_text();
  return text != nullptr && *text != '\0' ? std::string(text) : qnvnet_strerror(rc);
}

}  // namespace

const char* FaultCode(EFault kind) {
  switch (kind) {
    case EFault::kNone:
      return "";
    case EFault::kBadAddress:
      return "bad_address";
    case EFault::kRefused:
      return "refused";
    case EFault::kNoAnswer:
      return "no_answer";
    case EFault::kBadCredentials:
      return "bad_credentials";
    case EFault::kDeviceRefused:
      return "device_refused";
    case EFault::kNetwork:
      return "network";
    case EFault::kProtocol:
      return "protocol";
    case EFault::kChannel:
      return "channel";
    case EFault::kCommandLost:
      return "connection_lost";
    case EFault::kStreamLost:
      return "stream_lost";
    case EFault::kStalled:
      return "stalled";
    case EFault::kFrozen:
      return "frozen";
    case EFault::kOther:
      return "other";
  }
  return "other";
}

SFault LoginFault(int32_t rc, const std::string& host, uint16_t port) {
  const std::string where = Where(host, port);
  const std::string detail = LibraryText(rc);
  switch (qnvnet_last_error_reason()) {
    case QNVNET_REASON_BAD_CREDENTIALS:
      return {EFault::kBadCredentials,
              "wrong user name or password at " + where + " (" + detail + ")"};
    case QNVNET_REASON_CONNECTION_REFUSED:
      return {EFault::kRefused, "connection refused by " + where + " (nothing listens there)"};
    case QNVNET_REASON_NO_ANSWER:
      return {EFault::kNoAnswer, "no answer from " + where + " (" + detail + ")"};
    case QNVNET_REASON_BAD_ADDRESS:
      return {EFault::kBadAddress, "bad address " + where + " (" + detail + ")"};
    case QNVNET_REASON_DEVICE_REFUSED:
      return {EFault::kDeviceRefused, "login refused by " + where + " (" + detail + ")"};
    case QNVNET_REASON_NETWORK:
      return {EFault::kNetwork, "network failure reaching " + where + " (" + detail + ")"};
    case QNVNET_REASON_PROTOCOL:
      return {EFault::kProtocol, "the device at " + where + " broke the protocol (" + detail + ")"};
    default:
      return {EFault::kOther, "login at " + where + " failed (" + std::to_string(rc) + " " +
                                  qnvnet_strerror(rc) + ": " + detail + ")"};
  }
}

SFault ChannelFault(int32_t rc) {
  return {EFault::kChannel, "live channel not opened (" + std::to_string(rc) + " " +
                                qnvnet_strerror(rc) + ": " + LibraryText(rc) + ")"};
}

SFault DisconnectFault(uint16_t port, uint16_t loginPort, const std::string& host) {
  if (port == loginPort) {
    return {EFault::kCommandLost, "command connection to " + Where(host, port) + " lost"};
  }
  return {EFault::kStreamLost, "stream connection to " + Where(host, port) + " lost"};
}

}  // namespace qnvrecorder

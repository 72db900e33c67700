#include "cameras/CameraFault.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace qnvrecorder {
namespace {

std::string Where(const std::string& host, uint16_t port) {
  return host + ":" + std::to_string(port);
}

// "10 s", "2.5 s" from milliseconds.
std::string SecondsText(int32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
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
      return "no_keepalive_answer";
    case EFault::kMalformed:
      return "malformed_message";
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

SFault DisconnectFault(const qnvnet_loss& loss, uint16_t port, uint16_t loginPort,
                       const std::string& host) {
  const std::string where = Where(host, port);
  const bool stream = port != loginPort;
  switch (loss.reason) {
    case QNVNET_LOST_NO_KEEPALIVE_ANSWER:
      return {EFault::kFrozen, "no keep-alive answer from " + where +
                                   " (3 in a row): the device hangs or the network to it is down"};
    case QNVNET_LOST_STREAM_STALLED:
      return {EFault::kStalled, "stream from " + where + " stalled: no frame for " +
                                    SecondsText(loss.detail) + " (stall_seconds)"};
    case QNVNET_LOST_MALFORMED_MESSAGE:
      return {EFault::kMalformed, "the device at " + where +
                                      " sent a malformed device message (block length "
                                      "outside 48..4096); the connection was dropped"};
    case QNVNET_LOST_BROKEN_CONNECTION: {
      std::string why = "closed by the device";
      if (loss.detail == ETIMEDOUT) {
        why = "no TCP answer for 20 s: a cable, a switch or the device is down";
      } else if (loss.detail != 0) {
        why = std::error_code(loss.detail, std::generic_category()).message();
      }
      return {stream ? EFault::kStreamLost : EFault::kCommandLost,
              std::string(stream ? "stream" : "command") + " connection to " + where + " broken (" +
                  why + ")"};
    }
    default:
      return {stream ? EFault::kStreamLost : EFault::kCommandLost,
              std::string(stream ? "stream" : "command") + " connection to " + where + " lost"};
  }
}

}  // namespace qnvrecorder

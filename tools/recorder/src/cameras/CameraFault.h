// CameraFault: why a camera is not recording, in words an operator can act
// on and a short code for scripts. The library says why a call failed (its
// reason kinds, qnvnet.h) and why it reported a session or a stream lost
// (qnvnet_loss); this maps them, and the recorder's own findings, to the
// camera's fault. Plain functions; any thread (a login's reason is read on
// the thread that made the call, a loss's inside the disconnect callback).
#pragma once

#include <cstdint>
#include <string>

#include "qnvnet.h"

namespace qnvrecorder {

enum class EFault {
  kNone,
  kBadAddress,      // the host is no usable IPv4 address
  kRefused,         // the device's port refused the connection
  kNoAnswer,        // no connection or no reply within the time-out
  kBadCredentials,  // the device refused the user name or password
  kDeviceRefused,   // the device refused the login otherwise (its result code)
  kNetwork,         // another network failure
  kProtocol,        // the device's reply broke the protocol
  kChannel,         // logged in, but the live channel did not open
  kCommandLost,     // the command connection broke
  kStreamLost,      // the stream connection broke
  kStalled,         // the stream delivered no frame for the camera's stall_seconds
  kFrozen,          // the device answered no keep-alive (it hangs, or the way to it is down)
  kMalformed,       // the device sent a device message the library cannot frame
  kOther
};

struct SFault {
  EFault kind = EFault::kNone;
  std::string text;  // one line, e.g. "connection refused by 192.0.2.10:9000"
};

// "bad_credentials", "refused", "no_answer", ...: the status file's "reason".
const char* FaultCode(EFault kind);

// The fault of a failed login (result rc), from the calling thread's reason.
SFault LoginFault(int32_t rc, const std::string& host, uint16_t port);
// The fault of a live channel that did not open (result rc), likewise.
SFault ChannelFault(int32_t rc);
// A session or stream the library reported lost, with the reason it gave
// inside the disconnect callback: port is the login port (the session) or the
// stream's (login port + 2).
SFault DisconnectFault(const qnvnet_loss& loss, uint16_t port, uint16_t loginPort,
                       const std::string& host);

}  // namespace qnvrecorder

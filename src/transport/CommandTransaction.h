// The command transaction: one request and its reply on a request/response
// connection, matched by position in the byte stream, so the caller must keep
// one transaction at a time on a connection (the session's call lock does).
// Device messages that arrive before the reply go to the connection's onData
// on the calling thread; the wait for the reply goes on.
// Also the one-way message a live channel sends on its stream connection
// (any connection: CTcpLink).
#ifndef QNV_TRANSPORT_COMMANDTRANSACTION_H
#define QNV_TRANSPORT_COMMANDTRANSACTION_H

#include <cstdint>

#include "protocol/Commands.h"
#include "transport/CTcpClient.h"

namespace qnv {

// One request, and where its reply goes.
struct STransaction {
  uint32_t commandClass = 0;
  uint32_t commandCode = 0;
  const void* payload = nullptr;  // at most kMaxTransactPayload bytes
  int32_t payloadLength = 0;
  // On success, when out is given and the reply's payload is not empty and
  // fits *outLength, it is copied there and *outLength set to its length.
  void* out = nullptr;
  int32_t* outLength = nullptr;
  uint32_t timeoutMs = protocol::kCommandTimeoutMs;
  int32_t* replyPayload = nullptr;  // when given: the reply payload's length (0 for none)
};

// Sends the request and waits up to its timeoutMs (twice when
// silent) for the reply. First it takes what is pending (DrainPending) and
// the reply of a probe still in flight (AwaitProbe). The send itself may take
// up to timeoutMs; a device that does not take the request by then fails the
// send (the connection is shut down and reports its disconnect). Devices echo
// the request's class and code: a reply that does not is a late answer to an
// earlier call and is dropped, and the call waits on for its own reply within
// its time-out; a login-class reply (class 1) is never late and answers the
// call. A time-out with nothing at all from the device is noted as a silent
// round of the connection. Returns 0, -21 (not sent, or payload over 4,076
// bytes), -24 (no valid reply of at least 16 bytes), -10 (another session's
// reply) or the device's result. A login-class reply with result 0 sets
// sessionId. The reply's payload goes where the request says.
uint32_t Transact(CTcpClient& connection, uint32_t& sessionId, const STransaction& request);

// Generic get: the caller's buffer receives exactly its capacity in bytes
// (reply payload cut to the capacity, then zeros) and length the payload's
// real length (0 for none, 0 after a failure, which leaves the buffer as is).
uint32_t GetCommand(CTcpClient& connection, uint32_t& sessionId, uint32_t commandClass,
                    uint32_t commandCode, void* out, int32_t& length);

// Generic set: sends the payload (at most 4,076 bytes), drops the reply data.
uint32_t SetCommand(CTcpClient& connection, uint32_t& sessionId, uint32_t commandClass,
                    uint32_t commandCode, const void* payload, int32_t length);

// The one-way message (header word 00 01 00 01) without a reply. Returns 0,
// or -20 when not sent within 3 s (also for a payload over 1,004 bytes).
uint32_t SendOneWay(CTcpLink& connection, uint32_t sessionId, uint32_t commandClass,
                    uint32_t commandCode, const void* payload, int32_t payloadLength);

}  // namespace qnv

#endif  // QNV_TRANSPORT_COMMANDTRANSACTION_H

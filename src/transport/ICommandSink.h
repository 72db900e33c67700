// ICommandSink: where the command connection (CTcpClient) puts what is not a
// reply: whole device messages met while reading, and the connection's
// failure. Implemented by the connection's owner (a device session); called
// on the thread running the exchange that met them (the owner's call lock
// held); after the connection's Abort or Close only a call already begun
// may still finish.
#ifndef QNV_TRANSPORT_ICOMMANDSINK_H
#define QNV_TRANSPORT_ICOMMANDSINK_H

#include <cstdint>

namespace qnv {

class ICommandSink {
 public:
  // One whole device message: the block from its tag on, `length` bytes
  // (kDeviceMessageMinLength..kDeviceMessageMaxLength), valid during the call.
  virtual void DeviceMessage(const uint8_t* block, int32_t length) = 0;
  // The connection failed (reported once per connection), inside the
  // failing exchange; FailureReason and FailureError tell why.
  virtual void Disconnected() = 0;

 protected:
  ~ICommandSink() = default;
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_ICOMMANDSINK_H

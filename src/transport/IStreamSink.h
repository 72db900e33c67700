// IStreamSink: where a stream connection (CTcpStream) puts what it reads. The
// connection's receive thread asks for an area, reads into it once, hands the
// bytes over and, when the link fails, says so once. Implemented by the
// connection's owner (a live channel); called only on the receive thread, and
// never after the connection's Close returned (a call already in progress may
// still finish: the owner is kept alive through the connection's keepAlive).
#ifndef QNV_TRANSPORT_ISTREAMSINK_H
#define QNV_TRANSPORT_ISTREAMSINK_H

#include <cstdint>

namespace qnv {

// Where the next read goes: always the owner's own buffer, so the bytes stay
// where they are read and the owner may keep pointers into them. The
// connection has no buffer of its own.
struct SReceiveArea {
  uint8_t* data = nullptr;
  uint32_t capacity = 0;  // at least 1
};

class IStreamSink {
 public:
  // The area for the next read: at least one byte.
  virtual SReceiveArea ReceiveArea() = 0;
  // One read put `length` (at least 1) bytes at the start of the area
  // ReceiveArea gave last. Returns how many bytes must be queued before the
  // next read can complete anything (the connection sets its wake threshold
  // from it), or 0 to leave it as it is.
  virtual uint64_t Received(uint32_t length) = 0;
  // The peer closed or the link failed (reported once per connection).
  virtual void Closed() = 0;

 protected:
  ~IStreamSink() = default;
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_ISTREAMSINK_H

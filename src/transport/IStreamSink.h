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

// Where the next read goes. inPlace says the bytes stay where they are read
// (the owner's own buffer), so the owner may keep pointers into them; it is
// decided here, when the area is handed out, and travels with the area.
struct SReceiveArea {
  uint8_t* data = nullptr;  // null: the connection reads into its own buffer
  uint32_t capacity = 0;
  bool inPlace = false;
};

class IStreamSink {
 public:
  // The area for the next read; one with no data or no capacity makes the
  // connection read into its own buffer (inPlace false).
  virtual SReceiveArea ReceiveArea() = 0;
  // One read put `length` (at least 1) bytes at area.data. Returns how many
  // bytes must be queued before the next read can complete anything (the
  // connection sets its wake threshold from it), or 0 to leave it as it is.
  virtual uint64_t Received(const SReceiveArea& area, uint32_t length) = 0;
  // The peer closed or the link failed (reported once per connection).
  virtual void Closed() = 0;

 protected:
  ~IStreamSink() = default;
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_ISTREAMSINK_H

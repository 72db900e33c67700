// A frame's body (extension block when the header flags one, then the H.264
// payload) as it lies in memory: one piece, or two when it wraps past the end
// of the pre-record queue's ring. And what the library reads of the H.264 in
// it: the type of its first NAL unit and whether it carries a picture. Reads
// only; any thread, as long as the bytes do not change meanwhile.
#ifndef QNV_RECORD_FRAMEBODY_H
#define QNV_RECORD_FRAMEBODY_H

#include <cstddef>
#include <cstdint>

#include "QNVNetSdk.h"
#include "platform/ByteOrder.h"
#include "protocol/FrameHeader.h"

namespace qnv {

// The NAL unit types the library tells apart (QNVNetFrameNal has them all).
constexpr int kNalIdr = QNVNetFrameNal::kTypeIdr;
constexpr int kNalSps = QNVNetFrameNal::kTypeSps;
constexpr int kNalPps = QNVNetFrameNal::kTypePps;

struct SBodyView {
  const uint8_t* first = nullptr;
  size_t firstLength = 0;
  const uint8_t* second = nullptr;  // the wrapped rest, or nothing
  size_t secondLength = 0;

  size_t Size() const { return firstLength + secondLength; }
  uint8_t operator[](size_t i) const {
    return i < firstLength ? first[i] : second[i - firstLength];
  }
  // Copies n bytes from offset at; the caller checked at + n <= Size().
  void CopyTo(uint8_t* out, size_t at, size_t n) const {
    for (size_t i = 0; i < n; ++i) out[i] = (*this)[at + i];
  }
};

// Where the H.264 bytes begin in a body: behind the extension block (its
// 4-byte length and the block), or the body's size when the block does not fit.
inline size_t PayloadStart(const protocol::SFrameIndex& header, const SBodyView& body) {
  if (!header.HasExtension()) return 0;
  if (body.Size() < protocol::kFrameExtLengthSize) return body.Size();
  uint8_t length[protocol::kFrameExtLengthSize];
  body.CopyTo(length, 0, sizeof length);
  const uint64_t start = protocol::kFrameExtLengthSize + uint64_t(platform::LoadLe32(length));
  return start > body.Size() ? body.Size() : size_t(start);
}

// The type of the body's first NAL unit, behind a 3- or 4-byte start code
// at the start of the payload; -1 when the payload does not begin with one.
inline int FirstNalType(const protocol::SFrameIndex& header, const SBodyView& body) {
  const size_t at = PayloadStart(header, body);
  const size_t n = body.Size();
  if (at + 4 <= n && body[at] == 0 && body[at + 1] == 0 && body[at + 2] == 1)
    return QNVNetFrameNal::TypeOf(body[at + 3]);
  if (at + 5 <= n && body[at] == 0 && body[at + 1] == 0 && body[at + 2] == 0 && body[at + 3] == 1)
    return QNVNetFrameNal::TypeOf(body[at + 4]);
  return -1;
}

// True when some NAL unit of the payload is a slice of a picture. Stops at
// the first one, which in a camera's frames comes right behind any
// parameter sets ahead of it.
inline bool HoldsPicture(const protocol::SFrameIndex& header, const SBodyView& body) {
  const size_t n = body.Size();
  for (size_t i = PayloadStart(header, body); i + 3 < n; ++i) {
    if (body[i] != 0 || body[i + 1] != 0 || body[i + 2] != 1) continue;
    if (QNVNetFrameNal::IsSlice(QNVNetFrameNal::TypeOf(body[i + 3]))) return true;
    i += 3;
  }
  return false;
}

}  // namespace qnv

#endif  // QNV_RECORD_FRAMEBODY_H

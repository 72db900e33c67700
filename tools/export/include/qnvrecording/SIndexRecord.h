// A recording's index record as this reader sees it: the public layout of
// QNVNetSdk.h (QNVNetIndexRecord: the frame's 40-byte header with bytes 28..31
// holding the body's offset in the data file), plus the byte readers and the
// sanity limit the reader needs.
#ifndef QNVRECORDING_SINDEXRECORD_H
#define QNVRECORDING_SINDEXRECORD_H

#include <cstddef>
#include <cstdint>

#include "QNVNetSdk.h"

namespace qnvrec {

using SIndexRecord = QNVNetIndexRecord;

// The library records stream frames (header, extension block and payload) of
// at most 16 MiB; a longer body means a damaged index.
constexpr uint64_t kMaxFrameSize = 16u << 20;

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace qnvrec

#endif  // QNVRECORDING_SINDEXRECORD_H

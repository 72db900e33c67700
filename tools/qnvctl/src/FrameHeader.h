// Reading the frames the SDK hands to the stream callback: the 40-byte header
// laid out in QNVNetSdk.h (QNVNetFrameHeader), an optional extension block and
// one H.264 NAL unit with its start code, whose pictures and key pictures
// QNVNetFrameNal tells (as qnv-export and the recorder count them).
#ifndef QNVCTL_FRAMEHEADER_H
#define QNVCTL_FRAMEHEADER_H

#include <cstddef>
#include <cstdint>

#include "QNVNetSdk.h"

namespace qnvctl {

using FrameHeader = QNVNetFrameHeader;

// Reads a little-endian 32-bit number.
inline uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace qnvctl

#endif  // QNVCTL_FRAMEHEADER_H

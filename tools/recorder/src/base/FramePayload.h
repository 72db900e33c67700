// FramePayload: where a stream frame's H.264 bytes lie, as the library
// delivers the frame (40-byte header, the extension block if flagged, then
// the payload). Any thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "QNVNetSdk.h"

namespace qnvrecorder {

// False when the frame is too short for its header or its extension block;
// else header, payload and size (cut to what the frame holds).
inline bool FramePayload(const uint8_t* frame, size_t length, QNVNetFrameHeader& header,
                         const uint8_t*& payload, size_t& size) {
  const uint64_t offset = QNVNetFrameHeader::PayloadOffsetInFrame(frame, length);
  if (offset >= length) return false;  // kNoPayload included
  std::memcpy(header.bytes, frame, QNVNetFrameHeader::kSize);
  payload = frame + offset;
  size = std::min<size_t>(header.PayloadLength(), length - offset);
  return true;
}

}  // namespace qnvrecorder

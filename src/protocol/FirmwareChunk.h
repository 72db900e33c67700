// The firmware chunk record: the payload of every firmware data command. The
// image goes to the device in numbered chunks of 3,072 bytes, each in a
// record of 3,088 bytes that is always sent whole. All fields are 32-bit
// little-endian.
//
//   0  total size of the image in bytes (signed 32-bit)
//   4  chunk count N = total size / 3,072 + 1, so a size that is a multiple
//      of 3,072 ends with an empty chunk, and an empty image is one chunk
//   8  chunk number, 1..N
//   12 chunk length, the image bytes in this chunk, 0..3,072
//   16 the chunk's bytes, zero-padded to 3,072
#ifndef QNV_PROTOCOL_FIRMWARECHUNK_H
#define QNV_PROTOCOL_FIRMWARECHUNK_H

#include <cstddef>
#include <cstdint>

namespace qnv::protocol {

constexpr size_t kFirmwareChunkData = 3072;
constexpr size_t kFwTotalOffset = 0;
constexpr size_t kFwCountOffset = 4;
constexpr size_t kFwNumberOffset = 8;
constexpr size_t kFwLengthOffset = 12;
constexpr size_t kFwDataOffset = 16;
constexpr size_t kFirmwareRecordSize = kFwDataOffset + kFirmwareChunkData;
static_assert(kFirmwareRecordSize == 3088);
static_assert(kFwCountOffset == kFwTotalOffset + 4 && kFwNumberOffset == kFwCountOffset + 4 &&
              kFwLengthOffset == kFwNumberOffset + 4 && kFwDataOffset == kFwLengthOffset + 4);

// The chunk count for an image of size bytes.
constexpr uint32_t FirmwareChunkCount(uint32_t size) {
  return size / uint32_t(kFirmwareChunkData) + 1;
}
static_assert(FirmwareChunkCount(0) == 1 && FirmwareChunkCount(3072) == 2 &&
              FirmwareChunkCount(7000) == 3);

}  // namespace qnv::protocol

#endif  // QNV_PROTOCOL_FIRMWARECHUNK_H

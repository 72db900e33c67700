// Firmware upload: the image goes to the device in numbered 3,072-byte chunks,
// one transaction each, then a single command starts the installation.
//
// Chunk record (the 3,088-byte payload of class 2 code 5, little-endian):
//   0 total size | 4 chunk count N = size / 3072 + 1 | 8 chunk number 1..N |
//   12 chunk length 0..3072 | 16 data, zero-padded to 3,072 bytes
#ifndef QNV_DEVICE_FIRMWAREUPLOAD_H
#define QNV_DEVICE_FIRMWAREUPLOAD_H

#include <cstddef>
#include <cstdint>

#include "device/CClient.h"

namespace qnv {

constexpr size_t kFirmwareChunkData = 3072;
constexpr size_t kFirmwareRecordSize = 3088;
constexpr size_t kFwTotalOffset = 0;
constexpr size_t kFwCountOffset = 4;
constexpr size_t kFwNumberOffset = 8;
constexpr size_t kFwLengthOffset = 12;
constexpr size_t kFwDataOffset = 16;
static_assert(kFwDataOffset + kFirmwareChunkData == kFirmwareRecordSize);
constexpr uint16_t kCodeFirmwareChunk = 5;
constexpr uint16_t kCodeFirmwareStart = 6;

// Returns 0 when every chunk was accepted; -1 for a null path, a file that
// cannot be opened or read, one of 2 GiB or more (nothing sent), or a chunk
// the device did not accept.
uint32_t UploadFirmware(CClient& client, const char* path);
// The start command, waiting up to 180 s (twice when silent).
uint32_t StartFirmwareUpdate(CClient& client);

}  // namespace qnv

#endif  // QNV_DEVICE_FIRMWAREUPLOAD_H

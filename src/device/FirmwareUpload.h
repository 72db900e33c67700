// Firmware upload: the image goes to the device in numbered 3,072-byte chunks,
// one transaction each, then a single command starts the installation.

// The chunk record is laid out in protocol/FirmwareChunk.h.
#ifndef QNV_DEVICE_FIRMWAREUPLOAD_H
#define QNV_DEVICE_FIRMWAREUPLOAD_H

#include <cstdint>

#include "device/CClient.h"

namespace qnv {

// Returns 0 when every chunk was accepted; -1 for a null path, a file that
// cannot be opened or read, one of 2 GiB or more (nothing sent), or a chunk
// the device did not accept.
uint32_t UploadFirmware(CClient& client, const char* path) REQUIRES(client.CallLock());
// The start command, waiting up to 180 s (twice when silent).
uint32_t StartFirmwareUpdate(CClient& client) REQUIRES(client.CallLock());

}  // namespace qnv

#endif  // QNV_DEVICE_FIRMWAREUPLOAD_H

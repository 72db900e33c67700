#include "device/FirmwareUpload.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "QNVNetSdk.h"
#include "platform/ByteOrder.h"
#include "platform/FailureNote.h"
#include "platform/File.h"
#include "protocol/Commands.h"
#include "protocol/FirmwareChunk.h"

namespace qnv {

using namespace protocol;

namespace {
struct FileCloser {
  void operator()(FILE* f) const { platform::FileClose(f); }
};
}  // namespace

uint32_t UploadFirmware(CClient& client, const char* path) {
  using platform::FailureKind;
  if (path == nullptr) {
    platform::NoteFailure(FailureKind::kBadArgument, 0, "no firmware image path given");
    return QNVNET_ERR_FIRMWARE;
  }
  // A FIFO or device would block the open or the reads (under the library
  // lock); only a regular file is an image.
  const std::string refusal = platform::PathRefusal(path, true);
  if (!refusal.empty()) {
    platform::NoteFailure(FailureKind::kBadArgument, 0, "firmware image \"%s\" is %s", path,
                          refusal.c_str());
    return QNVNET_ERR_FIRMWARE;
  }
  std::unique_ptr<FILE, FileCloser> file(
      platform::FileOpenRegular(path, platform::FileAccess::kRead, false, nullptr));
  if (!file) {
    platform::NoteErrno(FailureKind::kSystem, errno, "cannot open the firmware image");
    return QNVNET_ERR_FIRMWARE;
  }
  int64_t size = platform::FileSize(file.get());
  // The record's size field is a signed 32-bit count.
  if (size < 0 || size > INT32_MAX) {
    platform::NoteFailure(FailureKind::kBadArgument, 0,
                          "firmware image \"%s\" is 2 GiB or more, or has no size", path);
    return QNVNET_ERR_FIRMWARE;
  }
  const uint32_t count = FirmwareChunkCount(uint32_t(size));
  uint8_t record[kFirmwareRecordSize];
  for (uint32_t number = 1; number <= count; ++number) {
    std::memset(record, 0, sizeof record);
    size_t n = platform::FileRead(file.get(), record + kFwDataOffset, kFirmwareChunkData);
    // Every chunk but the last is full, and the last holds the rest of the
    // size; anything else (a directory, a file that changed) is no image.
    const size_t expected =
        number == count ? uint32_t(size) % kFirmwareChunkData : kFirmwareChunkData;
    if (n != expected || std::ferror(file.get())) {
      platform::NoteFailure(FailureKind::kSystem, 0,
                            "firmware image \"%s\" could not be read whole (it changed?)", path);
      return QNVNET_ERR_FIRMWARE;
    }
    platform::StoreLe32(record + kFwTotalOffset, uint32_t(size));
    platform::StoreLe32(record + kFwCountOffset, count);
    platform::StoreLe32(record + kFwNumberOffset, number);
    platform::StoreLe32(record + kFwLengthOffset, uint32_t(n));
    uint8_t reply[CClient::kReplyCapacity] = {};
    int32_t replyLength = CClient::kReplyCapacity;
    if (client.Transact({.commandClass = kFirmwareChunk.commandClass,
                         .commandCode = kFirmwareChunk.code,
                         .payload = record,
                         .payloadLength = int32_t(sizeof record),
                         .out = reply,
                         .outLength = &replyLength}) != 0)
      return QNVNET_ERR_FIRMWARE;
  }
  return 0;
}

uint32_t StartFirmwareUpdate(CClient& client) {
  uint8_t reply[CClient::kReplyCapacity] = {};
  int32_t replyLength = CClient::kReplyCapacity;
  return client.Transact({.commandClass = kFirmwareStart.commandClass,
                          .commandCode = kFirmwareStart.code,
                          .out = reply,
                          .outLength = &replyLength,
                          .timeoutMs = kFirmwareStartTimeoutMs});
}

}  // namespace qnv

// The recording files. The data file holds the bodies of the recorded frames
// (everything after the 40-byte header: extension block and payload) back to
// back, with no header or trailer. The index file, named like the data file
// with the extension ".idx", holds one record per body in the same order:
// record n at byte 40 * n is the frame's header (FrameHeader.h) with its
// offset field (bytes 28..31) holding the body's offset in the data file.
// Record n's body ends where record n + 1's begins, the last at the end of
// the data file. The public header describes the same layout to hosts
// (QNVNetIndexRecord).
#ifndef QNV_PROTOCOL_INDEXRECORD_H
#define QNV_PROTOCOL_INDEXRECORD_H

#include <cstddef>
#include <cstdint>

#include "protocol/FrameHeader.h"

namespace qnv::protocol {

using SIndexRecord = SFrameIndex;
constexpr size_t kIndexRecordSize = kFrameHeaderSize;
constexpr size_t kIndexDataOffsetOffset = kFrameOffsetOffset;
constexpr char kIndexExtension[] = ".idx";

static_assert(sizeof(SIndexRecord) == kIndexRecordSize);
static_assert(kIndexDataOffsetOffset == QNVNetIndexRecord::kDataOffsetOffset);

}  // namespace qnv::protocol

#endif  // QNV_PROTOCOL_INDEXRECORD_H

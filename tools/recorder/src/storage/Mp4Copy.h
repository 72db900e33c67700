// Mp4Copy: the MP4 copy of a closed segment, made beside it from its data and
// index (qnvrecording's exporter, timed by the capture times), written under
// a temporary name (.STEM.mp4.part-XXXXXX) and put in place when complete.
// Plain functions; one call per segment at a time.
#pragma once

#include <cstdint>
#include <string>

#include "storage/CStorageRoot.h"

namespace qnvrecorder {

// About how many bytes the copy of this segment will take: its video, and
// the MP4's tables; 0 when the segment cannot be read.
uint64_t Mp4CopyBytes(const CStorageRoot& storage, const SSegment& segment);

enum class EMp4Copy { kMade, kNothing, kFailed };  // kNothing: no picture to copy

// Makes STEM.mp4 beside the segment. error says why on kFailed.
EMp4Copy MakeMp4Copy(const CStorageRoot& storage, const SSegment& segment, std::string& error);

}  // namespace qnvrecorder

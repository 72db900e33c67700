// CodedFrame: one frame's H.264 bytes as the player keeps them (the payload
// of a stream frame, always starting with a start code) and what NAL units it
// holds. Immutable once built and shared between the queue, the store and a
// decoding capture, so any thread may read it.
#ifndef QNVPLAYER_CODEDFRAME_H
#define QNVPLAYER_CODEDFRAME_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "QNVNetSdk.h"

namespace qnv::player {

// NAL unit types that matter to the player (slices 1..5 are
// QNVNetFrameNal::IsSlice: 2..4 are data partitions, pictures like type 1).
constexpr uint8_t kNalSlice = QNVNetFrameNal::kTypeSlice;
constexpr uint8_t kNalIdr = QNVNetFrameNal::kTypeIdr;
constexpr uint8_t kNalSps = QNVNetFrameNal::kTypeSps;
constexpr uint8_t kNalPps = QNVNetFrameNal::kTypePps;

// What a payload holds, up to and including its first picture NAL unit.
struct NalSummary {
  bool sps = false;
  bool pps = false;
  bool idr = false;
  bool slice = false;  // a picture that needs earlier pictures (not IDR)
  // Where the first picture NAL unit's start code begins (the size when there
  // is none): the bytes before it are the parameter sets and SEI ahead of it.
  size_t pictureOffset = 0;

  // Decoding can (re)start here: new parameter sets or an IDR picture.
  bool KeyStart() const { return sps || idr; }
  bool ParameterSets() const { return sps || pps; }
  bool Picture() const { return idr || slice; }
};

// Scans the Annex B byte stream in [data, data + size) for NAL unit types.
// A payload that does not begin with a start code is read as if it did.
NalSummary ScanNalUnits(const uint8_t* data, size_t size);

// True when the bytes begin with a 3- or 4-byte start code.
bool HasStartCode(const uint8_t* data, size_t size);

// Zeroed bytes kept after every frame's data: libavcodec's parser reads
// ahead in whole words beyond the end of its input.
constexpr size_t kCodedFramePadding = 64;

struct CodedFrame {
  // Builds a frame from H.264 payload bytes; a payload without a leading
  // start code gets one, so the parser never glues it to the previous frame.
  static std::shared_ptr<const CodedFrame> FromPayload(const uint8_t* data, size_t size);

  // Annex B bytes, starting with 00 00 00 01, followed by the padding.
  const uint8_t* data() const { return storage.data(); }
  size_t size() const { return storage.size() - kCodedFramePadding; }

  std::vector<uint8_t> storage;
  NalSummary nal;
};

using CodedFramePtr = std::shared_ptr<const CodedFrame>;

// The payload of one stream frame (40-byte header, optional extension block,
// payload): where it lies in the frame, or nothing when the frame is
// malformed (short, wrong magic, lengths beyond the bytes given).
struct PayloadSpan {
  const uint8_t* data;
  size_t size;
};
std::optional<PayloadSpan> FindPayload(const uint8_t* frame, size_t length);

}  // namespace qnv::player

#endif  // QNVPLAYER_CODEDFRAME_H

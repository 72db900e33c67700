// H.264 Annex B helpers for the exporter: cutting a payload into NAL units,
// telling which slice starts a picture, and reading the picture size from a
// sequence parameter set. Stateless; any thread.
#ifndef QNVRECORDING_H264NAL_H
#define QNVRECORDING_H264NAL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QNVNetSdk.h"

namespace qnvrec {

// The types the exporter tells apart: those of QNVNetFrameNal, and the
// delimiters and filler it drops.
enum NalType : uint8_t {
  kNalSlice = QNVNetFrameNal::kTypeSlice,
  kNalIdr = QNVNetFrameNal::kTypeIdr,
  kNalSei = QNVNetFrameNal::kTypeSei,
  kNalSps = QNVNetFrameNal::kTypeSps,
  kNalPps = QNVNetFrameNal::kTypePps,
  kNalAud = 9,
  kNalEndOfSequence = 10,
  kNalEndOfStream = 11,
  kNalFiller = 12,
};

// One NAL unit inside a payload, without its start code.
struct SNalRef {
  const uint8_t* data;
  size_t size;
  uint8_t Type() const { return size > 0 ? uint8_t(QNVNetFrameNal::TypeOf(data[0])) : 0; }
};

// The NAL units of an Annex B payload (3- or 4-byte start codes). Bytes before
// the first start code, and empty units, are not returned.
std::vector<SNalRef> SplitAnnexB(const uint8_t* data, size_t size);

inline bool IsSlice(uint8_t type) { return QNVNetFrameNal::IsSlice(type); }

// True for a slice whose first_mb_in_slice is 0: the first slice of a picture.
inline bool StartsPicture(const SNalRef& nal) {
  return QNVNetFrameNal::UnitStartsPicture(nal.data, nal.size);
}

struct SSpsInfo {
  int width = 0;
  int height = 0;
  int profile = 0;
  int level = 0;
};

// Reads the cropped picture size from a sequence parameter set NAL unit.
bool ParseSps(const SNalRef& nal, SSpsInfo& info);

// The MIME type of an MP4 of this stream, for a browser's Media Source
// Extensions: video/mp4; codecs="avc1.PPCCLL" (profile, constraint flags,
// level: the three bytes after the SPS's NAL header). "" when it is shorter.
std::string Mp4MimeType(const SNalRef& sps);

// The frame rate the stream's own timing states (the SPS's timing info, read
// by libavcodec's parser from the parameter sets and the first slice of a
// picture); 0 when the SPS carries none.
double StreamFrameRate(const SNalRef& sps, const SNalRef& pps, const SNalRef& slice);

}  // namespace qnvrec

#endif  // QNVRECORDING_H264NAL_H

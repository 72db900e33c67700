#include "live/SliceProbe.h"

#include <cstdio>
#include <cstring>

#include "protocol/FrameHeader.h"

namespace qnv {

using namespace protocol;

namespace {

// Longest Exp-Golomb prefix that still gives a 32-bit codeNum.
constexpr uint32_t kMaxLeadingZeros = 31;

// slice_type 5..9 mean the same as 0..4 (all slices of the picture share it).
constexpr uint32_t kSliceTypeAllSameOffset = 5;
constexpr uint32_t kSliceTypeP = 0;
constexpr uint32_t kSliceTypeI = 2;

inline uint32_t BitAt(const uint8_t* data, uint64_t bit) {
  return (data[bit >> 3] >> (7 - (bit & 7))) & 1u;
}

// The one place that reports an all-zero NAL unit. stdio locks the stream, so
// concurrent receive threads never interleave a line.
void ReportAllZeroRbsp() { std::fputs(kRbspPanicLine, stdout); }

}  // namespace

bool ReadUe(const char* /*label*/, SBitReader& reader, uint32_t& codeNum) {
  if (reader.data == nullptr || reader.m <= 0) return false;
  const uint64_t end = uint64_t(reader.m) * 8;
  uint64_t bit = reader.p;
  uint32_t zeros = 0;
  for (;;) {
    if (bit >= end) return false;
    if (BitAt(reader.data, bit++) != 0) break;
    if (++zeros > kMaxLeadingZeros) return false;
  }
  if (end - bit < zeros) return false;
  uint32_t suffix = 0;
  for (uint32_t i = 0; i < zeros; ++i) suffix = (suffix << 1) | BitAt(reader.data, bit++);
  // 2^z - 1 + suffix stays below 2^32 for z <= 31.
  codeNum = uint32_t((uint64_t(1) << zeros) - 1 + suffix);
  reader.p = bit;
  return true;
}

int32_t TrimTrailingZeros(const uint8_t* data, int32_t n, uint8_t nalHeader) {
  int32_t m = (data != nullptr && n > 0) ? n : 0;
  // Whole 8-byte words first: a payload padded with many zeros is trimmed fast.
  while (m >= 8) {
    uint64_t word;
    std::memcpy(&word, data + m - 8, sizeof word);
    if (word != 0) break;
    m -= 8;
  }
  while (m > 0 && data[m - 1] == 0) --m;
  if (m == 0 && nalHeader == 0) ReportAllZeroRbsp();
  return m;
}

int ProbeSliceType(const uint8_t* payload, int32_t payloadLength) {
  if (payload == nullptr || payloadLength < kProbeDataOffset) return kFrameKindOther;
  const uint8_t* data = payload + kProbeDataOffset;
  const int32_t m =
      TrimTrailingZeros(data, payloadLength - kProbeDataOffset, payload[kProbeNalHeaderIndex]);
  if (m == 0) return kFrameKindOther;

  SBitReader reader{data, m, 0};
  uint32_t firstMbInSlice = 0;
  if (!ReadUe("SH: first_mb_in_slice", reader, firstMbInSlice)) return kFrameKindOther;
  uint32_t sliceType = 0;
  if (!ReadUe("SH: slice_type", reader, sliceType)) return kFrameKindOther;
  if (sliceType >= kSliceTypeAllSameOffset) sliceType -= kSliceTypeAllSameOffset;
  if (sliceType == kSliceTypeI) return kFrameKindI;
  if (sliceType == kSliceTypeP) return kFrameKindP;
  return kFrameKindOther;
}

}  // namespace qnv

// The H.264 slice-type probe that marks every live frame before delivery:
// it reads first_mb_in_slice and slice_type, both ue(v), from the NAL unit
// behind a 4-byte start code and a 1-byte NAL unit header. It only reads the
// payload (no allocation, no copy) and may be called from any thread.
#ifndef QNV_LIVE_SLICEPROBE_H
#define QNV_LIVE_SLICEPROBE_H

#include <cstdint>

namespace qnv {

// Bytes in front of the data that the probe reads: start code and NAL header.
constexpr int32_t kProbeStartCodeSize = 4;
constexpr int32_t kProbeNalHeaderIndex = 4;
constexpr int32_t kProbeDataOffset = 5;

// The line written to standard output when a NAL unit is all zero bits.
constexpr char kRbspPanicLine[] = " Panic: All zero data sequence in RBSP \n";

// Bit reader over the trimmed data. p counts bits from the most significant
// bit of data[0]; bits in bytes at index m or beyond are out of reach.
struct SBitReader {
  const uint8_t* data;
  int32_t m;
  uint64_t p;
};

// Unsigned Exp-Golomb read of one element. label names the element (kept for
// the reader of a call site; never output). On success stores codeNum and
// advances p by 2z + 1; on failure (a needed bit at or beyond byte m, or a
// prefix of more than 31 zeros) returns false and leaves p unchanged.
bool ReadUe(const char* label, SBitReader& reader, uint32_t& codeNum);

// Length of data[0..n) without its trailing zero bytes. When every byte is
// zero the result is 0, and if nalHeader (the byte in front of the data) is
// zero as well the panic line is written to standard output.
int32_t TrimTrailingZeros(const uint8_t* data, int32_t n, uint8_t nalHeader);

// Frame kind of a payload: 1 (kFrameKindI) for an I slice, 2 (kFrameKindP)
// for a P slice, 0 for anything else, a short payload or unreadable bits.
int ProbeSliceType(const uint8_t* payload, int32_t payloadLength);

}  // namespace qnv

#endif  // QNV_LIVE_SLICEPROBE_H

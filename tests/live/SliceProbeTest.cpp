#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "live/SliceProbe.h"

namespace qnv {
namespace {

using Bytes = std::vector<uint8_t>;

// Runs the probe with standard output captured; returns the kind, stores the output.
int ProbeCapturing(const Bytes& payload, std::string* out) {
  testing::internal::CaptureStdout();
  const int kind = ProbeSliceType(payload.data(), int32_t(payload.size()));
  *out = testing::internal::GetCapturedStdout();
  return kind;
}

int Probe(const Bytes& payload) {
  std::string out;
  const int kind = ProbeCapturing(payload, &out);
  EXPECT_EQ(out, "");
  return kind;
}

// Packs bit strings ("1", "0001000") MSB first, padded with zero bits.
Bytes PackBits(const std::string& bits) {
  Bytes out((bits.size() + 7) / 8, 0);
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == '1') out[i / 8] |= uint8_t(0x80 >> (i % 8));
  }
  return out;
}

std::string Ue(uint32_t v) {
  const uint64_t x = uint64_t(v) + 1;
  int bits = 0;
  while ((x >> bits) > 1) ++bits;
  std::string s(bits, '0');
  for (int i = bits; i >= 0; --i) s += ((x >> i) & 1) ? '1' : '0';
  return s;
}

// Start code, NAL header, then first_mb_in_slice, slice_type and a stop bit.
Bytes SlicePayload(uint32_t firstMb, uint32_t sliceType, uint8_t nal = 0x65) {
  Bytes p = {0, 0, 0, 1, nal};
  const Bytes data = PackBits(Ue(firstMb) + Ue(sliceType) + "1");
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

TEST(SliceProbe, KnownPayloads) {
  EXPECT_EQ(Probe({0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x80}), 1);  // slice_type 7
  EXPECT_EQ(Probe({0x00, 0x00, 0x00, 0x01, 0x41, 0x9A, 0x80}), 2);  // slice_type 5
}

TEST(SliceProbe, EverySliceTypeValue) {
  // 0..4 and their "all slices alike" twins 5..9; larger values are reduced once only.
  const int expected[] = {2, 0, 1, 0, 0, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  for (uint32_t type = 0; type < 15; ++type) {
    for (uint32_t firstMb : {0u, 1u, 7u, 1000u}) {
      EXPECT_EQ(Probe(SlicePayload(firstMb, type)), expected[type])
          << "slice_type " << type << " first_mb " << firstMb;
    }
  }
}

TEST(SliceProbe, TrailingZerosDoNotChangeTheResult) {
  for (uint32_t type : {0u, 2u, 5u, 7u, 1u}) {
    Bytes p = SlicePayload(3, type);
    const int plain = Probe(p);
    p.insert(p.end(), 37, 0);
    EXPECT_EQ(Probe(p), plain) << type;
  }
  // Trailing zeros after real data are trimmed back to its last nonzero byte.
  const uint8_t data[] = {0x88, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(TrimTrailingZeros(data, sizeof data, 0x65), 2);
  EXPECT_EQ(TrimTrailingZeros(data, 1, 0x65), 1);
}

TEST(SliceProbe, ShortPayloads) {
  std::string out;
  for (size_t n = 0; n < 5; ++n) {
    EXPECT_EQ(ProbeCapturing(Bytes(n, 0), &out), 0);
    EXPECT_EQ(out, "") << n;
  }
  EXPECT_EQ(ProbeSliceType(nullptr, 40), 0);
  EXPECT_EQ(ProbeSliceType(Bytes(8, 1).data(), -3), 0);
  // Exactly five bytes: no data; the panic line appears only for a zero NAL header byte.
  EXPECT_EQ(ProbeCapturing({0, 0, 0, 1, 0x65}, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ProbeCapturing({0, 0, 0, 1, 0x00}, &out), 0);
  EXPECT_EQ(out, " Panic: All zero data sequence in RBSP \n");
}

TEST(SliceProbe, AllZeroData) {
  std::string out;
  EXPECT_EQ(ProbeCapturing({0, 0, 0, 1, 0x65, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ProbeCapturing({0, 0, 0, 1, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, &out), 0);
  EXPECT_EQ(out, " Panic: All zero data sequence in RBSP \n");
  // Only the NAL header byte is consulted, not the start code.
  EXPECT_EQ(ProbeCapturing({9, 9, 9, 9, 0x00, 0, 0, 0}, &out), 0);
  EXPECT_EQ(out, " Panic: All zero data sequence in RBSP \n");
  // A large all-zero NAL unit: one line per probe.
  Bytes big(1 << 20, 0);
  EXPECT_EQ(ProbeCapturing(big, &out), 0);
  EXPECT_EQ(out, " Panic: All zero data sequence in RBSP \n");
}

TEST(SliceProbe, ParameterSetIsReadAsASliceHeader) {
  // 0x42 = 010 0001 0: first_mb_in_slice 1, then 0001 000 -> 7 -> I.
  EXPECT_EQ(Probe({0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E, 0xAB}), 1);
  // 0x64 = 011 00100: first_mb_in_slice 2, then 00100 -> 3 (SP) -> 0.
  EXPECT_EQ(Probe({0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC}), 0);
}

TEST(SliceProbe, ReadPastTheLastNonzeroByteFails) {
  // 0x21 = 00100 001: first_mb_in_slice 3, slice_type prefix 001 whose two
  // suffix bits lie in the next byte.
  EXPECT_EQ(Probe({0, 0, 0, 1, 0x41, 0x21, 0x80}), 2);  // suffix 10 -> 5 -> P
  EXPECT_EQ(Probe({0, 0, 0, 1, 0x41, 0x21}), 0);
  EXPECT_EQ(Probe({0, 0, 0, 1, 0x41, 0x21, 0x00, 0x00}), 0);
  // first_mb_in_slice itself unreadable: a prefix running off the data.
  EXPECT_EQ(Probe({0, 0, 0, 1, 0x41, 0x01}), 0);
}

TEST(SliceProbe, ReadUeBoundaries) {
  uint32_t v = 0;
  {
    const uint8_t d[] = {0x00, 0x00, 0x00, 0x01,
                         0xFF, 0xFF, 0xFF, 0xFE};  // z = 31, suffix all ones
    SBitReader r{d, 8, 0};
    ASSERT_TRUE(ReadUe("SH: first_mb_in_slice", r, v));
    EXPECT_EQ(v, 0xFFFFFFFEu);
    EXPECT_EQ(r.p, 63u);
  }
  {
    const uint8_t d[] = {0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF};  // z = 32
    SBitReader r{d, 9, 0};
    EXPECT_FALSE(ReadUe("SH: slice_type", r, v));
    EXPECT_EQ(r.p, 0u);
  }
  {
    const uint8_t d[] = {0xA6, 0x42};  // 1 | 010 | 011 | 00100 | 0010
    SBitReader r{d, 2, 0};
    const uint32_t expected[] = {0, 1, 2, 3};
    for (uint32_t e : expected) {
      ASSERT_TRUE(ReadUe("x", r, v));
      EXPECT_EQ(v, e);
    }
    EXPECT_EQ(r.p, 12u);
    const uint64_t before = r.p;
    EXPECT_FALSE(ReadUe("x", r, v));  // 0010 needs one more suffix bit
    EXPECT_EQ(r.p, before);
  }
  {
    SBitReader r{nullptr, 0, 0};
    EXPECT_FALSE(ReadUe("x", r, v));
  }
}

}  // namespace
}  // namespace qnv

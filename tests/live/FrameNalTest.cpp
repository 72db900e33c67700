// The public NAL reader (QNVNetFrameNal): pictures and key pictures as hosts,
// qnvctl and qnv-export count them, whatever byte 35 says.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "QNVNetSdk.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kIdrSlice = {0, 0, 0, 1, 0x65, 0x88, 0x80};     // first_mb 0, slice_type 7 (I)
const Bytes kPSlice = {0, 0, 1, 0x41, 0x9A, 0x80};          // 3-byte code, slice_type 5 (P)
const Bytes kSecondSlice = {0, 0, 0, 1, 0x41, 0x40, 0x80};  // first_mb 1: not a picture start
const Bytes kSps = {0, 0, 0, 1, 0x67, 0x88, 0x80, 0x1F};    // its bits read as an I slice
const Bytes kNonIdrI = {0, 0, 0, 1, 0x21, 0xB0};            // type 1, first_mb 0, slice_type 2

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

QNVNetFrameNal Of(const Bytes& payload) {
  return QNVNetFrameNal::OfPayload(payload.data(), payload.size());
}

// A whole frame: header (kind byte as given), optional extension, payload.
Bytes Frame(const Bytes& payload, uint8_t kind, const Bytes* extension = nullptr) {
  Bytes f(QNVNetFrameHeader::kSize, 0);
  std::memcpy(f.data() + QNVNetFrameHeader::kMagicOffset, QNVNetFrameHeader::kMagic, 4);
  f[QNVNetFrameHeader::kPayloadLengthOffset] = uint8_t(payload.size());
  f[QNVNetFrameHeader::kKindOffset] = kind;
  if (extension != nullptr) {
    f[QNVNetFrameHeader::kExtFlagOffset] = 1;
    for (uint8_t b : {uint8_t(extension->size()), uint8_t(0), uint8_t(0), uint8_t(0)})
      f.push_back(b);
    f.insert(f.end(), extension->begin(), extension->end());
  }
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

TEST(FrameNal, SlicesThatBeginPicturesAreCountedByTheirOwnType) {
  QNVNetFrameNal n = Of(kIdrSlice);
  EXPECT_EQ(n.type, 5);
  EXPECT_EQ(n.sliceType, 7);
  EXPECT_TRUE(n.startsPicture && n.keyPicture);
  n = Of(kPSlice);
  EXPECT_EQ(n.type, 1);
  EXPECT_TRUE(n.startsPicture);
  EXPECT_FALSE(n.keyPicture);
  n = Of(kNonIdrI);  // an I picture that is not an IDR is a key picture too
  EXPECT_EQ(n.sliceType, 2);
  EXPECT_TRUE(n.keyPicture);
  n = Of(kSecondSlice);
  EXPECT_EQ(n.type, 1);
  EXPECT_FALSE(n.startsPicture || n.keyPicture);
}

TEST(FrameNal, ParameterSetsAreNoPicturesWhateverByte35Says) {
  // The library's probe marks this frame 1; it holds no picture.
  const Bytes frame = Frame(kSps, QNVNetFrameHeader::kKindKey);
  const QNVNetFrameNal n = QNVNetFrameNal::OfFrame(frame.data(), frame.size());
  EXPECT_EQ(n.type, 7);
  EXPECT_FALSE(n.startsPicture || n.keyPicture);
  // Parameter sets and the picture in one payload: the first unit's type,
  // the picture's slice.
  const Bytes au = Concat({{0, 0, 0, 1, 0x09, 0xF0}, kSps, {0, 0, 1, 0x68, 0xCE}, kIdrSlice});
  const QNVNetFrameNal m = Of(au);
  EXPECT_EQ(m.type, 9);
  EXPECT_TRUE(m.startsPicture && m.keyPicture);
}

TEST(FrameNal, ExtensionBlocksAreSkippedAndLiesRefused) {
  const Bytes ext = {1, 2, 3};
  Bytes frame = Frame(kPSlice, 2, &ext);
  QNVNetFrameNal n = QNVNetFrameNal::OfFrame(frame.data(), frame.size());
  EXPECT_TRUE(n.startsPicture);
  frame[QNVNetFrameHeader::kSize] = 200;  // an extension longer than the frame
  n = QNVNetFrameNal::OfFrame(frame.data(), frame.size());
  EXPECT_EQ(n.type, QNVNetFrameNal::kTypeNone);
  EXPECT_FALSE(n.startsPicture);
}

TEST(FrameNal, AnythingElseIsNoNalUnit) {
  for (const Bytes& bad : {Bytes{}, Bytes{0, 0}, Bytes{0, 0, 1}, Bytes{1, 2, 3, 4, 5},
                           Bytes{0, 0, 2, 0x65, 0x88}, Bytes{0, 0, 1, 0xE5, 0x88}}) {
    const QNVNetFrameNal n = Of(bad);
    EXPECT_FALSE(n.startsPicture || n.keyPicture) << bad.size();
  }
  EXPECT_EQ(Of({0, 0, 1}).type, QNVNetFrameNal::kTypeNone);
  // A slice header cut short, or a slice_type out of range.
  EXPECT_FALSE(Of({0, 0, 1, 0x65}).startsPicture);
  EXPECT_FALSE(Of({0, 0, 1, 0x65, 0x80, 0x00}).startsPicture);
  EXPECT_FALSE(Of({0, 0, 1, 0x65, 0x81, 0x80}).startsPicture);  // slice_type 95
  // A slice beyond the first kScanBytes is not looked for.
  Bytes sei = {0, 0, 0, 1, 0x06};
  sei.resize(QNVNetFrameNal::kScanBytes, 0x55);
  EXPECT_FALSE(Of(Concat({sei, kIdrSlice})).startsPicture);
  EXPECT_EQ(QNVNetFrameNal::OfFrame(nullptr, 100).type, QNVNetFrameNal::kTypeNone);
}

// The payload offset behind the extension block, on every kind of hostile
// length: short frames, a length field cut off, N past the end or near 2^32.
TEST(FrameWire, PayloadOffsetNeverLeavesTheBuffer) {
  constexpr uint64_t kNone = QNVNetFrameHeader::kNoPayload;
  const Bytes ext = {1, 2, 3};
  const Bytes plain = Frame(kPSlice, 2);
  EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(plain.data(), plain.size()), 40u);
  EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(plain.data(), 40), 40u);  // empty payload
  EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(plain.data(), 39), kNone);
  EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(nullptr, 100), kNone);

  Bytes frame = Frame(kPSlice, 2, &ext);
  EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(frame.data(), frame.size()), 47u);
  EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(frame.data(), 47), 47u);  // block just fits
  for (uint64_t cut : {46, 44, 43, 41, 40})  // block or its length field cut off
    EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(frame.data(), cut), kNone) << cut;
  QNVNetFrameHeader header;
  std::memcpy(header.bytes, frame.data(), QNVNetFrameHeader::kSize);
  EXPECT_EQ(header.PayloadOffset(nullptr, 100), kNone);
  EXPECT_EQ(header.PayloadOffset(frame.data() + 40, 3), kNone);
  for (uint32_t lie : {uint32_t(frame.size()), 0xFFFFFFFCu, 0xFFFFFFFFu}) {
    QnvStoreLe32(frame.data() + QNVNetFrameHeader::kSize, lie);  // no 64-bit sum wraps
    EXPECT_EQ(QNVNetFrameHeader::PayloadOffsetInFrame(frame.data(), frame.size()), kNone) << lie;
  }
  // Without the flag the body's bytes are not read at all.
  std::memset(header.bytes, 0, sizeof header.bytes);
  EXPECT_EQ(header.PayloadOffset(nullptr, 0), 0u);
}

TEST(FrameWire, FieldAndNalReaders) {
  const uint8_t le[4] = {0x78, 0x56, 0x34, 0xF2};
  EXPECT_EQ(QnvLoadLe16(le), 0x5678u);
  EXPECT_EQ(QnvLoadLe32(le), 0xF2345678u);
  uint8_t out[4] = {};
  QnvStoreLe32(out, 0xF2345678u);
  EXPECT_EQ(std::memcmp(out, le, 4), 0);

  EXPECT_EQ(QNVNetFrameNal::TypeOf(0x65), QNVNetFrameNal::kTypeIdr);
  EXPECT_EQ(QNVNetFrameNal::TypeOf(0xFF), 31);
  const uint8_t idr[] = {0x65, 0x88}, later[] = {0x41, 0x40}, sps[] = {0x67, 0x88};
  EXPECT_TRUE(QNVNetFrameNal::UnitStartsPicture(idr, 2));
  EXPECT_FALSE(QNVNetFrameNal::UnitStartsPicture(idr, 1));  // cut before first_mb_in_slice
  EXPECT_FALSE(QNVNetFrameNal::UnitStartsPicture(nullptr, 2));
  EXPECT_FALSE(QNVNetFrameNal::UnitStartsPicture(later, 2));
  EXPECT_FALSE(QNVNetFrameNal::UnitStartsPicture(sps, 2));  // its bits would say so
  EXPECT_TRUE(QNVNetFrameNal::IsKeySliceType(7) && QNVNetFrameNal::IsKeySliceType(2));
  EXPECT_FALSE(QNVNetFrameNal::IsKeySliceType(5));
}

}  // namespace

// Fuzzes the slice-type probe against a plain bit-by-bit reading of the same
// rule: behind a 4-byte start code and a NAL header, with trailing zero bytes
// trimmed, two Exp-Golomb numbers (first_mb_in_slice, slice_type) are read;
// slice_type 2 or 7 is an I slice, 0 or 5 a P slice. Also drives ReadUe from
// arbitrary bit positions and TrimTrailingZeros on its own, and the public
// NAL reader (QNVNetFrameNal) on the same bytes: it stays inside them, its
// fields agree with each other, and where the payload is one slice that
// begins a picture it finds a key picture exactly where the probe finds an
// I slice.
//
// Input: u8 start bit for the ReadUe walk, then the payload.
#include <cstdio>
#include <optional>

#include "FuzzInput.h"
#include "QNVNetSdk.h"
#include "live/SliceProbe.h"
#include "protocol/FrameHeader.h"

namespace qnv::fuzz {

using namespace protocol;
namespace {

std::optional<uint32_t> ReferenceUe(const std::vector<int>& bits, size_t& at) {
  size_t zeros = 0;
  while (at + zeros < bits.size() && bits[at + zeros] == 0) ++zeros;
  if (at + zeros >= bits.size() || zeros > 31) return std::nullopt;
  if (at + zeros + 1 + zeros > bits.size()) return std::nullopt;
  uint64_t value = 1;
  for (size_t i = 0; i < zeros; ++i) value = value << 1 | uint64_t(bits[at + zeros + 1 + i]);
  at += 2 * zeros + 1;
  return uint32_t(value - 1);
}

int ReferenceProbe(const std::vector<uint8_t>& payload) {
  if (payload.size() < 5) return kFrameKindOther;
  size_t m = payload.size() - 5;
  while (m > 0 && payload[5 + m - 1] == 0) --m;
  std::vector<int> bits;
  for (size_t i = 0; i < m; ++i)
    for (int b = 7; b >= 0; --b) bits.push_back((payload[5 + i] >> b) & 1);
  size_t at = 0;
  if (!ReferenceUe(bits, at)) return kFrameKindOther;
  std::optional<uint32_t> type = ReferenceUe(bits, at);
  if (!type) return kFrameKindOther;
  if (*type == 2 || *type == 7) return kFrameKindI;
  if (*type == 0 || *type == 5) return kFrameKindP;
  return kFrameKindOther;
}

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The probe reports all-zero NAL units on standard output; keep the
  // fuzzer's own output readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv;
  using namespace qnv::fuzz;
  CFuzzInput in(data, size);
  const uint8_t startBit = in.U8();
  const std::vector<uint8_t> payload = in.Rest();
  // An exact-size copy, so any read past the payload is caught.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[payload.size()]);
  if (!payload.empty()) std::memcpy(exact.get(), payload.data(), payload.size());
  const int32_t n = int32_t(payload.size());

  const int kind = ProbeSliceType(exact.get(), n);
  QNV_FUZZ_CHECK(kind == ReferenceProbe(payload));

  const QNVNetFrameNal nal = QNVNetFrameNal::OfPayload(exact.get(), payload.size());
  QNV_FUZZ_CHECK(nal.type >= QNVNetFrameNal::kTypeNone && nal.type <= 31);
  QNV_FUZZ_CHECK(!nal.keyPicture || nal.startsPicture);
  QNV_FUZZ_CHECK(nal.startsPicture == (nal.sliceType >= 0 && nal.sliceType <= 9));
  const bool oneSlice = payload.size() >= 6 && payload.size() <= QNVNetFrameNal::kScanBytes &&
                        payload[0] == 0 && payload[1] == 0 && payload[2] == 0 && payload[3] == 1 &&
                        (payload[4] & 0x80) == 0 && (payload[4] & 0x1F) >= 1 &&
                        (payload[4] & 0x1F) <= 5 && (payload[5] & 0x80) != 0;
  if (oneSlice) QNV_FUZZ_CHECK(nal.keyPicture == (kind == kFrameKindI));

  const int32_t trimmed = TrimTrailingZeros(exact.get(), n, 1);
  QNV_FUZZ_CHECK(trimmed >= 0 && trimmed <= n);
  QNV_FUZZ_CHECK(trimmed == 0 || exact[size_t(trimmed) - 1] != 0);
  for (int32_t i = trimmed; i < n; ++i) QNV_FUZZ_CHECK(exact[size_t(i)] == 0);

  // Walk the payload number by number from an arbitrary bit.
  SBitReader reader{exact.get(), n, startBit};
  std::vector<int> bits;
  for (int32_t i = 0; i < n; ++i)
    for (int b = 7; b >= 0; --b) bits.push_back((payload[size_t(i)] >> b) & 1);
  size_t at = startBit;
  for (int steps = 0; steps < 64; ++steps) {
    uint32_t value = 0xDEADBEEF;
    const uint64_t before = reader.p;
    const bool ok = ReadUe("fuzz", reader, value);
    std::optional<uint32_t> expect =
        at <= bits.size() ? ReferenceUe(bits, at) : std::optional<uint32_t>();
    QNV_FUZZ_CHECK(ok == expect.has_value());
    if (!ok) {
      QNV_FUZZ_CHECK(reader.p == before);
      break;
    }
    QNV_FUZZ_CHECK(value == *expect && reader.p == at);
  }
  return 0;
}

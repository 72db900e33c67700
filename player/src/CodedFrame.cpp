#include "CodedFrame.h"

#include <cstring>

#include "record/SFrameIndex.h"

namespace qnvplayer {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

bool HasStartCode(const uint8_t* p, size_t n) {
  return (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
         (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

}  // namespace

NalSummary ScanNalUnits(const uint8_t* data, size_t size) {
  NalSummary s;
  // A NAL header follows every 00 00 01; emulation prevention keeps that
  // pattern out of NAL unit bodies. Stop at the first picture: what follows it
  // in the same payload belongs to the same picture.
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t type = data[i + 3] & 0x1F;
    if (type == kNalSps) {
      s.sps = true;
    } else if (type == kNalPps) {
      s.pps = true;
    } else if (type == kNalIdr) {
      s.idr = true;
      break;
    } else if (type >= kNalSlice && type <= kNalPartitionC) {
      s.slice = true;
      break;
    }
    i += 3;
  }
  return s;
}

std::shared_ptr<const CodedFrame> CodedFrame::FromPayload(const uint8_t* data, size_t size) {
  auto frame = std::make_shared<CodedFrame>();
  const bool prefix = !HasStartCode(data, size);
  std::vector<uint8_t>& s = frame->storage;
  s.reserve((prefix ? sizeof kStartCode : 0) + size + kCodedFramePadding);
  if (prefix) s.assign(kStartCode, kStartCode + sizeof kStartCode);
  s.insert(s.end(), data, data + size);
  s.resize(s.size() + kCodedFramePadding, 0);
  frame->nal = ScanNalUnits(frame->data(), frame->size());
  return frame;
}

std::optional<PayloadSpan> FindPayload(const uint8_t* frame, size_t length) {
  if (frame == nullptr || length < qnv::kFrameHeaderSize) return std::nullopt;
  const qnv::SFrameIndex header = qnv::SFrameIndex::From(frame);
  if (!header.HasMagic()) return std::nullopt;
  uint64_t start = qnv::kFrameHeaderSize;
  if (header.HasExtension()) {
    if (length < qnv::kFrameHeaderSize + qnv::kFrameExtLengthSize) return std::nullopt;
    start += qnv::kFrameExtLengthSize + qnv::LoadLe32(frame + qnv::kFrameHeaderSize);
  }
  // 64-bit sums: a huge extension or payload length cannot wrap around.
  const uint64_t end = start + header.PayloadLength();
  if (end > length) return std::nullopt;
  return PayloadSpan{frame + start, size_t(header.PayloadLength())};
}

}  // namespace qnvplayer

#include "CodedFrame.h"

#include <cstring>

#include "QNVNetSdk.h"

namespace qnv::player {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// Notes one NAL unit type; true when it is a picture, which ends the scan:
// what follows it in the same payload belongs to the same picture.
bool Classify(uint8_t header, NalSummary* s) {
  const int32_t type = QNVNetFrameNal::TypeOf(header);
  if (type == kNalSps) {
    s->sps = true;
  } else if (type == kNalPps) {
    s->pps = true;
  } else if (type == kNalIdr) {
    s->idr = true;
    return true;
  } else if (QNVNetFrameNal::IsSlice(type)) {
    s->slice = true;
    return true;
  }
  return false;
}

}  // namespace

bool HasStartCode(const uint8_t* p, size_t n) {
  return (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
         (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

NalSummary ScanNalUnits(const uint8_t* data, size_t size) {
  NalSummary s;
  s.pictureOffset = size;
  if (size > 0 && !HasStartCode(data, size) && Classify(data[0], &s)) {
    s.pictureOffset = 0;
    return s;
  }
  // A NAL header follows every 00 00 01; emulation prevention keeps that
  // pattern out of NAL unit bodies.
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    if (Classify(data[i + 3], &s)) {
      // A 4-byte start code's leading zero belongs to the picture too.
      s.pictureOffset = i > 0 && data[i - 1] == 0 ? i - 1 : i;
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
  const uint64_t start = QNVNetFrameHeader::PayloadOffsetInFrame(frame, length);
  if (start == QNVNetFrameHeader::kNoPayload) return std::nullopt;  // also null or short
  QNVNetFrameHeader header;
  std::memcpy(header.bytes, frame, QNVNetFrameHeader::kSize);
  if (!header.HasMagic()) return std::nullopt;
  // 64-bit sums: a huge extension or payload length cannot wrap around.
  const uint64_t end = start + header.PayloadLength();
  if (end > length) return std::nullopt;
  return PayloadSpan{frame + start, size_t(header.PayloadLength())};
}

}  // namespace qnv::player

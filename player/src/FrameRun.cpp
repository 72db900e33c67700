#include "FrameRun.h"

#include <cstring>

#include "QNVNetSdk.h"

namespace qnv::player {
namespace {
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
}  // namespace

std::optional<PayloadSpan> FindRunPayload(const uint8_t* record, const uint8_t* data,
                                          uint64_t dataLength) {
  QNVNetFrameHeader header;
  std::memcpy(header.bytes, record, QNVNetFrameHeader::kSize);
  if (!header.HasMagic()) return std::nullopt;
  // 64-bit sums: no offset or length can wrap around.
  uint64_t start = header.DataOffset();
  if (start > dataLength) return std::nullopt;
  const uint64_t extension = header.PayloadOffset(data + start, dataLength - start);
  if (extension == QNVNetFrameHeader::kNoPayload) return std::nullopt;
  start += extension;
  const uint64_t end = start + header.PayloadLength();
  if (end > dataLength) return std::nullopt;
  return PayloadSpan{data + start, size_t(header.PayloadLength())};
}

bool FrameRun::Check(const uint8_t* records, uint32_t count, const uint8_t* data,
                     uint64_t dataLength) {
  if (count > 0 && records == nullptr) return false;
  if (dataLength > 0 && data == nullptr) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (!FindRunPayload(records + size_t(i) * kRecordSize, data, dataLength)) return false;
  }
  return true;
}

size_t FrameRun::Prepare(const uint8_t* payload, size_t size) {
  const size_t prefix = HasStartCode(payload, size) ? 0 : sizeof kStartCode;
  const size_t total = prefix + size;
  if (m_scratch.size() < total + kCodedFramePadding) m_scratch.resize(total + kCodedFramePadding);
  std::memcpy(m_scratch.data(), kStartCode, prefix);
  std::memcpy(m_scratch.data() + prefix, payload, size);
  std::memset(m_scratch.data() + total, 0, kCodedFramePadding);
  return total;
}

}  // namespace qnv::player

#include "FirmwareAssembler.h"

#include <algorithm>

#include "devsim/Simulator.h"
#include "devsim/WireFormat.h"

namespace qnv::devsim {

// Largest image accepted: the size field is a signed 32-bit count on the host's side.
constexpr uint32_t kMaxImageSize = 0x7FFFFFFF;

uint32_t FirmwareAssembler::Accept(std::span<const uint8_t> record,
                                   std::optional<std::vector<uint8_t>>& complete) {
  using namespace wire;
  complete.reset();
  if (record.size() != kChunkRecordSize) {
    m_active = false;
    return kResultBadPayload;
  }
  const uint8_t* r = record.data();
  const uint32_t total = GetU32(r + kChunkTotalSizeOffset);
  const uint32_t count = GetU32(r + kChunkCountOffset);
  const uint32_t number = GetU32(r + kChunkNumberOffset);
  const uint32_t length = GetU32(r + kChunkLengthOffset);

  auto reject = [this] {
    m_active = false;
    m_image.clear();
    m_image.shrink_to_fit();
    return kResultBadChunk;
  };
  if (total > kMaxImageSize || count != total / kChunkDataSize + 1) return reject();
  if (number == 1) {
    m_active = true;
    m_totalSize = total;
    m_count = count;
    m_next = 1;
    m_image.clear();
    m_image.reserve(std::min<uint32_t>(total, 64u << 20));  // grows further if ever needed
  } else if (!m_active || number != m_next || total != m_totalSize || count != m_count) {
    return reject();
  }
  const uint32_t expected = number < count
                                ? static_cast<uint32_t>(kChunkDataSize)
                                : total - static_cast<uint32_t>(kChunkDataSize) * (count - 1);
  if (length != expected) return reject();
  m_image.insert(m_image.end(), r + kChunkDataOffset, r + kChunkDataOffset + length);
  if (number == count) {
    complete = std::move(m_image);
    m_image = {};
    m_active = false;
  } else {
    ++m_next;
  }
  return kResultOk;
}

}  // namespace qnv::devsim

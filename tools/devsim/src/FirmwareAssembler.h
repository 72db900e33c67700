// Checks the firmware chunk records of one upload and puts the image together.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qnv::devsim {

// One per command connection; used by the network thread only.
class FirmwareAssembler {
 public:
  FirmwareAssembler() = default;
  FirmwareAssembler(const FirmwareAssembler&) = delete;
  FirmwareAssembler& operator=(const FirmwareAssembler&) = delete;

  // Takes one chunk record. Chunk 1 always starts a new upload; every later chunk must
  // carry the same total size and count and the next number, and a length of 3,072 bytes
  // except the last, which carries the rest (0 to 3,072). A rejected chunk abandons the
  // upload. Returns the result code; `complete` receives the image after the last chunk.
  uint32_t Accept(std::span<const uint8_t> record, std::optional<std::vector<uint8_t>>& complete);

 private:
  bool m_active = false;
  uint32_t m_totalSize = 0, m_count = 0, m_next = 0;
  std::vector<uint8_t> m_image;
};

}  // namespace qnv::devsim

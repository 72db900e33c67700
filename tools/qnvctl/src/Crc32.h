// CRC-32 (IEEE 802.3, reflected, as zlib's crc32) of a byte block; the demo
// compares it with the one the device reports for an installed image.
#ifndef QNVCTL_CRC32_H
#define QNVCTL_CRC32_H

#include <cstddef>
#include <cstdint>

namespace qnvctl {

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

}  // namespace qnvctl

#endif  // QNVCTL_CRC32_H

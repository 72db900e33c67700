// Formatting of device data for people and for JSON: hex dumps, hex strings,
// and zero-padded text fields.
#ifndef QNVCTL_TEXTFORMAT_H
#define QNVCTL_TEXTFORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qnvctl {

// Classic 16-bytes-a-line dump with offsets and printable characters.
std::string HexDump(const uint8_t* data, size_t size);
// "0a1b2c..." (for JSON).
std::string HexString(const uint8_t* data, size_t size);
// The text in a fixed field: up to the first zero byte, at most size bytes.
std::string FixedText(const uint8_t* field, size_t size);

}  // namespace qnvctl

#endif  // QNVCTL_TEXTFORMAT_H

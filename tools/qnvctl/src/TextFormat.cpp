#include "TextFormat.h"

#include <cstdio>

namespace qnvctl {

std::string HexDump(const uint8_t* data, size_t size) {
  std::string out;
  char part[8];
  for (size_t line = 0; line < size; line += 16) {
    std::snprintf(part, sizeof part, "%04zx ", line);
    out += part;
    std::string chars;
    for (size_t i = line; i < line + 16; ++i) {
      if (i < size) {
        std::snprintf(part, sizeof part, " %02x", data[i]);
        out += part;
        chars += (data[i] >= 0x20 && data[i] < 0x7F) ? char(data[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  |" + chars + "|\n";
  }
  return out;
}

std::string HexString(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::string FixedText(const uint8_t* field, size_t size) {
  size_t n = 0;
  while (n < size && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

}  // namespace qnvctl

#include "base/Text.h"

#include <cstdio>

namespace qnvrecorder {

std::string Quote(std::string_view text, size_t max) {
  std::string out = "\"" + Escaped(text.substr(0, max), max) + "\"";
  if (max < text.size()) out += "...";
  return out;
}

std::string Escaped(std::string_view text, size_t max) {
  std::string out;
  const size_t n = text.size() < max ? text.size() : max;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* named = c == '"'    ? "\\\""
                        : c == '\\' ? "\\\\"
                        : c == '\n' ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                                    : nullptr;
    if (named != nullptr) {
      out += named;
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (n < text.size()) out += "...";
  return out;
}

}  // namespace qnvrecorder

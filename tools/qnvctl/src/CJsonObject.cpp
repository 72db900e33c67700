#include "CJsonObject.h"

#include <cmath>
#include <cstdio>

namespace qnvctl {

CJsonObject& CJsonObject::Member(std::string_view key, std::string value) {
  if (!members_.empty()) members_ += ',';
  members_ += Quote(key);
  members_ += ':';
  members_ += value;
  return *this;
}

CJsonObject& CJsonObject::String(std::string_view key, std::string_view value) {
  return Member(key, Quote(value));
}

CJsonObject& CJsonObject::Int(std::string_view key, int64_t value) {
  return Member(key, std::to_string(value));
}

CJsonObject& CJsonObject::Uint(std::string_view key, uint64_t value) {
  return Member(key, std::to_string(value));
}

CJsonObject& CJsonObject::Number(std::string_view key, double value) {
  // JSON has no NaN or infinity.
  if (!std::isfinite(value)) return Member(key, "null");
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  return Member(key, text);
}

CJsonObject& CJsonObject::Boolean(std::string_view key, bool value) {
  return Member(key, value ? "true" : "false");
}

CJsonObject& CJsonObject::Raw(std::string_view key, std::string_view json) {
  return Member(key, std::string(json));
}

std::string CJsonObject::Text() const { return "{" + members_ + "}"; }

std::string CJsonObject::Quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Device texts are not guaranteed to be UTF-8: escape every byte
          // outside printable ASCII so the output always parses.
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += char(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string CJsonObject::Array(const std::vector<std::string>& jsonItems) {
  std::string out = "[";
  for (size_t i = 0; i < jsonItems.size(); ++i) {
    if (i) out += ',';
    out += jsonItems[i];
  }
  return out + "]";
}

}  // namespace qnvctl

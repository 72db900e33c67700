#include "CJsonObject.h"

#include <cmath>
#include <cstdio>

#include "qnvrecording/SummaryFormat.h"

namespace qnvctl {

CJsonObject& CJsonObject::Member(std::string_view key, std::string value) {
  if (!m_members.empty()) m_members += ',';
  m_members += Quote(key);
  m_members += ':';
  m_members += value;
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

std::string CJsonObject::Text() const { return "{" + m_members + "}"; }

// Device texts are not guaranteed to be UTF-8: every byte outside printable
// ASCII is escaped so the output always parses.
std::string CJsonObject::Quote(std::string_view text) { return qnvrec::JsonString(text, true); }

std::string CJsonObject::Array(const std::vector<std::string>& jsonItems) {
  std::string out = "[";
  for (size_t i = 0; i < jsonItems.size(); ++i) {
    if (i) out += ',';
    out += jsonItems[i];
  }
  return out + "]";
}

}  // namespace qnvctl

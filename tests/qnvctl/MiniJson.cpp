#include "MiniJson.h"

#include <cstdlib>
#include <cstring>

namespace qnvtest {

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : m_s(text) {}

  bool Document(JsonValue& out, std::string& error) {
    if (!Value(out, 0)) {
      error = m_error + " at offset " + std::to_string(m_at);
      return false;
    }
    Space();
    if (m_at != m_s.size()) {
      error = "trailing text at offset " + std::to_string(m_at);
      return false;
    }
    return true;
  }

 private:
  void Space() {
    while (m_at < m_s.size() && std::strchr(" \t\r\n", m_s[m_at])) ++m_at;
  }
  bool Fail(const char* why) {
    m_error = why;
    return false;
  }
  bool Literal(const char* word) {
    const size_t n = std::strlen(word);
    if (m_s.compare(m_at, n, word) != 0) return Fail("bad literal");
    m_at += n;
    return true;
  }
  bool String(std::string& out) {
    if (m_at >= m_s.size() || m_s[m_at] != '"') return Fail("expected a string");
    ++m_at;
    while (m_at < m_s.size() && m_s[m_at] != '"') {
      char c = m_s[m_at++];
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_at >= m_s.size()) return Fail("unfinished escape");
      c = m_s[m_at++];
      switch (c) {
        case '"':
        case '\\':
        case '/':
          out += c;
          break;
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          if (m_at + 4 > m_s.size()) return Fail("short \\u escape");
          const long code = std::strtol(m_s.substr(m_at, 4).c_str(), nullptr, 16);
          m_at += 4;
          out += code < 0x80 ? static_cast<char>(code) : '?';  // enough for checks
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
    if (m_at >= m_s.size()) return Fail("unfinished string");
    ++m_at;
    return true;
  }
  bool Value(JsonValue& out, int depth) {
    if (depth > 64) return Fail("nested too deeply");
    Space();
    if (m_at >= m_s.size()) return Fail("unexpected end");
    const char c = m_s[m_at];
    if (c == '{') {
      out.type = JsonValue::kObject;
      ++m_at;
      Space();
      if (m_at < m_s.size() && m_s[m_at] == '}') return ++m_at, true;
      for (;;) {
        Space();
        std::string key;
        if (!String(key)) return false;
        Space();
        if (m_at >= m_s.size() || m_s[m_at] != ':') return Fail("expected ':'");
        ++m_at;
        JsonValue v;
        if (!Value(v, depth + 1)) return false;
        out.members.emplace_back(std::move(key), std::move(v));
        Space();
        if (m_at < m_s.size() && m_s[m_at] == ',') {
          ++m_at;
          continue;
        }
        if (m_at < m_s.size() && m_s[m_at] == '}') return ++m_at, true;
        return Fail("expected ',' or '}'");
      }
    }
    if (c == '[') {
      out.type = JsonValue::kArray;
      ++m_at;
      Space();
      if (m_at < m_s.size() && m_s[m_at] == ']') return ++m_at, true;
      for (;;) {
        JsonValue v;
        if (!Value(v, depth + 1)) return false;
        out.items.push_back(std::move(v));
        Space();
        if (m_at < m_s.size() && m_s[m_at] == ',') {
          ++m_at;
          continue;
        }
        if (m_at < m_s.size() && m_s[m_at] == ']') return ++m_at, true;
        return Fail("expected ',' or ']'");
      }
    }
    if (c == '"') {
      out.type = JsonValue::kString;
      return String(out.text);
    }
    if (c == 't') {
      out.type = JsonValue::kBool;
      out.boolean = true;
      return Literal("true");
    }
    if (c == 'f') {
      out.type = JsonValue::kBool;
      return Literal("false");
    }
    if (c == 'n') return Literal("null");
    if (c == '-' || (c >= '0' && c <= '9')) {
      const char* start = m_s.c_str() + m_at;
      char* end = nullptr;
      out.type = JsonValue::kNumber;
      out.number = std::strtod(start, &end);
      if (end == start) return Fail("bad number");
      m_at += static_cast<size_t>(end - start);
      return true;
    }
    return Fail("unexpected character");
  }

  const std::string& m_s;
  size_t m_at = 0;
  std::string m_error;
};

}  // namespace

const JsonValue* JsonValue::Get(const std::string& key) const {
  for (const auto& [k, v] : members)
    if (k == key) return &v;
  return nullptr;
}

bool ParseJson(const std::string& text, JsonValue& out, std::string& error) {
  out = JsonValue{};
  return Parser(text).Document(out, error);
}

}  // namespace qnvtest

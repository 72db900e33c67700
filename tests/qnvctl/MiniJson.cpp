#include "MiniJson.h"

#include <cstdlib>
#include <cstring>

namespace qnvtest {

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Document(JsonValue& out, std::string& error) {
    if (!Value(out, 0)) {
      error = error_ + " at offset " + std::to_string(at_);
      return false;
    }
    Space();
    if (at_ != s_.size()) {
      error = "trailing text at offset " + std::to_string(at_);
      return false;
    }
    return true;
  }

 private:
  void Space() {
    while (at_ < s_.size() && std::strchr(" \t\r\n", s_[at_])) ++at_;
  }
  bool Fail(const char* why) {
    error_ = why;
    return false;
  }
  bool Literal(const char* word) {
    const size_t n = std::strlen(word);
    if (s_.compare(at_, n, word) != 0) return Fail("bad literal");
    at_ += n;
    return true;
  }
  bool String(std::string& out) {
    if (at_ >= s_.size() || s_[at_] != '"') return Fail("expected a string");
    ++at_;
    while (at_ < s_.size() && s_[at_] != '"') {
      char c = s_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= s_.size()) return Fail("unfinished escape");
      c = s_[at_++];
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
          if (at_ + 4 > s_.size()) return Fail("short \\u escape");
          const long code = std::strtol(s_.substr(at_, 4).c_str(), nullptr, 16);
          at_ += 4;
          out += code < 0x80 ? static_cast<char>(code) : '?';  // enough for checks
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
    if (at_ >= s_.size()) return Fail("unfinished string");
    ++at_;
    return true;
  }
  bool Value(JsonValue& out, int depth) {
    if (depth > 64) return Fail("nested too deeply");
    Space();
    if (at_ >= s_.size()) return Fail("unexpected end");
    const char c = s_[at_];
    if (c == '{') {
      out.type = JsonValue::kObject;
      ++at_;
      Space();
      if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
      for (;;) {
        Space();
        std::string key;
        if (!String(key)) return false;
        Space();
        if (at_ >= s_.size() || s_[at_] != ':') return Fail("expected ':'");
        ++at_;
        JsonValue v;
        if (!Value(v, depth + 1)) return false;
        out.members.emplace_back(std::move(key), std::move(v));
        Space();
        if (at_ < s_.size() && s_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
        return Fail("expected ',' or '}'");
      }
    }
    if (c == '[') {
      out.type = JsonValue::kArray;
      ++at_;
      Space();
      if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
      for (;;) {
        JsonValue v;
        if (!Value(v, depth + 1)) return false;
        out.items.push_back(std::move(v));
        Space();
        if (at_ < s_.size() && s_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
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
      const char* start = s_.c_str() + at_;
      char* end = nullptr;
      out.type = JsonValue::kNumber;
      out.number = std::strtod(start, &end);
      if (end == start) return Fail("bad number");
      at_ += static_cast<size_t>(end - start);
      return true;
    }
    return Fail("unexpected character");
  }

  const std::string& s_;
  size_t at_ = 0;
  std::string error_;
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

#include "streaming/RtspRequest.h"

#include <cstring>

namespace qnvrecorder {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool Token(std::string_view s) {
  if (s.empty() || s.size() > 32) return false;
  for (char c : s) {
    if (!((c >= 'A' && c <= 'Z') || c == '_')) return false;
  }
  return true;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool Base64Decode(std::string_view in, std::string& out) {
  out.clear();
  uint32_t bits = 0;
  int count = 0;
  for (char c : in) {
    if (c == '=') break;
    const int v = Base64Value(c);
    if (v < 0) return false;
    bits = (bits << 6) | uint32_t(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += char((bits >> count) & 0xff);
    }
  }
  return true;
}

}  // namespace

std::string CameraOfUrl(std::string_view url) {
  std::string_view path = url;
  if (const size_t scheme = url.find("://"); scheme != std::string_view::npos) {
    const size_t slash = url.find('/', scheme + 3);
    path = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
  }
  if (path.empty() || path[0] != '/') return std::string();
  path.remove_prefix(1);
  const size_t end = path.find_first_of("/?");
  return std::string(path.substr(0, end));
}

EParse ParseRtspInput(std::string_view input, SRtspRequest& request, size_t& bytes) {
  size_t skip = 0;
  while (skip < input.size() && (input[skip] == '\r' || input[skip] == '\n')) ++skip;
  bytes = skip;
  input.remove_prefix(skip);
  if (skip > 0) return EParse::kBlank;
  if (input.empty()) return EParse::kNeedMore;
  if (input[0] == '$') {
    if (input.size() < 4) return EParse::kNeedMore;
    const size_t length = size_t(uint8_t(input[2])) << 8 | uint8_t(input[3]);
    if (input.size() < 4 + length) return EParse::kNeedMore;
    bytes = 4 + length;
    return EParse::kData;
  }
  const size_t end = input.substr(0, kMaxRequestHead).find("\r\n\r\n");
  if (end == std::string_view::npos) {
    // A bare line feed after the head is no RTSP; the bound still holds.
    return input.size() >= kMaxRequestHead ? EParse::kTooLarge : EParse::kNeedMore;
  }
  const std::string_view head = input.substr(0, end + 2);
  SRtspRequest r;
  size_t lineEnd = head.find("\r\n");
  const std::string_view line = head.substr(0, lineEnd);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.substr(sp2 + 1) != "RTSP/1.0" ||
      !Token(line.substr(0, sp1)) || sp2 == sp1 + 1) {
    return EParse::kMalformed;
  }
  r.method = std::string(line.substr(0, sp1));
  r.url = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  r.camera = CameraOfUrl(r.url);
  size_t contentLength = 0;
  for (size_t at = lineEnd + 2; at < head.size();) {
    const size_t next = head.find("\r\n", at);
    const std::string_view h = head.substr(at, next - at);
    at = next + 2;
    const size_t colon = h.find(':');
    if (colon == std::string_view::npos || colon == 0) return EParse::kMalformed;
    const std::string_view name = h.substr(0, colon), value = Trim(h.substr(colon + 1));
    if (EqualNoCase(name, "CSeq")) {
      if (value.empty() || value.size() > 10 ||
          value.find_first_not_of("0123456789") != std::string_view::npos) {
        return EParse::kMalformed;
      }
      r.cseq = std::string(value);
    } else if (EqualNoCase(name, "Authorization")) {
      r.authorization = std::string(value);
    } else if (EqualNoCase(name, "Content-Length")) {
      if (value.empty() || value.size() > 9 ||
          value.find_first_not_of("0123456789") != std::string_view::npos) {
        return EParse::kMalformed;
      }
      contentLength = size_t(std::stoul(std::string(value)));
      if (contentLength > kMaxRequestBody) return EParse::kTooLarge;
    }
  }
  const size_t total = end + 4 + contentLength;
  if (input.size() < total) return EParse::kNeedMore;
  r.bytes = total;
  bytes = total;
  request = std::move(r);
  return EParse::kRequest;
}

bool BasicCredentialsMatch(std::string_view authorization, const std::string& user,
                           const std::string& password) {
  std::string_view a = Trim(authorization);
  if (a.size() < 6 || !EqualNoCase(a.substr(0, 6), "basic ")) return false;
  std::string decoded;
  if (!Base64Decode(Trim(a.substr(6)), decoded)) return false;
  const std::string expected = user + ":" + password;
  // Constant time over the expected length: the difference, not where it
  // lies, is all a client learns.
  unsigned diff = decoded.size() != expected.size();
  for (size_t i = 0; i < expected.size(); ++i) {
    diff |= unsigned(uint8_t(expected[i]) ^ uint8_t(i < decoded.size() ? decoded[i] : 0));
  }
  return diff == 0;
}

}  // namespace qnvrecorder

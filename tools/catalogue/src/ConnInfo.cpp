// A PostgreSQL connection string as it may be shown: every password taken
// out, in each form the client library accepts (a URI's user:password@ and
// its ?password= parameter, names and values percent-escaped or not; a
// key=value string's password=..., quoted or not, and a URI given there as
// dbname). Pure text work, any thread.
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "qnvcatalogue/ICatalogue.h"

namespace qnvcat {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX decoded; a malformed escape is kept as it is (the library refuses it).
std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Keywords are case-sensitive to the library; any case counts here, so a
// near miss is hidden too rather than shown.
bool IsPasswordKey(std::string_view key) {
  std::string lower;
  for (char c : key) lower += char(std::tolower(static_cast<unsigned char>(c)));
  return lower == "password";
}

bool IsUri(std::string_view text) { return IsDatabaseUrl(std::string(text)); }

// What was found goes to secrets (as written and as the library decodes it).
using Secrets = std::vector<std::string>;
std::string RedactUri(std::string_view uri, bool& found, Secrets& secrets);

// key = value pairs, separated by white space; a value is 'quoted' (with \'
// and \\) or runs to the next white space (with \ escaping one character).
std::string RedactKeyValue(std::string_view text, bool& found, Secrets& secrets) {
  std::string out;
  size_t i = 0;
  auto space = [&](size_t at) {
    return at < text.size() && std::isspace(static_cast<unsigned char>(text[at]));
  };
  while (i < text.size()) {
    const size_t lead = i;
    while (space(i)) ++i;
    const size_t keyFrom = i;
    while (i < text.size() && text[i] != '=' && !space(i)) ++i;
    const std::string_view key = text.substr(keyFrom, i - keyFrom);
    while (space(i)) ++i;
    if (i >= text.size() || text[i] != '=') {
      // Not a pair (the library refuses it): shown no further, as what
      // follows may be a value.
      out.append(text.substr(lead, keyFrom - lead));
      out.append(key);
      if (i < text.size()) out += " ...";
      return out;
    }
    ++i;
    while (space(i)) ++i;
    const size_t valueFrom = i;
    std::string value;
    if (i < text.size() && text[i] == '\'') {
      ++i;
      while (i < text.size() && text[i] != '\'') {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i++];
      }
      if (i < text.size()) ++i;
    } else {
      while (i < text.size() && !space(i)) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i++];
      }
    }
    out.append(text.substr(lead, keyFrom - lead));
    if (IsPasswordKey(key)) {
      found = true;
      secrets.push_back(value);
      secrets.emplace_back(text.substr(valueFrom, i - valueFrom));
      // The pair is left out whole.
      while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
      continue;
    }
    out.append(key);
    out += '=';
    if (key == "dbname" && (IsUri(value) || value.find('=') != std::string::npos)) {
      bool inner = false;
      const std::string shown =
          IsUri(value) ? RedactUri(value, inner, secrets) : RedactKeyValue(value, inner, secrets);
      if (inner) {
        found = true;
        out += "'" + shown + "'";
        continue;
      }
    }
    out.append(text.substr(valueFrom, i - valueFrom));
  }
  return out;
}

// scheme://[user[:password]@]hosts[/dbname][?key=value&...]
std::string RedactUri(std::string_view uri, bool& found, Secrets& secrets) {
  const size_t scheme = uri.find("://") + 3;
  std::string out(uri.substr(0, scheme));
  // As the library reads it: credentials end at the first '@' before a '/'.
  size_t rest = scheme;
  const size_t end = uri.find_first_of("@/", scheme);
  if (end != std::string_view::npos && uri[end] == '@') {
    const std::string_view credentials = uri.substr(scheme, end - scheme);
    const size_t colon = credentials.find(':');
    out.append(credentials.substr(0, colon));
    if (colon != std::string_view::npos) {
      found = true;
      secrets.emplace_back(credentials.substr(colon + 1));
      secrets.push_back(PercentDecoded(credentials.substr(colon + 1)));
    }
    out += '@';
    rest = end + 1;
  }
  const size_t query = uri.find('?', rest);
  out.append(
      uri.substr(rest, query == std::string_view::npos ? std::string_view::npos : query - rest));
  if (query == std::string_view::npos) return out;
  std::string kept;
  size_t from = query + 1;
  while (from <= uri.size()) {
    size_t amp = uri.find('&', from);
    if (amp == std::string_view::npos) amp = uri.size();
    const std::string_view pair = uri.substr(from, amp - from);
    const size_t eq = pair.find('=');
    const std::string key = PercentDecoded(pair.substr(0, eq));
    if (IsPasswordKey(key)) {
      found = true;
      if (eq != std::string_view::npos) {
        secrets.emplace_back(pair.substr(eq + 1));
        secrets.push_back(PercentDecoded(pair.substr(eq + 1)));
      }
    } else if (!pair.empty()) {
      if (key == "dbname" && eq != std::string_view::npos) {
        // A dbname may itself be a connection string the library expands.
        const std::string value = PercentDecoded(pair.substr(eq + 1));
        bool inner = false;
        if (IsUri(value)) RedactUri(value, inner, secrets);
        if (!IsUri(value) && value.find('=') != std::string::npos)
          RedactKeyValue(value, inner, secrets);
        if (inner) {
          found = true;
          from = amp + 1;
          continue;
        }
      }
      kept += kept.empty() ? "?" : "&";
      kept.append(pair);
    }
    from = amp + 1;
  }
  return out + kept;
}

std::string Redact(const std::string& text, bool& found, Secrets& secrets) {
  return IsUri(text) ? RedactUri(text, found, secrets) : RedactKeyValue(text, found, secrets);
}

}  // namespace

std::string RedactConnectionString(const std::string& text, bool* hadPassword) {
  bool found = false;
  Secrets secrets;
  std::string shown = Redact(text, found, secrets);
  if (hadPassword != nullptr) *hadPassword = found;
  return shown;
}

bool CarriesPassword(const std::string& text) {
  bool found = false;
  RedactConnectionString(text, &found);
  return found;
}

std::string ScrubPasswords(std::string message, const std::string& text) {
  bool found = false;
  Secrets secrets;
  Redact(text, found, secrets);
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = message.find(secret); at != std::string::npos;
         at = message.find(secret, at + 3)) {
      message.replace(at, secret.size(), "***");
    }
  }
  return message;
}

}  // namespace qnvcat

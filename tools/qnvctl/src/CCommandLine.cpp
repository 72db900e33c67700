#include "CCommandLine.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace qnvctl {

namespace {

// The options every command takes.
const SOptionSpec kGlobalOptions[] = {
    {"--host", "HOST", "device IPv4 address or host name (default 127.0.0.1)"},
    {"--port", "N", "device command port (default 9000)"},
    {"--user", "NAME", "user name (default admin)"},
    {"--password", "TEXT", "password (default: $QNV_PASSWORD, else admin)"},
    {"--password-file", "FILE", "read the password from FILE's first line"},
    {"--json", nullptr, "machine-readable output on stdout"},
    {"--help", nullptr, "this help"},
    {"--raw", nullptr, "send selectors the SDK does not map (as command code 0)"},
    {"--version", nullptr, "show the tool's and the library's versions"},
};

const SOptionSpec* FindOption(const std::vector<SOptionSpec>& list, const std::string& name) {
  for (const auto& o : list)
    if (name == o.name) return &o;
  return nullptr;
}

const SOptionSpec* FindGlobal(const std::string& name) {
  for (const auto& o : kGlobalOptions)
    if (name == o.name) return &o;
  return nullptr;
}

bool IsOption(const std::string& token) { return token.size() > 1 && token[0] == '-'; }

std::string OptionLines(const SOptionSpec* begin, const SOptionSpec* end) {
  std::string out;
  for (auto* o = begin; o != end; ++o) {
    std::string left = std::string("  ") + o->name;
    if (o->valueName) left += std::string(" ") + o->valueName;
    if (left.size() < 22)
      left.resize(22, ' ');
    else
      left += "  ";
    out += left + o->help + "\n";
  }
  return out;
}

// The password file's first line, without its line end.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read --password-file '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

// Replaces a host name with its first IPv4 address.
bool ResolveIPv4(std::string& host, std::string& error) {
  in_addr dotted{};
  if (inet_pton(AF_INET, host.c_str(), &dotted) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = "cannot resolve --host '" + host +
            "' to an IPv4 address: " + (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  host = text;
  return true;
}

}  // namespace

std::string CInvocation::Value(const std::string& option, const std::string& fallback) const {
  auto it = m_options.find(option);
  return it == m_options.end() ? fallback : it->second;
}

std::optional<uint32_t> ParseU32(const std::string& text) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<double> ParseSeconds(const std::string& text) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
    return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || v < 0 || v > 1e7) return std::nullopt;
  return v;
}

const SCommandSpec* CCommandLine::Find(const std::vector<std::string>& words, size_t& used) const {
  // The longest match wins: "config get" before a hypothetical "config".
  const SCommandSpec* best = nullptr;
  size_t bestWords = 0;
  for (const auto& c : m_commands) {
    std::vector<std::string> cw;
    for (const char *p = c.words, *start = p;; ++p) {
      if (*p == ' ' || *p == '\0') {
        cw.emplace_back(start, p);
        if (*p == '\0') break;
        start = p + 1;
      }
    }
    if (cw.size() > words.size() || cw.size() <= bestWords) continue;
    bool match = true;
    for (size_t i = 0; i < cw.size() && match; ++i) match = cw[i] == words[i];
    if (match) {
      best = &c;
      bestWords = cw.size();
    }
  }
  used = bestWords;
  return best;
}

bool CCommandLine::Parse(int argc, char** argv, CInvocation& out, std::string& error) const {
  std::vector<std::string> tokens(argv + 1, argv + argc);

  // The command words are the leading non-option tokens, once the global
  // options (and their values) in front of them are skipped.
  std::vector<std::string> leading;
  size_t i = 0;
  for (; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    if (IsOption(t)) {
      const std::string name = t.substr(0, t.find('='));
      const SOptionSpec* g = FindGlobal(name);
      if (!g) break;  // a command option: the command words are over
      if (g->valueName && t.find('=') == std::string::npos) ++i;
      continue;
    }
    leading.push_back(t);
  }
  size_t used = 0;
  out.command = Find(leading, used);
  if (!out.command && !leading.empty()) {
    // Report the unknown command, unless help was all that was wanted.
    for (const auto& t : tokens)
      if (t == "--help" || t == "-h") {
        out.help = true;
        return true;
      }
    error = "unknown command '" + leading[0] + (leading.size() > 1 ? " " + leading[1] : "") + "'";
    return false;
  }

  // Second pass: every token in order.
  bool passwordGiven = false;
  size_t wordsSkipped = 0;
  for (i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    if (!IsOption(t) || t == "-") {
      if (wordsSkipped < used) {
        ++wordsSkipped;
        continue;
      }
      out.args.push_back(t);
      continue;
    }
    if (t == "--") {  // everything after is positional
      out.args.insert(out.args.end(), tokens.begin() + i + 1, tokens.end());
      break;
    }
    const size_t eq = t.find('=');
    const std::string name = t.substr(0, eq);
    if (name == "--help" || name == "-h") {
      out.help = true;
      continue;
    }
    const SOptionSpec* spec = FindGlobal(name);
    if (!spec && out.command) spec = FindOption(out.command->options, name);
    if (!spec) {
      error = "unknown option " + name;
      if (out.command) error += std::string(" for '") + out.command->words + "'";
      return false;
    }
    std::string value;
    if (spec->valueName) {
      if (eq != std::string::npos) {
        value = t.substr(eq + 1);
      } else if (i + 1 < tokens.size()) {
        value = tokens[++i];
      } else {
        error = "option " + name + " needs a value (" + spec->valueName + ")";
        return false;
      }
    } else if (eq != std::string::npos) {
      error = "option " + name + " takes no value";
      return false;
    }
    if (name == "--host") {
      out.connection.host = value;
    } else if (name == "--port") {
      auto port = ParseU32(value);
      if (!port || *port == 0 || *port > 65535) {
        error = "bad --port '" + value + "': give a number 1..65535";
        return false;
      }
      out.connection.port = static_cast<uint16_t>(*port);
    } else if (name == "--user") {
      out.connection.user = value;
    } else if (name == "--password") {
      out.connection.password = value;
      passwordGiven = true;
    } else if (name == "--password-file") {
      if (!ReadPasswordFile(value, out.connection.password, error)) return false;
      passwordGiven = true;
    } else if (name == "--json") {
      out.json = true;
    } else {
      out.Set(name, value);
    }
  }
  if (!passwordGiven) {
    if (const char* env = std::getenv("QNV_PASSWORD")) out.connection.password = env;
  }
  if (out.help || out.Has("--version") || !out.command) return true;
  // The library takes dotted IPv4 text only: names are resolved here.
  if (!ResolveIPv4(out.connection.host, error)) return false;
  if (out.args.size() < out.command->minArgs) {
    error = std::string("'") + out.command->words + "' needs " + out.command->synopsis;
    return false;
  }
  if (out.args.size() > out.command->maxArgs) {
    error = "unexpected argument '" + out.args[out.command->maxArgs] + "' for '" +
            out.command->words + "'";
    return false;
  }
  return true;
}

std::string CCommandLine::Overview() const {
  std::string out =
      "Usage: qnvctl COMMAND [ARGS] [connection options] [--json]\n"
      "Talks to a networked video-analytics device through the QNVNetSdk library.\n"
      "\nCommands:\n";
  for (const auto& c : m_commands) {
    std::string left = std::string("  ") + c.words;
    if (left.size() < 20)
      left.resize(20, ' ');
    else
      left += "  ";
    out += left + c.summary + "\n";
  }
  out += "\nOptions of every command:\n";
  out += OptionLines(std::begin(kGlobalOptions), std::end(kGlobalOptions));
  out +=
      "\n'qnvctl COMMAND --help' describes one command. The exit status is 0 on success,\n"
      "1 when an operation failed and 2 for bad arguments.\n"
      "\nEnvironment:\n"
      "  QNV_PASSWORD        the password when neither --password nor --password-file\n"
      "                      is given (keeps it out of the process list)\n";
  return out;
}

std::string CCommandLine::CommandHelp(const SCommandSpec& c) {
  std::string out = std::string("Usage: qnvctl ") + c.words;
  if (*c.synopsis) out += std::string(" ") + c.synopsis;
  out += " [connection options] [--json]\n";
  out += std::string(c.summary) + "\n";
  if (*c.details) out += std::string("\n") + c.details;
  if (!c.options.empty()) {
    out += "\nOptions:\n";
    out += OptionLines(c.options.data(), c.options.data() + c.options.size());
  }
  out += "\nConnection options:\n";
  out += OptionLines(std::begin(kGlobalOptions), std::end(kGlobalOptions));
  return out;
}

}  // namespace qnvctl

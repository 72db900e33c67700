// CCommandLine: reads qnvctl's arguments: the connection options every command
// takes (--host, --port, --user, --password), --json and --help, the command
// words ("config get"), the command's own options and its positional
// arguments. Owns copies of everything it read; one thread.
#ifndef QNVCTL_CCOMMANDLINE_H
#define QNVCTL_CCOMMANDLINE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qnvctl {

// Where and as whom to log in.
struct SConnection {
  std::string host = "127.0.0.1";
  uint16_t port = 9000;
  std::string user = "admin";
  std::string password = "admin";
};

// An option of one command: "--seconds N" has valueName "N", a flag has none.
struct SOptionSpec {
  const char* name;  // with its dashes: "--seconds", "-o"
  const char* valueName;
  const char* help;
};

class CInvocation;
using CommandFunction = int (*)(const CInvocation&);

// One command of the tool.
struct SCommandSpec {
  const char* words;     // "config get"
  const char* synopsis;  // "SEL [-o FILE]"
  const char* summary;   // one line for the overview
  const char* details;   // further help text (may be empty)
  std::vector<SOptionSpec> options;
  size_t minArgs, maxArgs;
  CommandFunction run;
};

// What one run of the tool was asked to do.
class CInvocation {
 public:
  const SCommandSpec* command = nullptr;  // null: no command given
  SConnection connection;
  bool json = false;
  bool help = false;
  std::vector<std::string> args;

  bool Has(const std::string& option) const { return m_options.count(option) != 0; }
  std::string Value(const std::string& option, const std::string& fallback = "") const;
  void Set(const std::string& option, std::string value) { m_options[option] = std::move(value); }

 private:
  std::map<std::string, std::string> m_options;
};

class CCommandLine {
 public:
  explicit CCommandLine(const std::vector<SCommandSpec>& commands) : m_commands(commands) {}
  CCommandLine(const CCommandLine&) = delete;
  CCommandLine& operator=(const CCommandLine&) = delete;

  // False with a one-line message for arguments that do not make sense.
  // --help anywhere succeeds with help set (and command set when one was named
  // before the problem).
  bool Parse(int argc, char** argv, CInvocation& out, std::string& error) const;

  // The tool's overview and one command's help text.
  std::string Overview() const;
  static std::string CommandHelp(const SCommandSpec& command);

 private:
  const SCommandSpec* Find(const std::vector<std::string>& words, size_t& used) const;
  const std::vector<SCommandSpec>& m_commands;
};

// Number parsing for arguments: decimal, or hexadecimal with 0x. Nothing else
// (no sign, no trailing text).
std::optional<uint32_t> ParseU32(const std::string& text);
// Seconds: a non-negative decimal number, fractions allowed.
std::optional<double> ParseSeconds(const std::string& text);

}  // namespace qnvctl

#endif  // QNVCTL_CCOMMANDLINE_H

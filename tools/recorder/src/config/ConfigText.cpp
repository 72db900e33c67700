#include "config/ConfigText.h"

#include <cstdio>

namespace qnvrecorder {
namespace {

// Where the scanner is: plain TOML, or inside a comment or one of the four
// kinds of string (whose contents hold no structure).
enum class EState { kPlain, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral };

bool At(std::string_view text, size_t i, std::string_view what) {
  return text.substr(i, what.size()) == what;
}

}  // namespace

bool CheckConfigText(std::string_view text, std::string& problem) {
  if (text.size() > kMaxConfigBytes) {
    problem = "the file is larger than " + std::to_string(kMaxConfigBytes / 1024) + " KiB";
    return false;
  }
  size_t line = 1, column = 0;
  auto fail = [&](const std::string& what) {
    problem = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
    return false;
  };
  EState state = EState::kPlain;
  // Open brackets, innermost last; '[' for arrays and headers, '{' for tables.
  char open[kMaxConfigNesting + 1];
  int depth = 0;
  bool key = true;      // where a key (or a table header) may begin or goes on
  bool header = false;  // inside [header] or [[header]]
  int parts = 1;        // of the key being read
  bool escape = false;  // the character before was a backslash in a basic string
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    ++column;
    if ((c < 0x20 && c != '\t' && c != '\n' && !(c == '\r' && At(text, i + 1, "\n"))) ||
        c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", c);
      return fail(std::string("control character ") + hex +
                  " (only tab and line ends may appear in the text; inside strings write "
                  "escapes such as \\t)");
    }
    switch (state) {
      case EState::kComment:
        if (c == '\n') state = EState::kPlain;
        break;
      case EState::kBasic:
        if (escape) {
          escape = false;
        } else if (c == '\\') {
          escape = true;
        } else if (c == '"' || c == '\n') {
          state = EState::kPlain;  // an unclosed string is the parser's to report
        }
        break;
      case EState::kLiteral:
        if (c == '\'' || c == '\n') state = EState::kPlain;
        break;
      case EState::kMultiBasic:
        if (escape) {
          escape = false;
        } else if (c == '\\') {
          escape = true;
        } else if (At(text, i, "\"\"\"")) {
          i += 2, column += 2;
          state = EState::kPlain;
        }
        break;
      case EState::kMultiLiteral:
        if (At(text, i, "'''")) {
          i += 2, column += 2;
          state = EState::kPlain;
        }
        break;
      case EState::kPlain:
        switch (c) {
          case '#':
            state = EState::kComment;
            break;
          case '"':
            state = At(text, i, "\"\"\"") ? EState::kMultiBasic : EState::kBasic;
            if (state == EState::kMultiBasic) i += 2, column += 2;
            break;
          case '\'':
            state = At(text, i, "'''") ? EState::kMultiLiteral : EState::kLiteral;
            if (state == EState::kMultiLiteral) i += 2, column += 2;
            break;
          case '[':
          case '{':
            if (depth == kMaxConfigNesting) {
              return fail("more than " + std::to_string(kMaxConfigNesting) +
                          " arrays, tables or header brackets inside each other");
            }
            if (c == '[' && depth == 0 && key) {
              header = true;  // stays a key: its parts are counted
            } else if (c == '{') {
              key = true, parts = 1;
            } else if (!header) {
              key = false;
            }
            open[depth++] = static_cast<char>(c);
            break;
          case ']':
          case '}':
            if (depth > 0) --depth;
            if (header && depth == 0) header = false, key = false;
            break;
          case '.':
            if (key && ++parts > kMaxConfigKeyParts) {
              return fail("a key or table header of more than " +
                          std::to_string(kMaxConfigKeyParts) + " dotted parts");
            }
            break;
          case '=':
            if (!header) key = false;
            break;
          case ',':
            if (depth > 0 && open[depth - 1] == '{') key = true, parts = 1;
            break;
          default:
            break;
        }
        break;
    }
    if (c == '\n') {
      ++line, column = 0;
      if (state == EState::kPlain && depth == 0) key = true, parts = 1, header = false;
    }
  }
  return true;
}

}  // namespace qnvrecorder

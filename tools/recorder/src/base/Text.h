// Text: how the recorder shows text it did not write itself (a configuration
// value, a path, a client's request) in a message: quoted, escaped, cut.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qnvrecorder {

// The most characters of foreign text a message quotes.
inline constexpr size_t kQuoteChars = 80;

// text between double quotes, at most `max` characters of it, each control
// character, quote, backslash and byte from 0x7F up escaped (\n, \t, \xNN),
// and "..." after the quote when it was cut: one line, whatever text holds.
std::string Quote(std::string_view text, size_t max = kQuoteChars);
// The same without the quotes, for a longer text of known origin (a parser's
// message) that must still stay one safe line.
std::string Escaped(std::string_view text, size_t max);

}  // namespace qnvrecorder

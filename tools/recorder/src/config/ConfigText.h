// ConfigText: the limits a configuration file's text must keep before the
// TOML parser sees it. The parser recurses once per nesting level and per
// part of a dotted key, so a hostile or broken file could exhaust the stack;
// these checks bound both, and the size, and refuse control characters,
// which TOML does not allow outside strings and which would cut values short
// (an embedded NUL) or forge log lines (a bare CR).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qnvrecorder {

inline constexpr size_t kMaxConfigBytes = 1u << 20;
// Arrays and inline tables inside each other (a [[table]] header counts 2).
inline constexpr int kMaxConfigNesting = 8;
// Parts of one dotted key or table header ("a.b.c" has 3).
inline constexpr int kMaxConfigKeyParts = 8;

// True when text keeps the limits; otherwise false with `problem` saying
// where ("line L, column C: ...") and what, in one line.
bool CheckConfigText(std::string_view text, std::string& problem);

}  // namespace qnvrecorder

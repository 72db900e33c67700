#include "Selectors.h"

#include <algorithm>

#include "CCommandLine.h"

namespace qnvctl {

namespace {

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
  std::vector<uint32_t> v;
  for (uint32_t s = first; s <= last; ++s) v.push_back(s);
  return v;
}

std::vector<uint32_t> Join(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  std::sort(a.begin(), a.end());
  return a;
}

const char* KindName(SelectorKind kind) {
  switch (kind) {
    case SelectorKind::kConfigGet:
      return "configuration (get)";
    case SelectorKind::kConfigSet:
      return "configuration (set)";
    case SelectorKind::kCommand:
      return "system command";
    case SelectorKind::kAlgoGet:
      return "algorithm (get)";
    case SelectorKind::kAlgoSet:
      return "algorithm (set)";
    case SelectorKind::kPtzParam:
      return "PTZ parameter";
  }
  return "";
}

}  // namespace

const std::vector<uint32_t>& KnownSelectors(SelectorKind kind) {
  static const std::vector<uint32_t> configGet = Join({13, 24, 71}, Range(31, 44));
  static const std::vector<uint32_t> configSet = Join({71}, Range(31, 44));
  static const std::vector<uint32_t> command = {10, 11, 12, 14, 15, 21, 22, 23, 70};
  static const std::vector<uint32_t> algoGet = Range(50, 66);
  static const std::vector<uint32_t> algoSet = Join({68, 69}, Range(50, 66));
  static const std::vector<uint32_t> ptz = {0, 1, 2};
  switch (kind) {
    case SelectorKind::kConfigGet:
      return configGet;
    case SelectorKind::kConfigSet:
      return configSet;
    case SelectorKind::kCommand:
      return command;
    case SelectorKind::kAlgoGet:
      return algoGet;
    case SelectorKind::kAlgoSet:
      return algoSet;
    case SelectorKind::kPtzParam:
      return ptz;
  }
  return ptz;
}

bool IsKnownSelector(SelectorKind kind, uint32_t selector) {
  const auto& known = KnownSelectors(kind);
  return std::binary_search(known.begin(), known.end(), selector);
}

std::string SelectorList(SelectorKind kind) {
  const auto& known = KnownSelectors(kind);
  std::string out;
  for (size_t i = 0; i < known.size();) {
    size_t j = i;
    while (j + 1 < known.size() && known[j + 1] == known[j] + 1) ++j;
    if (!out.empty()) out += ' ';
    out += std::to_string(known[i]);
    if (j > i) out += (j == i + 1 ? " " : "-") + std::to_string(known[j]);
    i = j + 1;
  }
  return out;
}

std::optional<uint32_t> ParseSelector(SelectorKind kind, const std::string& text,
                                      std::string& error) {
  auto value = ParseU32(text);
  if (!value)
    error = "unknown " + std::string(KindName(kind)) + " selector '" + text + "': give a number (" +
            SelectorList(kind) + ")";
  return value;
}

}  // namespace qnvctl

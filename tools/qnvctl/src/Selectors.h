// The numeric selectors some exports take, and the ones the SDK maps to a
// device command. A selector outside its list still reaches the device (with
// command code 0, which a device normally refuses), so the tool sends it but
// says so.
#ifndef QNVCTL_SELECTORS_H
#define QNVCTL_SELECTORS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qnvctl {

enum class SelectorKind {
  kConfigGet,  // QNVNet_ManageGetSysConfig
  kConfigSet,  // QNVNet_ManageSetSysConfig
  kCommand,    // QNVNet_ManageSendSysCmd
  kAlgoGet,    // QNVNet_AlgorGetParam
  kAlgoSet,    // QNVNet_AlgorSetParam
  kPtzParam,   // QNVNet_PTZGetParam
};

// The selector that reads the device-information block.
constexpr uint32_t kDeviceInfoSelector = 13;

// The selectors the SDK maps for this kind, ascending.
const std::vector<uint32_t>& KnownSelectors(SelectorKind kind);
bool IsKnownSelector(SelectorKind kind, uint32_t selector);
// "13 24 31-44 71"
std::string SelectorList(SelectorKind kind);

// A selector argument: a number (decimal or 0x hex). nullopt for other text;
// error then holds a one-line message.
std::optional<uint32_t> ParseSelector(SelectorKind kind, const std::string& text,
                                      std::string& error);

}  // namespace qnvctl

#endif  // QNVCTL_SELECTORS_H

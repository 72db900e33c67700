// The commands that make one request each: device information,
// configuration, system commands, PTZ, rules and algorithm parameters. Each
// follows the same pattern an integrator would: start the SDK, log in, call
// one export, report its result code, and let the destructors log out and
// shut the SDK down.
#include <cstdio>
#include <string>
#include <vector>

#include "CDeviceSession.h"
#include "CJsonObject.h"
#include "CReporter.h"
#include "CSdkLibrary.h"
#include "CommandSupport.h"
#include "Commands.h"
#include "DeviceInfo.h"
#include "Files.h"
#include "FrameHeader.h"
#include "QNVNetSdk.h"
#include "Selectors.h"
#include "TextFormat.h"

namespace qnvctl {

namespace {

// Parses a selector argument; on failure reports it (usage error).
bool Selector(const CInvocation& inv, const CReporter& out, SelectorKind kind,
              const std::string& text, const char* command, uint32_t& selector, int& exitCode) {
  std::string error;
  auto value = ParseSelector(kind, text, error);
  if (!value) {
    exitCode = out.Usage(error, command);
    return false;
  }
  if (!IsKnownSelector(kind, *value)) {
    const std::string what = "selector " + std::to_string(*value) + " is not one the SDK maps (" +
                             SelectorList(kind) + "); the device would receive command code 0";
    if (!inv.Has("--raw")) {
      exitCode = out.Usage(what + "; --raw sends it anyway", command);
      return false;
    }
    out.Note(what);
  }
  selector = *value;
  return true;
}

// "config get SEL [-o FILE]" and "algo get SEL [-o FILE]".
int RunSelectorGet(const CInvocation& inv, SelectorKind kind, const char* command,
                   uint32_t (*get)(uint32_t, uint32_t, void*, int32_t&)) {
  CReporter out(inv.json);
  uint32_t selector = 0;
  int exitCode = kExitOk;
  if (!Selector(inv, out, kind, inv.args[0], command, selector, exitCode)) return exitCode;
  CSdkLibrary sdk;
  CDeviceSession session;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  std::vector<uint8_t> data;
  int32_t reported = 0;
  const uint32_t result =
      GetBlock([&](void* buffer,
                   int32_t& length) { return get(session.clientId(), selector, buffer, length); },
               data, reported);
  if (result != QNVNET_OK) return out.SdkFailure(std::string(command) + " failed", result);
  CJsonObject json;
  json.Uint("selector", selector);
  if (!ShowBlock(out, "selector " + std::to_string(selector), data, reported, inv.Value("-o"),
                 json))
    return kExitFailed;
  return out.Done(json);
}

// "config set SEL FILE" and "algo set SEL FILE".
int RunSelectorSet(const CInvocation& inv, SelectorKind kind, const char* command,
                   uint32_t (*set)(uint32_t, uint32_t, const void*, int32_t)) {
  CReporter out(inv.json);
  uint32_t selector = 0;
  int exitCode = kExitOk;
  if (!Selector(inv, out, kind, inv.args[0], command, selector, exitCode)) return exitCode;
  std::vector<uint8_t> data;
  if (!ReadSendFile(out, inv.args[1], data)) return kExitFailed;
  CSdkLibrary sdk;
  CDeviceSession session;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  const uint32_t result =
      set(session.clientId(), selector, data.data(), static_cast<int32_t>(data.size()));
  if (result != QNVNET_OK) return out.SdkFailure(std::string(command) + " failed", result);
  out.Text("selector " + std::to_string(selector) + ": " + std::to_string(data.size()) +
           " bytes sent");
  return out.Done(CJsonObject().Uint("selector", selector).Uint("length", data.size()));
}

bool ParseValues(const CReporter& out, const CInvocation& inv, const char* command,
                 std::vector<uint32_t>& values, int& exitCode) {
  for (const auto& a : inv.args) {
    auto v = ParseU32(a);
    if (!v) {
      exitCode = out.Usage("bad value '" + a + "': give an unsigned 32-bit number", command);
      return false;
    }
    values.push_back(*v);
  }
  return true;
}

std::string ValuesJson(const std::vector<uint32_t>& values) {
  std::vector<std::string> items;
  for (uint32_t v : values) items.push_back(std::to_string(v));
  return CJsonObject::Array(items);
}

}  // namespace

int RunInfo(const CInvocation& inv) {
  CReporter out(inv.json);
  // The SDK version needs no initialisation: 0x01000000 reads 1.0.0.
  uint32_t version = 0;
  QNVNet_GetSdkVersion(&version);
  char versionText[32];
  std::snprintf(versionText, sizeof versionText, "%u.%u.%u", version >> 24, (version >> 16) & 0xFF,
                (version >> 8) & 0xFF);

  CSdkLibrary sdk;
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  std::vector<uint8_t> data;
  int32_t reported = 0;
  const uint32_t result = GetBlock(
      [&](void* buffer, int32_t& length) {
        return QNVNet_ManageGetSysConfig(session.clientId(), kDeviceInfoSelector, buffer, length);
      },
      data, reported);
  if (result != QNVNET_OK) return out.SdkFailure("device information failed", result);

  CJsonObject json;
  json.String("sdkVersion", versionText).Uint("sdkVersionValue", version);
  json.String("device", inv.connection.host + ":" + std::to_string(inv.connection.port));
  char line[160];
  std::snprintf(line, sizeof line, "SDK version       %s (0x%08x)", versionText, version);
  out.Text(line);
  out.Text("Device            " + inv.connection.host + ":" + std::to_string(inv.connection.port));
  SDeviceInfo info;
  if (DecodeDeviceInfo(data.data(), data.size(), info)) {
    AddDeviceInfo(json, info);
    out.Text("Model             " + info.model);
    out.Text("Firmware version  " + info.firmwareVersion);
    out.Text("Serial number     " + info.serial);
    std::snprintf(line, sizeof line, "Firmware image    %u bytes, CRC-32 %08x (%u update%s)",
                  info.imageSize, info.imageCrc32, info.updates, info.updates == 1 ? "" : "s");
    out.Text(line);
    std::snprintf(line, sizeof line, "Ports             command %u, stream %u", info.commandPort,
                  info.streamPort);
    out.Text(line);
  } else {
    out.Note("the information block is shorter than expected; raw bytes only");
  }
  out.Text("Information block (selector " + std::to_string(kDeviceInfoSelector) + ", " +
           std::to_string(data.size()) + " bytes):");
  std::string dump = HexDump(data.data(), data.size());
  if (!dump.empty()) dump.pop_back();
  out.Text(dump);
  json.Uint("length", data.size()).String("data", HexString(data.data(), data.size()));
  return out.Done(json);
}

int RunConfigGet(const CInvocation& inv) {
  return RunSelectorGet(inv, SelectorKind::kConfigGet, "config get", &QNVNet_ManageGetSysConfig);
}

int RunConfigSet(const CInvocation& inv) {
  return RunSelectorSet(inv, SelectorKind::kConfigSet, "config set", &QNVNet_ManageSetSysConfig);
}

int RunAlgoGet(const CInvocation& inv) {
  return RunSelectorGet(inv, SelectorKind::kAlgoGet, "algo get", &QNVNet_AlgorGetParam);
}

int RunAlgoSet(const CInvocation& inv) {
  return RunSelectorSet(inv, SelectorKind::kAlgoSet, "algo set", &QNVNet_AlgorSetParam);
}

int RunSysCommand(const CInvocation& inv) {
  CReporter out(inv.json);
  uint32_t selector = 0;
  int exitCode = kExitOk;
  if (!Selector(inv, out, SelectorKind::kCommand, inv.args[0], "cmd", selector, exitCode))
    return exitCode;
  std::vector<uint8_t> data;
  if (inv.args.size() > 1 && !ReadSendFile(out, inv.args[1], data)) return kExitFailed;
  CSdkLibrary sdk;
  CDeviceSession session;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  int32_t length = static_cast<int32_t>(data.size());  // only read by the SDK
  const uint32_t result =
      QNVNet_ManageSendSysCmd(session.clientId(), selector, data.data(), length);
  if (result != QNVNET_OK) return out.SdkFailure("command failed", result);
  out.Text("command " + std::to_string(selector) + " accepted (" + std::to_string(data.size()) +
           " bytes sent)");
  return out.Done(CJsonObject().Uint("selector", selector).Uint("length", data.size()));
}

int RunPtzMove(const CInvocation& inv) {
  CReporter out(inv.json);
  std::vector<uint32_t> v;
  int exitCode = kExitOk;
  if (!ParseValues(out, inv, "ptz move", v, exitCode)) return exitCode;
  CSdkLibrary sdk;
  CDeviceSession session;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  const uint32_t result = QNVNet_PTZCtrlSend(session.clientId(), v[0], v[1], v[2], v[3]);
  if (result != QNVNET_OK) return out.SdkFailure("ptz move failed", result);
  out.Text("PTZ move sent");
  return out.Done(CJsonObject().Raw("values", ValuesJson(v)));
}

int RunPtzPreset(const CInvocation& inv) {
  CReporter out(inv.json);
  std::vector<uint32_t> v;
  int exitCode = kExitOk;
  if (!ParseValues(out, inv, "ptz preset", v, exitCode)) return exitCode;
  CSdkLibrary sdk;
  CDeviceSession session;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  const uint32_t result = QNVNet_PTZCtrlPreset(session.clientId(), v[0], v[1]);
  if (result != QNVNET_OK) return out.SdkFailure("ptz preset failed", result);
  out.Text("PTZ preset sent");
  return out.Done(CJsonObject().Raw("values", ValuesJson(v)));
}

int RunPtzParam(const CInvocation& inv) {
  CReporter out(inv.json);
  uint32_t type = 0;
  int exitCode = kExitOk;
  if (!Selector(inv, out, SelectorKind::kPtzParam, inv.args[0], "ptz param", type, exitCode))
    return exitCode;
  CSdkLibrary sdk;
  CDeviceSession session;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  std::vector<uint8_t> data;
  int32_t reported = 0;
  const uint32_t result = GetBlock(
      [&](void* buffer, int32_t& length) {
        return QNVNet_PTZGetParam(session.clientId(), type, buffer, length);
      },
      data, reported);
  if (result != QNVNET_OK) return out.SdkFailure("ptz param failed", result);

  // PTZ parameters are lists of 32-bit numbers (position, presets, limits);
  // show them as such besides the raw bytes.
  std::vector<uint32_t> values;
  for (size_t i = 0; i + 4 <= data.size(); i += 4) values.push_back(QnvLoadLe32(data.data() + i));
  std::string line = "values:";
  for (uint32_t v : values) line += " " + std::to_string(v);
  CJsonObject json;
  json.Uint("type", type).Raw("values", ValuesJson(values));
  if (!ShowBlock(out, "PTZ parameter " + std::to_string(type), data, reported, "", json))
    return kExitFailed;
  out.Text(line);
  return out.Done(json);
}

int RunRulesDownload(const CInvocation& inv) {
  CReporter out(inv.json);
  if (std::string error; !inv.args.empty() && !CheckOutputPath(inv.args[0], error))
    return out.Failure(error);
  CSdkLibrary sdk;
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  std::vector<uint8_t> data;
  int32_t reported = 0;
  const uint32_t result = GetBlock(
      [&](void* buffer, int32_t& length) {
        return QNVNet_RuleDownLoad(session.clientId(), buffer, length);
      },
      data, reported);
  if (result != QNVNET_OK) return out.SdkFailure("rules download failed", result);
  CJsonObject json;
  if (!ShowBlock(out, "rules", data, reported, inv.args[0], json)) return kExitFailed;
  return out.Done(json);
}

int RunRulesUpload(const CInvocation& inv) {
  CReporter out(inv.json);
  std::vector<uint8_t> data;
  if (!ReadSendFile(out, inv.args[0], data)) return kExitFailed;
  CSdkLibrary sdk;
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  const uint32_t result =
      QNVNet_RuleUpLoad(session.clientId(), data.data(), static_cast<int32_t>(data.size()));
  if (result != QNVNET_OK) return out.SdkFailure("rules upload failed", result);
  out.Text("rules: " + std::to_string(data.size()) + " bytes uploaded");
  return out.Done(CJsonObject().Uint("length", data.size()));
}

int RunRulesEnable(const CInvocation& inv) {
  CReporter out(inv.json);
  const std::string& word = inv.args[0];
  // QNVNet_RuleEnable sends nothing for values other than 0 and 1, so only
  // those two are offered.
  int32_t on = -1;
  if (word == "on" || word == "1") on = 1;
  if (word == "off" || word == "0") on = 0;
  if (on < 0) return out.Usage("rules enable takes on or off, not '" + word + "'", "rules enable");
  CSdkLibrary sdk;
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  const uint32_t result = QNVNet_RuleEnable(session.clientId(), on);
  if (result != QNVNET_OK) return out.SdkFailure("rules enable failed", result);
  out.Text(std::string("rule processing switched ") + (on ? "on" : "off"));
  return out.Done(CJsonObject().Boolean("enabled", on == 1));
}

int RunRulesState(const CInvocation& inv) {
  CReporter out(inv.json);
  CSdkLibrary sdk;
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;

  int32_t state = 0;
  const uint32_t result = QNVNet_IsRuleEnable(session.clientId(), state);
  if (result != QNVNET_OK) return out.SdkFailure("rules state failed", result);
  out.Text(std::string("rule processing is ") + (state ? "on" : "off") + " (" +
           std::to_string(state) + ")");
  return out.Done(CJsonObject().Boolean("enabled", state != 0).Int("state", state));
}

}  // namespace qnvctl

#include "DeviceState.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "devsim/Simulator.h"
#include "devsim/WireFormat.h"

namespace qnv::devsim {
namespace {

using wire::GetU32;
using wire::PutU32;

using wire::kClassAlgorithm;
using wire::kClassRules;
using wire::kClassSystem;
constexpr uint16_t kRuleDownloadCode = 1;
constexpr uint16_t kRuleUploadCode = 2;
constexpr uint16_t kDeviceInfoCode = 4;
constexpr uint16_t kPtzPositionCode = 17;
constexpr uint16_t kPtzPresetTableCode = 18;
constexpr uint16_t kPtzLimitsCode = 19;
constexpr size_t kDefaultItemSize = 64;
constexpr size_t kDefaultRuleBlockSize = 16;
constexpr uint32_t kMaxPreset = 255;
constexpr size_t kTextField = 32;

struct CodePair {
  uint16_t get, set;  // 0: none
};
// Configuration items of class 2; 4 and 20 are read-only.
constexpr std::array<CodePair, 17> kConfigCodes = {{{4, 0},
                                                    {20, 0},
                                                    {33, 34},
                                                    {35, 36},
                                                    {37, 38},
                                                    {49, 50},
                                                    {51, 52},
                                                    {53, 54},
                                                    {65, 66},
                                                    {67, 68},
                                                    {69, 70},
                                                    {81, 82},
                                                    {83, 84},
                                                    {85, 86},
                                                    {97, 98},
                                                    {71, 72},
                                                    {100, 99}}};
// Algorithm parameters of class 7; 54 and 55 can only be written.
constexpr std::array<CodePair, 19> kAlgorithmCodes = {{{1, 2},
                                                       {3, 4},
                                                       {5, 6},
                                                       {7, 8},
                                                       {9, 10},
                                                       {17, 18},
                                                       {19, 20},
                                                       {21, 22},
                                                       {23, 24},
                                                       {25, 26},
                                                       {33, 34},
                                                       {35, 36},
                                                       {37, 38},
                                                       {39, 40},
                                                       {41, 42},
                                                       {49, 50},
                                                       {51, 52},
                                                       {0, 54},
                                                       {0, 55}}};

uint32_t Key(uint16_t cls, uint16_t code) { return (static_cast<uint32_t>(cls) << 16) | code; }

const CodePair* FindPair(uint16_t cls, uint16_t code, bool bySet) {
  auto find = [&](auto& table) -> const CodePair* {
    for (auto& p : table) {
      if ((bySet ? p.set : p.get) == code && code != 0) return &p;
    }
    return nullptr;
  };
  if (cls == kClassSystem) return find(kConfigCodes);
  if (cls == kClassAlgorithm) return find(kAlgorithmCodes);
  return nullptr;
}

void PutText(uint8_t* field, const std::string& text) {
  std::memcpy(field, text.data(), std::min(text.size(), kTextField - 1));
}

}  // namespace

DeviceState::DeviceState() {
  // Default items: 64 bytes, the get code as the first u32 and zeros.
  auto defaults = [this](uint16_t cls, auto& table) {
    for (auto& p : table) {
      if (p.get == 0) continue;
      std::vector<uint8_t> item(kDefaultItemSize, 0);
      PutU32(item.data(), p.get);
      m_items[Key(cls, p.get)] = std::move(item);
    }
  };
  defaults(kClassSystem, kConfigCodes);
  defaults(kClassAlgorithm, kAlgorithmCodes);
  m_items[Key(kClassRules, kRuleDownloadCode)] = std::vector<uint8_t>(kDefaultRuleBlockSize, 0);
  RebuildDeviceInfoLocked();
}

bool DeviceState::IsGetCode(uint16_t cls, uint16_t code) {
  if (cls == kClassRules) return code == kRuleDownloadCode;
  return FindPair(cls, code, false) != nullptr;
}

bool DeviceState::IsSetCode(uint16_t cls, uint16_t code) {
  if (cls == kClassRules) return code == kRuleUploadCode;
  return FindPair(cls, code, true) != nullptr;
}

std::optional<std::vector<uint8_t>> DeviceState::Get(uint16_t cls, uint16_t getCode) const {
  if (!IsGetCode(cls, getCode)) return std::nullopt;
  std::lock_guard lock(m_mutex);
  auto it = m_items.find(Key(cls, getCode));
  if (it == m_items.end()) return std::vector<uint8_t>{};
  return it->second;
}

uint32_t DeviceState::Set(uint16_t cls, uint16_t setCode, std::span<const uint8_t> data) {
  if (!IsSetCode(cls, setCode)) return kResultUnsupported;
  // An item that could not be read back whole in one reply is refused.
  if (data.size() > wire::kMaxReplyPayload) return kResultBadPayload;
  uint16_t key = setCode;
  if (cls == kClassRules) {
    key = kRuleDownloadCode;
  } else if (const CodePair* p = FindPair(cls, setCode, true); p->get != 0) {
    key = p->get;
  }
  std::lock_guard lock(m_mutex);
  m_items[Key(cls, key)].assign(data.begin(), data.end());
  return kResultOk;
}

std::vector<uint8_t> DeviceState::ConfigItem(uint16_t getCode) const {
  std::lock_guard lock(m_mutex);
  auto it = m_items.find(Key(kClassSystem, getCode));
  return it == m_items.end() ? std::vector<uint8_t>{} : it->second;
}

void DeviceState::SetConfigItem(uint16_t getCode, std::vector<uint8_t> data) {
  if (data.size() > wire::kMaxReplyPayload) data.resize(wire::kMaxReplyPayload);
  std::lock_guard lock(m_mutex);
  m_items[Key(kClassSystem, getCode)] = std::move(data);
}

void DeviceState::SetRulesEnabled(bool on) {
  std::lock_guard lock(m_mutex);
  m_rulesEnabled = on;
}

bool DeviceState::RulesEnabled() const {
  std::lock_guard lock(m_mutex);
  return m_rulesEnabled;
}

uint32_t DeviceState::PtzControl(std::span<const uint8_t> payload) {
  if (payload.size() != 16) return kResultBadPayload;
  const uint32_t command = GetU32(payload.data()), a1 = GetU32(payload.data() + 4),
                 a2 = GetU32(payload.data() + 8), a3 = GetU32(payload.data() + 12);
  const uint32_t steps = a1 == 0 ? 1 : a1;
  std::lock_guard lock(m_mutex);
  PtzPosition& p = m_ptz;
  auto clampAdd = [](uint32_t v, int64_t d, uint32_t lo, uint32_t hi) {
    return static_cast<uint32_t>(std::clamp<int64_t>(static_cast<int64_t>(v) + d, lo, hi));
  };
  switch (command) {
    case 0:
      break;
    case 1:
      p.tilt = clampAdd(p.tilt, steps, 0, kTiltMax);
      break;
    case 2:
      p.tilt = clampAdd(p.tilt, -static_cast<int64_t>(steps), 0, kTiltMax);
      break;
    case 3:
      p.pan = static_cast<uint32_t>((p.pan + kPanRange - steps % kPanRange) % kPanRange);
      break;
    case 4:
      p.pan = static_cast<uint32_t>((p.pan + steps % kPanRange) % kPanRange);
      break;
    case 5:
      p.zoom = clampAdd(p.zoom, steps, kZoomMin, kZoomMax);
      break;
    case 6:
      p.zoom = clampAdd(p.zoom, -static_cast<int64_t>(steps), kZoomMin, kZoomMax);
      break;
    case 7:
      p.pan = a1 % kPanRange;
      p.tilt = std::min(a2, kTiltMax);
      p.zoom = std::clamp(a3, kZoomMin, kZoomMax);
      break;
    default:
      return kResultUnsupported;
  }
  return kResultOk;
}

uint32_t DeviceState::PtzPreset(std::span<const uint8_t> payload) {
  if (payload.size() != 8) return kResultBadPayload;
  const uint32_t action = GetU32(payload.data()), number = GetU32(payload.data() + 4);
  if (number == 0 || number > kMaxPreset) return kResultBadPreset;
  std::lock_guard lock(m_mutex);
  switch (action) {
    case 1:
      m_presets[number] = m_ptz;
      return kResultOk;
    case 2: {
      auto it = m_presets.find(number);
      if (it == m_presets.end()) return kResultBadPreset;
      m_ptz = it->second;
      return kResultOk;
    }
    case 3:
      m_presets.erase(number);
      return kResultOk;
    default:
      return kResultUnsupported;
  }
}

std::optional<std::vector<uint8_t>> DeviceState::PtzRead(uint16_t code) const {
  std::lock_guard lock(m_mutex);
  std::vector<uint8_t> out;
  auto put = [&out](uint32_t v) {
    const size_t at = out.size();
    out.resize(at + 4);
    PutU32(out.data() + at, v);
  };
  switch (code) {
    case kPtzPositionCode:
      put(m_ptz.pan);
      put(m_ptz.tilt);
      put(m_ptz.zoom);
      return out;
    case kPtzPresetTableCode:
      put(static_cast<uint32_t>(m_presets.size()));
      for (auto& [n, p] : m_presets) {
        put(n);
        put(p.pan);
        put(p.tilt);
        put(p.zoom);
      }
      return out;
    case kPtzLimitsCode:
      put(0);
      put(kPanRange - 1);
      put(0);
      put(kTiltMax);
      put(kZoomMin);
      put(kZoomMax);
      return out;
    default:
      return std::nullopt;
  }
}

void DeviceState::SetAssembledImage(std::vector<uint8_t> image) {
  std::lock_guard lock(m_mutex);
  m_assembled = std::move(image);
  m_pendingInstall = true;
}

std::vector<uint8_t> DeviceState::AssembledImage() const {
  std::lock_guard lock(m_mutex);
  return m_assembled;
}

uint32_t DeviceState::InstallFirmware() {
  std::lock_guard lock(m_mutex);
  if (!m_pendingInstall) return kResultNoFirmware;
  m_pendingInstall = false;
  m_imageSize = static_cast<uint32_t>(m_assembled.size());
  m_imageCrc = Crc32(m_assembled);
  ++m_updates;
  m_version = "1.0." + std::to_string(m_updates);
  RebuildDeviceInfoLocked();
  return kResultOk;
}

void DeviceState::SetCommandPort(uint16_t port) {
  std::lock_guard lock(m_mutex);
  m_commandPort = port;
  RebuildDeviceInfoLocked();
}

void DeviceState::RebuildDeviceInfoLocked() {
  std::vector<uint8_t> info(kDeviceInfoSize, 0);
  PutText(info.data() + kDeviceInfoModelOffset, "QNV-SIM-100");
  PutText(info.data() + kDeviceInfoVersionOffset, m_version);
  PutU32(info.data() + kDeviceInfoImageSizeOffset, m_imageSize);
  PutU32(info.data() + kDeviceInfoImageCrcOffset, m_imageCrc);
  PutU32(info.data() + kDeviceInfoUpdateCountOffset, m_updates);
  PutText(info.data() + kDeviceInfoSerialOffset, "SIM00000001");
  PutU32(info.data() + kDeviceInfoCommandPortOffset, m_commandPort);
  PutU32(info.data() + kDeviceInfoStreamPortOffset, static_cast<uint32_t>(m_commandPort) + 2);
  m_items[Key(kClassSystem, kDeviceInfoCode)] = std::move(info);
}

uint32_t DeviceState::Crc32(std::span<const uint8_t> data) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : data) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace qnv::devsim

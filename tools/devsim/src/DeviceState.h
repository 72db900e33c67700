// What the simulated device remembers across connections: configuration items, algorithm
// parameters, the rule block and its switch, the PTZ head, and firmware images.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qnv::devsim {

// Thread-safe: the network thread serves requests, tests read and write items from any
// thread.
class DeviceState {
 public:
  DeviceState();
  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;

  // Stored items. Class 2 configuration, class 4 code 1 (rule block) and class 7 algorithm
  // parameters: Get answers a get code, Set takes a set code (stored under its get code).
  // Nothing / kResultUnsupported for codes outside the tables.
  std::optional<std::vector<uint8_t>> Get(uint16_t cls, uint16_t getCode) const;
  uint32_t Set(uint16_t cls, uint16_t setCode, std::span<const uint8_t> data);
  // True when (cls, code) is a get or a set code of the item tables.
  static bool IsGetCode(uint16_t cls, uint16_t code);
  static bool IsSetCode(uint16_t cls, uint16_t code);

  std::vector<uint8_t> ConfigItem(uint16_t getCode) const;
  void SetConfigItem(uint16_t getCode, std::vector<uint8_t> data);

  void SetRulesEnabled(bool on);
  bool RulesEnabled() const;

  uint32_t PtzControl(std::span<const uint8_t> payload);
  uint32_t PtzPreset(std::span<const uint8_t> payload);
  std::optional<std::vector<uint8_t>> PtzRead(uint16_t code) const;

  // The image assembled by the last complete upload; waits there for the start command.
  void SetAssembledImage(std::vector<uint8_t> image);
  std::vector<uint8_t> AssembledImage() const;
  // Installs the waiting image (updating the information block); kResultNoFirmware when
  // no upload completed since the last install.
  uint32_t InstallFirmware();

  // The port shown in the information block (known once the device is bound).
  void SetCommandPort(uint16_t port);

  static uint32_t Crc32(std::span<const uint8_t> data);

 private:
  struct PtzPosition {
    uint32_t pan = 0, tilt = 0, zoom = 10;
  };
  void RebuildDeviceInfoLocked();

  mutable std::mutex m_mutex;
  uint16_t m_commandPort = 0;
  std::map<uint32_t, std::vector<uint8_t>> m_items;  // key: class << 16 | get code
  bool m_rulesEnabled = false;
  PtzPosition m_ptz;
  std::map<uint32_t, PtzPosition> m_presets;
  std::vector<uint8_t> m_assembled;
  bool m_pendingInstall = false;
  std::string m_version = "1.0.0";
  uint32_t m_imageSize = 0, m_imageCrc = 0, m_updates = 0;
};

}  // namespace qnv::devsim

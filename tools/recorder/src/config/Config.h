// Config: the recorder's TOML configuration, read and checked in one go.
// Passwords are resolved while loading (from the environment or from a file
// only its owner may read), so a configuration that loads is complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qnvrecorder {

struct SStorageConfig {
  bool enabled = false;  // false: no [storage] section, the recorder only re-streams
  std::string root;      // ROOT/CAMERA/YYYY-MM-DD/HHMMSS.qnv
  int segmentSeconds = 600;
  double keepDays = 0;     // 0: no age limit
  double keepGb = 0;       // all cameras together; 0: no size limit
  bool mp4 = false;        // an MP4 beside each closed segment
  double minFreeMb = 256;  // below this much free space the disk counts as full

  bool operator==(const SStorageConfig&) const = default;
};

enum class CameraMode { kContinuous, kEvents };

struct SCameraConfig {
  std::string name;
  std::string host;
  uint16_t port = 9000;
  std::string user = "admin";
  std::string passwordEnv, passwordFile;
  std::string password;  // resolved from one of the two above
  CameraMode mode = CameraMode::kContinuous;
  double preSeconds = 0, postSeconds = 0;
  double keepDays = -1;  // per camera; -1: the storage value
  double keepGb = 0;     // per camera; 0: no per-camera size limit

  bool operator==(const SCameraConfig&) const = default;
};

struct SRtspConfig {
  bool enabled = false;  // true when the [rtsp] section exists
  uint16_t port = 8554;  // 0: any free port (logged)
  std::string user, passwordEnv;
  std::string password;  // resolved

  bool operator==(const SRtspConfig&) const = default;
};

struct SConfig {
  SStorageConfig storage;
  SRtspConfig rtsp;
  std::vector<SCameraConfig> cameras;
};

// Reads and checks the file. False with a message naming the file, the key
// and what is wrong.
bool LoadConfig(const std::string& path, SConfig& config, std::string& error);

// Reads a password file: it must be a regular file owned by this user that
// no one else may read or write. The first line is the password.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

// The most cameras one process serves (the library's channel limit).
inline constexpr size_t kMaxCameras = 64;
// The library sends at most this many bytes of a user name or password.
inline constexpr size_t kMaxCredential = 16;

}  // namespace qnvrecorder

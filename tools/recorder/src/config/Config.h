// Config: the recorder's TOML configuration, read and checked in one go.
// Passwords are resolved while loading (from the environment or from a file
// only its owner may read), so a configuration that loads is complete. The
// text is held to ConfigText's limits before the parser sees it, and every
// refusal is one line that quotes at most a short, escaped piece of the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qnvrecorder {

struct SStorageConfig {
  bool enabled = false;  // false: no [storage] section, the recorder only re-streams
  std::string root;      // ROOT/CAMERA/YYYY-MM-DD/HHMMSS.qnv; default $STATE_DIRECTORY
  std::string instance;  // its own files: ROOT/.qnv-recorder/INSTANCE/
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
  // A stream that delivers no frame this long is reported stalled by the
  // library and the camera reconnects.
  double stallSeconds = 10;
  // With [mqtt]: a snapshot at its alarms (the channel then keeps at least
  // snapshotHoldSeconds of pre-record, so a capture never waits).
  bool snapshots = false;
  double snapshotHoldSeconds = 0;

  bool operator==(const SCameraConfig&) const = default;
};

struct SRtspConfig {
  bool enabled = false;  // true when the [rtsp] section exists
  uint16_t port = 8554;  // 0: any free port (logged)
  std::string user, passwordEnv;
  std::string password;  // resolved

  bool operator==(const SRtspConfig&) const = default;
};

// A person who may use the web page: a name and a crypt(3) hash of the
// password (qnv-recorder --hash-password makes one).
struct SWebUser {
  std::string name;
  std::string passwordHash;

  bool operator==(const SWebUser&) const = default;
};

struct SWebConfig {
  bool enabled = false;               // true when the [web] section exists
  std::string address = "127.0.0.1";  // an IPv4 or IPv6 literal
  uint16_t port = 8080;               // 0: any free port (logged)
  std::string tlsCert, tlsKey;        // PEM files; both or neither
  std::vector<SWebUser> users;        // none: loopback only, no login
  double sessionHours = 12;           // a login lasts this long

  bool operator==(const SWebConfig&) const = default;
};

// The recordings catalogue the recorder keeps (needs [storage]).
struct SCatalogueConfig {
  bool enabled = false;  // true when the [catalogue] section exists
  std::string url;       // postgresql://...; empty: SQLite in ROOT/.qnv-recorder/catalogue.sqlite
  std::string passwordEnv, passwordFile;
  std::string password;     // resolved
  std::string recorder;     // names its rows; default HOSTNAME/INSTANCE
  int queueMb = 256;        // the on-disk queue while the database is away
  double historyDays = 90;  // deleted rows and journal days kept this long; 0: for good

  bool operator==(const SCatalogueConfig&) const = default;
};

struct SMqttConfig {
  bool enabled = false;  // true when the [mqtt] section exists
  std::string host = "127.0.0.1";
  uint16_t port = 1883;  // 8883 by default with TLS
  std::string clientId;  // default: qnv-recorder-HOSTNAME-PREFIX
  std::string user, passwordEnv, passwordFile;
  std::string password;                   // resolved
  std::string caFile, certFile, keyFile;  // TLS when caFile is given
  std::string prefix = "qnv";
  std::string discoveryPrefix = "homeassistant";  // "" switches discovery off
  int keepAliveSeconds = 30;
  bool snapshots = true;
  double snapshotSeconds = 10;     // at most one snapshot per camera this often
  double snapshotHoldSeconds = 4;  // pre-record kept for snapshots: one group of pictures or more
  double offSeconds = 10;          // a rule's binary sensor turns off this long after its alarm
  // Commands in (PREFIX/CAMERA/ptz/set, PREFIX/CAMERA/record/set): off unless asked for.
  bool commands = false;
  uint32_t ptzMoveCommand = 7;   // the device's PTZ command for an absolute pan, tilt, zoom
  uint32_t ptzRecallAction = 2;  // the device's preset action that goes to a preset

  bool operator==(const SMqttConfig&) const = default;
};

struct SConfig {
  SStorageConfig storage;
  SRtspConfig rtsp;
  SWebConfig web;
  SCatalogueConfig catalogue;
  SMqttConfig mqtt;
  std::vector<SCameraConfig> cameras;
};

// What the loading is for.
struct SLoadContext {
  // A running recorder re-reads its file (SIGHUP): its environment is the one
  // it started with, which a refusal of a new password_env has to say.
  bool reload = false;
};

// Reads and checks the file. False with a message naming the file, the key
// and what is wrong.
bool LoadConfig(const std::string& path, SConfig& config, std::string& error,
                const SLoadContext& context = {});

// A camera name: 1 to 64 of A-Z a-z 0-9 _ - (a folder name, an RTSP path and
// an identifier elsewhere, and never one of the recorder's own names, which
// begin with a dot).
bool ValidCameraName(std::string_view name);

// The instance name a configuration file gives when [storage] names none:
// the file's name without its extension, characters outside A-Z a-z 0-9 _ -
// made '_' ("recorder" for /etc/qnv-recorder/recorder.toml).
std::string DefaultInstance(const std::string& configPath);

// Reads a password file: it must be a regular file owned by this user that
// no one else may read or write. The first line is the password.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

// The most cameras one process serves (the library's channel limit).
inline constexpr size_t kMaxCameras = 64;
// The library sends at most this many bytes of a user name or password.
inline constexpr size_t kMaxCredential = 16;
inline constexpr size_t kMaxCameraName = 64;
inline constexpr size_t kMaxWebUsers = 64;
// The longest string value of any key (a path, a URL): longer ones are refused
// before anything else is checked of them.
inline constexpr size_t kMaxConfigString = 4096;
// The longest password hash taken (this system's hashes are far shorter).
inline constexpr size_t kMaxPasswordHash = 512;

// Whether an address literal is a loopback one (127.0.0.0/8, ::1).
bool LoopbackAddress(const std::string& address);
inline constexpr size_t kMaxRecorderName = 128;
// A database password may be longer than a device's.
inline constexpr size_t kMaxDatabasePassword = 1024;

// The name a catalogue's rows carry when [catalogue] gives none: this host's
// name and the instance, "HOST/INSTANCE".
std::string DefaultRecorderName(const std::string& instance);
inline constexpr size_t kMaxTopicPrefix = 64;
inline constexpr size_t kMaxMqttPassword = 256;

}  // namespace qnvrecorder

// StatusFile: the status a running recorder keeps in its own folder
// (ROOT/.qnv-recorder/INSTANCE/status.json, rewritten every 2 s and at every
// camera state change) and what qnv-recorder --status makes of it. The file
// is one JSON document: the header fields on its first line, then one line
// per camera:
//   {"pid": 1234, "instance": "recorder", "written": 1700000000, "disk_full": false,
//    "disk_free_bytes": 123, "mp4_skipped": 0, "mqtt": "connected", "mqtt_dropped": 0,
//    "process": {"fds": 41, "threads": 23, "rss_kib": 48200, "web_connections": 3,
//                "rtsp_clients": 1, "mqtt_queue": 0},
//    "cameras": [
//     {"name": "gate", "state": "down", "since": 1700000000, "reason": "bad_credentials",
//      "last_error": "wrong user name or password at ...", "last_frame_ms": 0,
//      "bytes_today": 0, "reconnects": 0, "failed_attempts": 3, "pictures": 0,
//      "key_pictures": 0, "segment": ""}
//   ]}
// "mqtt" is "connected", "disconnected" or "" (no [mqtt]); "mqtt_dropped" the
// messages dropped while the broker was away since the start. "process" is
// what the recorder holds now (see SProcessStatus).
// "state" is connecting, connected, recording, disk full, down or stopped;
// "since" when it began (while down: when the outage began, kept through
// reason changes and through reconnects that held less than 30 s); "reason"
// why a camera is down (see CameraFault.h) and "" otherwise; "last_error" the
// latest failure since the start; "reconnects" successful reconnects since
// the start; "failed_attempts" failed connection attempts in this outage (0
// while not down); "pictures" and "key_pictures" received since the start
// (QNVNetFrameNal).
// Plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cameras/CCamera.h"
#include "nlohmann/json.hpp"

namespace qnvrecorder {

// What the recorder holds now, and the bounds past which it warns (a leak
// shows here long before the service fails).
struct SProcessStatus {
  uint64_t fds = 0;
  uint64_t threads = 0;
  uint64_t rssKiB = 0;
  uint64_t webConnections = 0;
  uint64_t rtspClients = 0;
  uint64_t mqttQueue = 0;
};

// Past these the recorder warns (rate-limited): a leak shows here long
// before the service fails. Made from the configuration by ProcessBoundsFor.
struct SProcessBounds {
  uint64_t fds = 0;             // 3/4 of the descriptor limit (RLIMIT_NOFILE)
  uint64_t threads = 0;         // 200 + 4 per camera
  uint64_t rssKiB = 0;          // 256 MiB + 8 MiB per camera
  uint64_t webConnections = 0;  // 9/10 of the web page's connection cap
  uint64_t rtspClients = 0;     // 9/10 of the RTSP connection cap
  uint64_t mqttQueue = 0;       // half the MQTT outbox
};

SProcessBounds ProcessBoundsFor(size_t cameras, uint64_t descriptorLimit, uint64_t webConnectionCap,
                                uint64_t rtspConnectionCap, uint64_t mqttOutboxCap);
// One text per figure past its bound ("threads 900 > 456"), none when all
// are within.
std::vector<std::string> OverBounds(const SProcessStatus& process, const SProcessBounds& bounds);

struct SStatusHeader {
  long pid = 0;
  std::string instance;
  int64_t writtenUnix = 0;
  bool diskFull = false;
  uint64_t diskFreeBytes = 0;
  uint64_t mp4Skipped = 0;
  std::string mqtt;  // "connected", "disconnected", "" without [mqtt]
  uint64_t mqttDropped = 0;
  SProcessStatus process;
};

// One camera's status as the file, the web API and MQTT show it.
nlohmann::ordered_json CameraStatusJson(const SCameraStatus& status);
nlohmann::ordered_json ProcessStatusJson(const SProcessStatus& process);

std::string StatusJson(const SStatusHeader& header, const std::vector<SCameraStatus>& cameras);

// Prints a status file for people; false when it cannot be read.
// running: whether the instance runs now (its lock is held).
bool PrintStatusFile(const std::string& path, bool running, std::string& error);

}  // namespace qnvrecorder

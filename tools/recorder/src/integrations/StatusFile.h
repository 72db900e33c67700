// StatusFile: the status a running recorder keeps in its own folder
// (ROOT/.qnv-recorder/INSTANCE/status.json, rewritten every 2 s) and what
// qnv-recorder --status makes of it. The file is one header line, then one
// line per camera:
//   {"pid": 1234, "instance": "recorder", "written": 1700000000, "disk_full": false,
//    "disk_free_bytes": 123, "mp4_skipped": 0, "mqtt": "connected", "mqtt_dropped": 0,
//    "cameras": [
//     {"name": "gate", "state": "down", "since": 1700000000, "reason": "bad_credentials",
//      "last_error": "wrong user name or password at ...", "last_frame_ms": 0,
//      "bytes_today": 0, "reconnects": 0, "pictures": 0, "key_pictures": 0, "segment": ""}
//   ]}
// "mqtt" is "connected", "disconnected" or "" (no [mqtt]); "mqtt_dropped" the
// messages dropped while the broker was away since the start.
// "state" is connecting, connected, recording, disk full, down or stopped;
// "since" when it began; "reason" why a camera is down (see CameraFault.h)
// and "" otherwise; "last_error" the latest failure since the start;
// "pictures" and "key_pictures" received since the start (QNVNetFrameNal).
// Plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cameras/CCamera.h"

namespace qnvrecorder {

struct SStatusHeader {
  long pid = 0;
  std::string instance;
  int64_t writtenUnix = 0;
  bool diskFull = false;
  uint64_t diskFreeBytes = 0;
  uint64_t mp4Skipped = 0;
  std::string mqtt;  // "connected", "disconnected", "" without [mqtt]
  uint64_t mqttDropped = 0;
};

std::string StatusJson(const SStatusHeader& header, const std::vector<SCameraStatus>& cameras);

// Prints a status file for people; false when it cannot be read.
// running: whether the instance runs now (its lock is held).
bool PrintStatusFile(const std::string& path, bool running, std::string& error);

}  // namespace qnvrecorder

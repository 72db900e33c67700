// MqttPayloads: the topics the recorder publishes under its prefix and the
// JSON of each message, defined once here (the README lists them with an
// example each). Times are UTC, ISO 8601 with milliseconds. Plain functions;
// any thread.
//
//   PREFIX/available            "online" / "offline" (retained; "offline" is the will)
//   PREFIX/CAMERA/state         {"state": "up"|"down", "reason", "since"} (retained)
//   PREFIX/CAMERA/event         one per device rule alarm
//   PREFIX/CAMERA/snapshot      a JPEG of the picture at an alarm (retained)
//   PREFIX/CAMERA/segment       one per closed segment
//   PREFIX/CAMERA/rule/RULE     "ON" at an alarm of the rule, "OFF" off_seconds after
//                               the last one (retained; the binary sensors' state)
//   DISCOVERY/binary_sensor|camera|sensor/NODE/OBJECT/config   discovery (retained)
//
// and, with commands = true, takes
//
//   PREFIX/CAMERA/ptz/set       {"pan": N, "tilt": N, "zoom": N} or {"preset": N}
//   PREFIX/CAMERA/record/set    {"seconds": N}: an event clip
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QNVNetAlarm.h"
#include "cameras/CCamera.h"
#include "storage/CStorageRoot.h"

namespace qnvrecorder {

// "2026-12-09T07:39:22.123Z".
std::string IsoTimeMs(int64_t unixMs);

struct SPictureSize {
  int width = 0, height = 0;
};

// A device's box (pixels of its picture) as fractions of the picture, for
// drawing it on any size: cut to the picture, so each value lies in 0..1.
// clamped says the box reached outside the picture (a device whose boxes do
// not fit the stream it sends). picture must have a width and height.
struct SRelativeBox {
  double x = 0, y = 0, width = 0, height = 0;
  bool clamped = false;
};
SRelativeBox RelativeBox(const uint32_t (&box)[4], SPictureSize picture);

// What an event message says about one alarm.
struct SEventNote {
  std::string camera;
  qnvnet_alarm alarm{};
  int64_t arrivedUnixMs = 0;
  std::optional<SPictureSize> picture;  // the stream's picture (its SPS), once known
  std::optional<int64_t> eventId;       // the catalogue's event id, when it has one
  std::string clip;                     // the recording holding the alarm ("" none)
};

// A camera's state for the state topic: up or down, why, since when.
struct SUpDown {
  bool up = false;
  std::string reason;  // FaultCode when down ("stopped" for a camera stopped), "" when up
  int64_t sinceUnixMs = 0;
  bool operator==(const SUpDown&) const = default;
};
SUpDown UpDownOf(const SCameraStatus& status);

class CTopics {
 public:
  CTopics(std::string prefix, std::string discoveryPrefix);
  const std::string& Prefix() const { return m_prefix; }
  std::string Available() const { return m_prefix + "/available"; }
  std::string State(const std::string& camera) const { return Camera(camera) + "/state"; }
  std::string Event(const std::string& camera) const { return Camera(camera) + "/event"; }
  std::string Snapshot(const std::string& camera) const { return Camera(camera) + "/snapshot"; }
  std::string Segment(const std::string& camera) const { return Camera(camera) + "/segment"; }
  std::string Rule(const std::string& camera, uint32_t rule) const;
  // The command topics' filters, and the camera and command a topic names
  // ("" when it is none of them).
  std::string PtzCommands() const { return m_prefix + "/+/ptz/set"; }
  std::string RecordCommands() const { return m_prefix + "/+/record/set"; }
  bool ParseCommandTopic(const std::string& topic, std::string& camera, std::string& command) const;
  bool Discovery() const { return !m_discovery.empty(); }
  // The discovery config topics of a camera's entities.
  std::string CameraConfig(const std::string& camera) const;
  std::string StateConfig(const std::string& camera) const;
  std::string RuleConfig(const std::string& camera, uint32_t rule) const;

 private:
  std::string Camera(const std::string& camera) const { return m_prefix + "/" + camera; }
  std::string Node(const std::string& camera) const;
  std::string m_prefix, m_discovery;
};

std::string StateJson(const SUpDown& state);
std::string EventJson(const SEventNote& event);
// A closed segment: its data file, index, first and last time, bytes.
std::string SegmentJson(const SSegment& segment, int64_t startUnixMs, int64_t endUnixMs,
                        uint64_t bytes);

// Discovery payloads (each names its state topic, the availability topic,
// a unique id and the device it belongs to: one device per camera).
std::string CameraConfigJson(const CTopics& topics, const std::string& camera);
std::string StateConfigJson(const CTopics& topics, const std::string& camera);
// The rule's binary sensor also turns itself off offSeconds after an alarm
// (off_delay), should the recorder's own "OFF" not come.
std::string RuleConfigJson(const CTopics& topics, const std::string& camera, uint32_t rule,
                           double offSeconds);

// A command that came in, checked: anything but exactly the documented keys
// with whole numbers in range is refused (error says why).
struct SCameraCommand {
  enum class EKind { kPtzMove, kPtzPreset, kRecord } kind = EKind::kPtzMove;
  uint32_t pan = 0, tilt = 0, zoom = 0, preset = 0;
  uint32_t seconds = 0;
};
inline constexpr size_t kMaxCommandBytes = 256;
inline constexpr uint32_t kMaxRecordSeconds = 3600;
std::optional<SCameraCommand> ParseCommand(const std::string& command, const std::string& payload,
                                           std::string& error);

// A JPEG's picture size from its frame header; nullopt when it has none.
std::optional<SPictureSize> JpegSize(const std::vector<uint8_t>& jpeg);

}  // namespace qnvrecorder

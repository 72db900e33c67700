#include "integrations/mqtt/MqttPayloads.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cameras/CameraFault.h"
#include "qnvrecording/TimeText.h"

namespace qnvrecorder {
namespace {

using Json = nlohmann::ordered_json;

// Texts from outside (a fault's words, a path) need not be UTF-8: such bytes
// become U+FFFD rather than breaking the message.
std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Device(const std::string& node, const std::string& camera) {
  return {{"identifiers", Json::array({node})}, {"name", camera}, {"model", "qnv-recorder camera"}};
}

// What every discovery payload carries: its id, its device and availability.
Json Entity(const CTopics& topics, const std::string& node, const std::string& camera,
            const std::string& object, const std::string& name) {
  return {{"name", name},
          {"unique_id", node + "_" + object},
          {"availability_topic", topics.Available()},
          {"payload_available", "online"},
          {"payload_not_available", "offline"},
          {"device", Device(node, camera)}};
}

std::string NodeOf(const std::string& prefix, const std::string& camera) {
  std::string node = prefix + "_" + camera;
  for (char& c : node) {
    if (c == '/') c = '_';
  }
  return node;
}

}  // namespace

std::string IsoTimeMs(int64_t unixMs) { return qnvrec::UtcTextMs(unixMs * 1000); }

SUpDown UpDownOf(const SCameraStatus& status) {
  SUpDown s;
  s.up = status.state != "down" && status.state != "stopped";
  if (!s.up) s.reason = status.state == "stopped" ? "stopped" : FaultCode(status.fault.kind);
  s.sinceUnixMs = status.sinceUnix * 1000;
  return s;
}

CTopics::CTopics(std::string prefix, std::string discoveryPrefix)
    : m_prefix(std::move(prefix)), m_discovery(std::move(discoveryPrefix)) {}

std::string CTopics::Rule(const std::string& camera, uint32_t rule) const {
  return Camera(camera) + "/rule/" + std::to_string(rule);
}

std::string CTopics::Node(const std::string& camera) const { return NodeOf(m_prefix, camera); }

std::string CTopics::CameraConfig(const std::string& camera) const {
  return m_discovery + "/camera/" + Node(camera) + "/snapshot/config";
}

std::string CTopics::StateConfig(const std::string& camera) const {
  return m_discovery + "/sensor/" + Node(camera) + "/state/config";
}

std::string CTopics::RuleConfig(const std::string& camera, uint32_t rule) const {
  return m_discovery + "/binary_sensor/" + Node(camera) + "/rule_" + std::to_string(rule) +
         "/config";
}

bool CTopics::ParseCommandTopic(const std::string& topic, std::string& camera,
                                std::string& command) const {
  if (topic.size() <= m_prefix.size() + 1 || topic.compare(0, m_prefix.size(), m_prefix) != 0 ||
      topic[m_prefix.size()] != '/') {
    return false;
  }
  const std::string rest = topic.substr(m_prefix.size() + 1);
  for (const char* kind : {"ptz", "record"}) {
    const std::string tail = std::string("/") + kind + "/set";
    if (rest.size() > tail.size() &&
        rest.compare(rest.size() - tail.size(), tail.size(), tail) == 0) {
      camera = rest.substr(0, rest.size() - tail.size());
      command = kind;
      return camera.find('/') == std::string::npos;
    }
  }
  return false;
}

std::optional<SCameraCommand> ParseCommand(const std::string& command, const std::string& payload,
                                           std::string& error) {
  if (payload.size() > kMaxCommandBytes) {
    error = "longer than " + std::to_string(kMaxCommandBytes) + " bytes";
    return std::nullopt;
  }
  // The JSON reader takes a NUL for the end of its input: what followed one
  // would go unread, so a payload with one is refused whole.
  if (payload.find('\0') != std::string::npos) {
    error = "not a JSON object (it holds a NUL byte)";
    return std::nullopt;
  }
  const Json j = Json::parse(payload, nullptr, false);
  if (!j.is_object()) {
    error = "not a JSON object";
    return std::nullopt;
  }
  auto whole = [&](const char* key, uint32_t max, uint32_t& out) {
    const Json& v = j[key];
    if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > int64_t(max)) {
      error = std::string("'") + key + "' must be a whole number from 0 to " + std::to_string(max);
      return false;
    }
    out = static_cast<uint32_t>(v.get<int64_t>());
    return true;
  };
  auto keys = [&](std::initializer_list<const char*> wanted) {
    if (j.size() != wanted.size()) return false;
    for (const char* k : wanted) {
      if (!j.contains(k)) return false;
    }
    return true;
  };
  SCameraCommand c;
  if (command == "ptz" && keys({"preset"})) {
    c.kind = SCameraCommand::EKind::kPtzPreset;
    if (!whole("preset", 65535, c.preset)) return std::nullopt;
    return c;
  }
  if (command == "ptz" && keys({"pan", "tilt", "zoom"})) {
    c.kind = SCameraCommand::EKind::kPtzMove;
    if (!whole("pan", UINT32_MAX, c.pan) || !whole("tilt", UINT32_MAX, c.tilt) ||
        !whole("zoom", UINT32_MAX, c.zoom)) {
      return std::nullopt;
    }
    return c;
  }
  if (command == "record" && keys({"seconds"})) {
    c.kind = SCameraCommand::EKind::kRecord;
    if (!whole("seconds", kMaxRecordSeconds, c.seconds)) return std::nullopt;
    if (c.seconds == 0) {
      error = "'seconds' must be at least 1";
      return std::nullopt;
    }
    return c;
  }
  error = command == "ptz" ? "expected {\"pan\": N, \"tilt\": N, \"zoom\": N} or {\"preset\": N}"
                           : "expected {\"seconds\": N}";
  return std::nullopt;
}

SRelativeBox RelativeBox(const uint32_t (&box)[4], SPictureSize picture) {
  const double w = picture.width, h = picture.height;
  // In 64 bits: a box's x + width may pass 2^32.
  const uint64_t x = box[0], y = box[1], right = x + box[2], bottom = y + box[3];
  SRelativeBox r;
  r.clamped = right > uint64_t(picture.width) || bottom > uint64_t(picture.height);
  const uint64_t left = std::min<uint64_t>(x, picture.width),
                 top = std::min<uint64_t>(y, picture.height);
  r.x = left / w;
  r.y = top / h;
  r.width = (std::min<uint64_t>(right, picture.width) - left) / w;
  r.height = (std::min<uint64_t>(bottom, picture.height) - top) / h;
  return r;
}

std::string StateJson(const SUpDown& state) {
  Json j = {{"state", state.up ? "up" : "down"}};
  j["reason"] = state.up ? Json(nullptr) : Json(state.reason);
  j["since"] = IsoTimeMs(state.sinceUnixMs);
  return Dump(j);
}

std::string EventJson(const SEventNote& e) {
  const qnvnet_alarm& a = e.alarm;
  Json j = {{"time", IsoTimeMs(e.arrivedUnixMs)},
            {"capture_time", IsoTimeMs(static_cast<int64_t>(a.capture_us / 1000))},
            {"camera", e.camera},
            {"rule", a.rule},
            {"channel", a.channel},
            {"sequence", a.sequence},
            {"box", {{"x", a.box[0]}, {"y", a.box[1]}, {"width", a.box[2]}, {"height", a.box[3]}}}};
  if (e.picture && e.picture->width > 0 && e.picture->height > 0) {
    j["picture"] = {{"width", e.picture->width}, {"height", e.picture->height}};
    const SRelativeBox r = RelativeBox(a.box, *e.picture);
    j["box_relative"] = {{"x", r.x}, {"y", r.y}, {"width", r.width}, {"height", r.height}};
  } else {
    j["picture"] = nullptr;
  }
  if (e.eventId) j["event_id"] = *e.eventId;
  j["clip"] = e.clip.empty() ? Json(nullptr) : Json(e.clip);
  return Dump(j);
}

std::string SegmentJson(const SSegment& s, int64_t startUnixMs, int64_t endUnixMs, uint64_t bytes) {
  return Dump({{"camera", s.camera},
               {"path", s.stemPath + kSegmentExtension},
               {"index", s.stemPath + kIndexExtension},
               {"start", IsoTimeMs(startUnixMs)},
               {"end", IsoTimeMs(endUnixMs)},
               {"bytes", bytes}});
}

std::string CameraConfigJson(const CTopics& topics, const std::string& camera) {
  const std::string node = NodeOf(topics.Prefix(), camera);
  Json j = Entity(topics, node, camera, "snapshot", "Snapshot");
  j["topic"] = topics.Snapshot(camera);
  return Dump(j);
}

std::string StateConfigJson(const CTopics& topics, const std::string& camera) {
  const std::string node = NodeOf(topics.Prefix(), camera);
  Json j = Entity(topics, node, camera, "state", "State");
  j["state_topic"] = topics.State(camera);
  j["value_template"] = "{{ value_json.state }}";
  j["json_attributes_topic"] = topics.State(camera);
  j["icon"] = "mdi:cctv";
  return Dump(j);
}

std::string RuleConfigJson(const CTopics& topics, const std::string& camera, uint32_t rule,
                           double offSeconds) {
  const std::string node = NodeOf(topics.Prefix(), camera);
  const std::string object = "rule_" + std::to_string(rule);
  Json j = Entity(topics, node, camera, object, "Rule " + std::to_string(rule));
  j["state_topic"] = topics.Rule(camera, rule);
  j["payload_on"] = "ON";
  j["payload_off"] = "OFF";
  j["device_class"] = "motion";
  j["off_delay"] = static_cast<int>(offSeconds + 0.999);
  return Dump(j);
}

std::optional<SPictureSize> JpegSize(const std::vector<uint8_t>& jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
  size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    if (jpeg[at] != 0xFF) return std::nullopt;
    const uint8_t marker = jpeg[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (length < 2) return std::nullopt;
    // Start of frame: every SOFn but the DHT (C4), JPG (C8) and DAC (CC) markers.
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (at + 9 > jpeg.size() || length < 7) return std::nullopt;
      SPictureSize size;
      size.height = jpeg[at + 5] << 8 | jpeg[at + 6];
      size.width = jpeg[at + 7] << 8 | jpeg[at + 8];
      if (size.width == 0 || size.height == 0) return std::nullopt;
      return size;
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // scan before any frame header
    at += 2 + length;
  }
  return std::nullopt;
}

}  // namespace qnvrecorder

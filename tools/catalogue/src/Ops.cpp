#include "qnvcatalogue/Ops.h"

#include <nlohmann/json.hpp>

namespace qnvcat {

using nlohmann::json;

SOp SOp::Segment(SSegmentRow row) {
  SOp op;
  op.kind = EKind::kSegments;
  op.segments.push_back(std::move(row));
  return op;
}
SOp SOp::Deleted(std::string recorder, std::string path) {
  SOp op;
  op.kind = EKind::kDeleted;
  op.recorder = std::move(recorder);
  op.path = std::move(path);
  return op;
}
SOp SOp::Forget(std::string recorder, std::string path) {
  SOp op = Deleted(std::move(recorder), std::move(path));
  op.kind = EKind::kForget;
  return op;
}
SOp SOp::Event(SEventRow event) {
  SOp op;
  op.kind = EKind::kEvent;
  op.event = std::move(event);
  return op;
}
SOp SOp::State(SStateRow state) {
  SOp op;
  op.kind = EKind::kState;
  op.state = std::move(state);
  return op;
}
SOp SOp::Purge(std::string recorder, int64_t beforeUs) {
  SOp op;
  op.kind = EKind::kPurge;
  op.recorder = std::move(recorder);
  op.beforeUs = beforeUs;
  return op;
}

namespace {

const char* KindName(SOp::EKind kind) {
  switch (kind) {
    case SOp::EKind::kSegments:
      return "segments";
    case SOp::EKind::kDeleted:
      return "deleted";
    case SOp::EKind::kForget:
      return "forget";
    case SOp::EKind::kEvent:
      return "event";
    case SOp::EKind::kState:
      return "state";
    case SOp::EKind::kPurge:
      break;
  }
  return "purge";
}

json SegmentJson(const SSegmentRow& s) {
  return json{{"recorder", s.recorder}, {"camera", s.camera}, {"path", s.path},
              {"firstUs", s.firstUs},   {"lastUs", s.lastUs}, {"clock", ClockName(s.clock)},
              {"frames", s.frames},     {"bytes", s.bytes},   {"state", StateName(s.state)}};
}

// Reads a member, refusing a missing one or one of another type.
template <typename T>
void Get(const json& j, const char* key, T& out) {
  j.at(key).get_to(out);
}

}  // namespace

std::string OpToJson(const SOp& op) {
  json j{{"op", KindName(op.kind)}};
  switch (op.kind) {
    case SOp::EKind::kSegments: {
      json rows = json::array();
      for (const SSegmentRow& s : op.segments) rows.push_back(SegmentJson(s));
      j["rows"] = std::move(rows);
      break;
    }
    case SOp::EKind::kDeleted:
    case SOp::EKind::kForget:
      j["recorder"] = op.recorder;
      j["path"] = op.path;
      break;
    case SOp::EKind::kEvent: {
      const SEventRow& e = op.event;
      j["id"] = e.id;
      j["recorder"] = e.recorder;
      j["camera"] = e.camera;
      j["timeUs"] = e.timeUs;
      j["rule"] = e.rule;
      j["channel"] = e.channel;
      j["box"] = json::array({e.box.x, e.box.y, e.box.width, e.box.height});
      j["sequence"] = e.sequence;
      j["clip"] = e.clip;
      j["segment"] = e.segment;
      break;
    }
    case SOp::EKind::kState:
      j["recorder"] = op.state.recorder;
      j["camera"] = op.state.camera;
      j["timeUs"] = op.state.timeUs;
      j["state"] = CameraStateName(op.state.state);
      j["reason"] = op.state.reason;
      break;
    case SOp::EKind::kPurge:
      j["recorder"] = op.recorder;
      j["beforeUs"] = op.beforeUs;
      break;
  }
  // Text that is not UTF-8 (a path's bytes) is written with U+FFFD in its
  // place rather than failing the whole line.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool OpFromJson(const std::string& line, SOp& op, std::string& error) {
  op = SOp{};
  try {
    const json j = json::parse(line);
    const std::string kind = j.at("op").get<std::string>();
    if (kind == "segments") {
      op.kind = SOp::EKind::kSegments;
      for (const json& r : j.at("rows")) {
        SSegmentRow s;
        Get(r, "recorder", s.recorder);
        Get(r, "camera", s.camera);
        Get(r, "path", s.path);
        Get(r, "firstUs", s.firstUs);
        Get(r, "lastUs", s.lastUs);
        Get(r, "frames", s.frames);
        Get(r, "bytes", s.bytes);
        if (!ParseClock(r.at("clock").get<std::string>(), s.clock) ||
            !ParseState(r.at("state").get<std::string>(), s.state)) {
          error = "unknown clock or state";
          return false;
        }
        op.segments.push_back(std::move(s));
      }
    } else if (kind == "deleted" || kind == "forget") {
      op.kind = kind == "deleted" ? SOp::EKind::kDeleted : SOp::EKind::kForget;
      Get(j, "recorder", op.recorder);
      Get(j, "path", op.path);
    } else if (kind == "event") {
      op.kind = SOp::EKind::kEvent;
      SEventRow& e = op.event;
      // Lines written before events had ids carry none.
      if (j.contains("id")) Get(j, "id", e.id);
      Get(j, "recorder", e.recorder);
      Get(j, "camera", e.camera);
      Get(j, "timeUs", e.timeUs);
      Get(j, "rule", e.rule);
      Get(j, "channel", e.channel);
      const json& box = j.at("box");
      if (!box.is_array() || box.size() != 4) {
        error = "box is not [x, y, width, height]";
        return false;
      }
      e.box = SBox{box[0].get<uint32_t>(), box[1].get<uint32_t>(), box[2].get<uint32_t>(),
                   box[3].get<uint32_t>()};
      Get(j, "sequence", e.sequence);
      Get(j, "clip", e.clip);
      Get(j, "segment", e.segment);
    } else if (kind == "state") {
      op.kind = SOp::EKind::kState;
      Get(j, "recorder", op.state.recorder);
      Get(j, "camera", op.state.camera);
      Get(j, "timeUs", op.state.timeUs);
      Get(j, "reason", op.state.reason);
      if (!ParseCameraState(j.at("state").get<std::string>(), op.state.state)) {
        error = "unknown camera state";
        return false;
      }
    } else if (kind == "purge") {
      op.kind = SOp::EKind::kPurge;
      Get(j, "recorder", op.recorder);
      Get(j, "beforeUs", op.beforeUs);
    } else {
      error = "unknown op \"" + kind + "\"";
      return false;
    }
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

}  // namespace qnvcat

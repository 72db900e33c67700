// IRecorderEvents: what happens in the recorder, for the parts that follow
// it from outside (the status file today; a catalogue, MQTT and a web page
// are meant to come in the same way). The service calls every registered
// one; each call says on which thread. An implementation must not block:
// whatever takes time (a database, a network) goes to a queue and a thread
// of its own. Calls about one segment come in order: opened, then closed
// (or deleted), then possibly Mp4Made and, much later, deleted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QNVNetAlarm.h"
#include "cameras/CCamera.h"
#include "qnvrecording/RecordingState.h"
#include "storage/CStorageRoot.h"

namespace qnvrecorder {

// A device's rule alarm as the recorder took it.
struct SAlarmEvent {
  std::string camera;
  qnvnet_alarm alarm{};
  int64_t arrivedUnixMs = 0;
  // The event's id in the catalogue, given the moment it arrived and before
  // any integration hears of it, unique among this recorder's events:
  // `qnv-export --catalogue ROOT_OR_URL --event ID` exports around it. 0 when
  // no [catalogue] is kept.
  int64_t eventId = 0;
  // The data file being written when it came ("" when none). For a camera
  // that records event clips (clip true) an empty one means the clip is
  // about to be opened, named by this alarm's arrival.
  std::string segment;
  bool clip = false;
};

// Gives events their ids, at once and without waiting for anything (the
// catalogue). Any thread.
class IEventIds {
 public:
  virtual ~IEventIds() = default;
  virtual int64_t NextEventId() = 0;
};

class IRecorderEvents {
 public:
  virtual ~IRecorderEvents() = default;

  // A segment's files were made and are written (camera thread). handover:
  // it continues the camera's previous segment without a frame missing.
  virtual void SegmentOpened(const SSegment& segment, bool handover) {}
  // A segment is complete and closed (camera thread).
  virtual void SegmentClosed(const SSegment& segment) {}
  // A segment left unclosed by an earlier run was repaired at start
  // (housekeeping thread); note as written beside it.
  virtual void SegmentRepaired(const SSegment& segment, const qnvrec::SRepairNote& note) {}
  // A segment's files were removed (housekeeping thread for retention and
  // repairs, camera thread for a segment that never got a frame). why:
  // "retention", "empty", "nothing left to repair".
  virtual void SegmentDeleted(const SSegment& segment, const char* why) {}
  // A segment's MP4 copy was put beside it (housekeeping thread).
  virtual void Mp4Made(const SSegment& segment) {}
  // A device's rule alarm with its id (the library's message thread).
  virtual void AlarmEvent(const SAlarmEvent& event) {}
  // A camera's state or the reason it is down changed (camera thread).
  virtual void CameraState(const SCameraStatus& status) {}
  // Every camera's status, every 2 s while storage is in use, with the
  // status file (housekeeping thread).
  virtual void StatusTick(const std::vector<SCameraStatus>& cameras) {}
};

}  // namespace qnvrecorder

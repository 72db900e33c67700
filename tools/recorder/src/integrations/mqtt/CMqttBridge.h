// CMqttBridge: the recorder's events on an MQTT broker (MqttPayloads.h lists
// the topics), with Home Assistant discovery, through libmosquitto.
//
// It owns three threads. The MQTT thread runs the connection (libmosquitto's
// calls on the socket, driven by poll: connect, reconnect with back-off from
// 1 s doubling to 30 s, keep-alive, TLS), turns the recorder's events into
// messages, publishes them and checks the commands that come in. The
// snapshot thread takes the alarms' captures (which may decode for a quarter
// of a second, stored by CSnapshotStore); the command thread runs the
// commands' PTZ calls (which wait for the device). Apart, so a flood of
// commands to a slow device never holds up an alarm's snapshot. The
// recorder's threads only hand their event over (a lock held for a copy, an
// eventfd write): a slow or absent broker never reaches recording.
//
// While the broker cannot be reached, messages wait in a queue of at most
// kOutboxMessages messages and kOutboxBytes bytes; beyond that the oldest
// event, segment or alarm message is dropped and counted. Retained topics
// (availability, states, rule sensors, snapshots, discovery) never queue:
// their latest value is held and sent again after every (re)connection, so
// a broker restarted without its store gets them all back.
//
// IRecorderEvents calls come from the recorder's threads (each says which);
// Configure and Stop from the control thread. The camera access must outlive
// it (the recorder owns both).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/Config.h"
#include "integrations/ICameraAccess.h"
#include "integrations/IRecorderEvents.h"
#include "integrations/mqtt/MqttPayloads.h"
#include "qnvlocks/Locks.h"
#include "qnvtools/UniqueFd.h"

struct mosquitto;
struct mosquitto_message;

namespace qnvrecorder {

using qnvtools::UniqueFd;

class CSnapshotStore;

inline constexpr size_t kOutboxMessages = 1000;
inline constexpr size_t kOutboxBytes = 16u << 20;

struct SMqttCounters {
  uint64_t published = 0;  // messages handed to the broker connection
  uint64_t dropped = 0;    // queued messages dropped while the broker was away
  uint64_t connects = 0;   // connections the broker accepted
  uint64_t snapshots = 0;  // snapshots taken and stored
  uint64_t snapshotFailures = 0;
  uint64_t queued = 0;     // messages waiting for the broker now
  bool running = false;    // [mqtt] is configured
  bool connected = false;  // the broker accepted the connection and it holds
};

class CMqttBridge : public IRecorderEvents {
 public:
  explicit CMqttBridge(ICameraAccess& cameras);
  ~CMqttBridge() override;  // Stop()
  CMqttBridge(const CMqttBridge&) = delete;
  CMqttBridge& operator=(const CMqttBridge&) = delete;

  // Applies a configuration (control thread; at start and at each reload):
  // starts the threads with [mqtt], restarts the connection when [mqtt]
  // changed, stops everything without it. Cameras that left the
  // configuration lose their discovery entries and retained topics.
  // storage: the snapshot store's root (null: snapshots are not kept).
  void Configure(const SConfig& config);
  // The storage root the snapshots are kept under (null: none kept). The
  // previous one is no longer touched once this returns (a capture under way
  // is waited for), so the recorder may close it then.
  void SetStorage(const CStorageRoot* storage);
  // Publishes "offline", disconnects cleanly and joins the threads.
  void Stop();
  SMqttCounters Counters() const;

  // IRecorderEvents
  void SegmentOpened(const SSegment& segment, bool handover) override;
  void SegmentClosed(const SSegment& segment) override;
  // With the catalogue's id, which the event message carries.
  void AlarmEvent(const SAlarmEvent& event) override;
  void CameraState(const SCameraStatus& status) override;

 private:
  struct SMessage {
    std::string topic;
    std::string payload;
  };
  struct SPendingEvent {
    SEventNote note;
    int64_t clipDeadlineMonoMs = 0;  // events-mode camera: wait this long for its clip
  };
  struct SCameraInfo {
    bool eventsMode = false, recording = false, snapshots = false;
    std::string openSegment;  // the newest segment being written ("" none)
    std::optional<SPictureSize> picture;
    bool pictureMissed = false;     // an event went without the picture's size
    bool boxOutsideLogged = false;  // told that the device's boxes do not fit the picture
    std::optional<SUpDown> state;
    std::map<uint32_t, int64_t> ruleOffMonoMs;  // rules on, and when they turn off
    std::set<uint32_t> rulesSeen;
    bool rulesCapped = false;  // told that more rules came than get sensors
    int64_t lastSnapshotMonoMs = 0;
  };
  struct SJob {
    std::string camera;
    int64_t alarmUnixMs = 0;                // a snapshot of this alarm...
    std::optional<SCameraCommand> command;  // ...or this command
  };
  struct SSegmentNote {
    SSegment segment;
    bool closed = false;  // else opened
    int64_t atUnixMs = 0;
  };

  void Start();
  void Wake();
  void Run();           // the MQTT thread
  void RunSnapshots();  // the snapshot thread
  void RunCommands();   // the command thread
  void Snapshot(const SJob& job, std::map<std::string, int64_t>& lastMono);
  void Command(const SJob& job);
  void Connect();                        // MQTT thread: a new client and its connection attempt
  void DropConnection(const char* why);  // MQTT thread: back-off, then a new one
  void Service(int timeoutMs);           // MQTT thread: poll the socket and the wake-up
  void TakeInbox();                      // MQTT thread: recorder events into messages
  void PublishPending();                 // MQTT thread
  void TurnRulesOff(int64_t nowMono);
  void HandleEvent(SPendingEvent& event);
  void SetRetained(const std::string& topic, std::string payload);
  void Queue(std::string topic, std::string payload);
  void ForgetCamera(const std::string& camera);
  void PublishCameraDiscovery(const std::string& camera, bool snapshots);
  int NextTimerMs(int64_t nowMono) const;

  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  ICameraAccess& m_cameras;

  // Shared with the recorder's threads: under m_mutex.
  mutable qnv::locks::CMutex m_mutex;
  std::condition_variable m_snapshotWake, m_commandWake;
  bool m_running GUARDED_BY(m_mutex) = false, m_stopping GUARDED_BY(m_mutex) = false;
  SMqttConfig m_config GUARDED_BY(m_mutex);  // the one in force
  std::map<std::string, SCameraConfig> m_configured GUARDED_BY(m_mutex);
  std::set<std::string> m_leaving GUARDED_BY(m_mutex);     // cameras whose topics are to be cleared
  std::deque<SPendingEvent> m_alarms GUARDED_BY(m_mutex);  // arrived, not yet published
  std::deque<std::pair<std::string, SUpDown>> m_states GUARDED_BY(m_mutex);
  std::deque<SSegmentNote> m_segments GUARDED_BY(m_mutex);
  std::deque<std::pair<std::string, std::vector<uint8_t>>> m_snapshotsDone GUARDED_BY(m_mutex);
  std::deque<SJob> m_snapshotJobs GUARDED_BY(m_mutex), m_commandJobs GUARDED_BY(m_mutex);
  std::map<std::string, SPictureSize> m_pictures GUARDED_BY(m_mutex);  // learnt from snapshots
  SMqttCounters m_counters GUARDED_BY(m_mutex);
  bool m_reconnect GUARDED_BY(m_mutex) = false;       // [mqtt] changed: a new connection
  bool m_camerasChanged GUARDED_BY(m_mutex) = false;  // m_configured changed
  bool m_storageEnabled GUARDED_BY(m_mutex) = false;

  qnv::locks::CMutex m_storeMutex;  // held by the snapshot thread while it uses the store
  std::unique_ptr<CSnapshotStore> m_store GUARDED_BY(m_storeMutex);

  const UniqueFd m_wakeFd;  // eventfd: the recorder's threads wake the MQTT thread
  std::thread m_thread, m_snapshotThread, m_commandThread;

  // MQTT thread only.
  std::unique_ptr<CTopics> m_topics;
  mosquitto* m_mosq = nullptr;
  bool m_connected = false;    // the broker's CONNACK came, and nothing broke since
  bool m_established = false;  // this client had a CONNACK (a failure now is a loss)
  int64_t m_connectStartedMono = 0, m_nextConnectMono = 0;
  int m_backoffMs = 0;
  bool m_refused = false;  // the broker refused the connection (CONNACK)
  std::map<std::string, SCameraInfo> m_info;
  std::map<std::string, SCameraConfig> m_cameraList;  // m_configured as last taken
  SMqttConfig m_settings;                             // the connection's
  std::map<int, SMessage> m_unacked;    // published, not yet acknowledged (sent again after a loss)
  std::deque<SPendingEvent> m_waiting;  // events waiting for their clip
  std::deque<SMessage> m_outbox;
  size_t m_outboxBytes = 0;
  std::atomic<size_t> m_queued{0};                // m_outbox's size, for Counters (any thread)
  std::map<std::string, std::string> m_retained;  // topic -> latest payload
  std::set<std::string> m_retainedDirty;          // not yet sent on this connection
  uint64_t m_droppedLogged = 0;
};

}  // namespace qnvrecorder

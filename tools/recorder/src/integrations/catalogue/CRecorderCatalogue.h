// CRecorderCatalogue: the recordings catalogue as the recorder keeps it while
// it works ([catalogue]): a row per segment as it opens, progresses, hands
// over, closes, is repaired or removed; a row per device event, with the id
// it was given the moment it came; a row per camera state change, with the
// reason. Everything goes through qnvcatalogue's writer, whose bounded queue
// in memory, thread and on-disk replay queue keep the database (SQLite under
// ROOT, or a fleet's PostgreSQL) from ever holding up recording; events and
// state changes go to a journal beside the segments as well
// (ROOT/.qnv-recorder/INSTANCE/journal/), so a lost catalogue can be rebuilt
// (Rebuild). Retention asks it for the oldest segments instead of listing
// every folder (PlanRetention).
//
// Its hooks run on the threads IRecorderEvents names and only take its own
// mutex. PlanRetention runs on the housekeeping thread but reads nothing
// itself: a reader thread of its own holds the reading connection and
// answers, and housekeeping waits at most kPlanWaitMs for the answer, so a
// database that stops answering never holds up housekeeping (status.json)
// or the stop. Start/Stop from the service's control thread. The storage
// root must outlive it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/Config.h"
#include "integrations/IRecorderEvents.h"
#include "qnvcatalogue/CCatalogueWriter.h"
#include "qnvcatalogue/Maintenance.h"
#include "qnvlocks/Locks.h"
#include "storage/CStorageRoot.h"
#include "storage/Retention.h"

namespace qnvrecorder {

// What the recorder's own folders and the catalogue are, from its configuration.
struct SCatalogueSetup {
  qnvcat::STarget target;
  std::string recorder;
  std::string queueDir;    // ROOT/.qnv-recorder/INSTANCE/catalogue-queue
  std::string queueShown;  // the same for messages, when queueDir is a descriptor's path
  std::string journalDir;  // ROOT/.qnv-recorder/INSTANCE/journal
  uint64_t queueBytes = 0;
  int64_t historyUs = 0;  // 0: for good
};
SCatalogueSetup CatalogueSetup(const SStorageConfig& storage, const SCatalogueConfig& catalogue);

class CRecorderCatalogue : public IRecorderEvents, public IEventIds {
 public:
  CRecorderCatalogue(const SStorageConfig& storage, const SCatalogueConfig& catalogue,
                     const CStorageRoot& root);
  ~CRecorderCatalogue() override;  // Stop()

  // Opens the replay queue and the journal and starts the writer; the
  // database itself may be away (it is tried on the writer's thread). False
  // with a message when the recorder's own folders cannot be used.
  bool Start(std::string& error);
  // What is in memory goes to the database or the replay queue.
  void Stop();

  // IEventIds
  int64_t NextEventId() override;

  // IRecorderEvents
  void SegmentOpened(const SSegment& segment, bool handover) override;
  void SegmentClosed(const SSegment& segment) override;
  void SegmentRepaired(const SSegment& segment, const qnvrec::SRepairNote& note) override;
  void SegmentDeleted(const SSegment& segment, const char* why) override;
  void AlarmEvent(const SAlarmEvent& event) override;
  void CameraState(const SCameraStatus& status) override;
  void StatusTick(const std::vector<SCameraStatus>& cameras) override;

  // An intact segment an earlier run left among a camera's newest (at
  // start, housekeeping thread): its row is written from its files, in case
  // the earlier run ended before its row was.
  void SegmentFound(const SSegment& segment);
  // The start's repairs are done (housekeeping thread): rows an earlier run
  // left open are now brought in line with their files.
  void RepairsDone();

  // Retention from the catalogue: the data files to remove so each camera
  // and all together keep to their limits (as PlanRetention judges them,
  // with the rows' sizes), oldest first, at most `most` in one pass. False
  // when the catalogue cannot answer now (unreachable, or behind with its
  // writes, or the reader's answer not there within kPlanWaitMs): the
  // caller then lists the folders. Housekeeping thread.
  bool PlanRetention(const std::map<std::string, SRetentionLimits>& perCamera,
                     const SRetentionLimits& defaults, uint64_t overallBytes,
                     const std::set<std::string>& openStems, time_t now,
                     std::vector<std::string>& remove, size_t most = 4096);
  // Removes deleted rows and journal days past history_days (housekeeping thread).
  void PruneHistory(time_t now);

  static constexpr int kPlanWaitMs = 1000;

  qnvcat::SWriterStats Stats() const { return m_writer.Stats(); }
  bool Flush(int timeoutMs) { return m_writer.Flush(timeoutMs); }
  const std::string& Recorder() const { return m_setup.recorder; }

  // --rebuild-catalogue: the recorder's rows again from its segment files and
  // its journal. The instance must not be running (its lock is taken by the
  // caller). progress: now and then, segments done and their total.
  static bool Rebuild(const SStorageConfig& storage, const SCatalogueConfig& catalogue,
                      const std::vector<std::string>& cameras,
                      const std::function<void(uint64_t, uint64_t)>& progress,
                      qnvcat::SRebuildResult& result, std::string& error);

 private:
  struct SPendingEvent {
    qnvcat::SEventRow row;
    int64_t dueUnixMs = 0;  // written without its clip after this
  };
  struct SPlanRequest {
    std::map<std::string, SRetentionLimits> perCamera;
    SRetentionLimits defaults;
    uint64_t overallBytes = 0;
    std::set<std::string> openStems;
    time_t now = 0;
    size_t most = 0;
  };

  static std::string DataPath(const SSegment& segment);
  // The camera's open row is path's no more.
  void ForgetOpen(const std::string& camera, const std::string& path) REQUIRES(m_mutex);
  void FlushPending(const std::string& camera, const std::string& clip, int64_t nowMs)
      REQUIRES(m_mutex);
  // Reader thread: answers plan requests.
  void RunReader();
  bool Reader();
  bool Plan(const SPlanRequest& request, std::vector<std::string>& remove);
  void StopReader();

  // The journal and replay-queue folders, made by the storage root (never
  // through a link) and held, so the writer reaches them by descriptor
  // (/proc/self/fd/N/.) whatever is planted under ROOT later.
  static SCatalogueSetup OwnFolders(SCatalogueSetup setup, const CStorageRoot& root,
                                    UniqueFd& journal, UniqueFd& queue, std::string& error);

  UniqueFd m_journalFd, m_queueFd;  // before m_setup, which OwnFolders fills from them
  std::string m_foldersError;       // why they could not be made; Start refuses then
  const SCatalogueSetup m_setup;
  const CStorageRoot& m_root;
  qnvcat::CCatalogueWriter m_writer;

  qnv::locks::CMutex m_mutex;  // guards the fields below; held across a push to the writer
  struct SOpenRow {
    std::string path;  // its data file
    int64_t startUs = 0;
  };
  // Per camera: the row of the segment being written, kept where segments
  // open, roll and close, so a status tick finds it without a search.
  std::map<std::string, SOpenRow> m_open GUARDED_BY(m_mutex);
  // Per camera: the segment a hand-over goes to, opened when the old one closes.
  std::map<std::string, std::pair<std::string, int64_t>> m_handover GUARDED_BY(m_mutex);
  std::map<std::string, std::vector<SPendingEvent>> m_pending
      GUARDED_BY(m_mutex);  // alarms waiting for their clip
  std::map<std::string, std::pair<bool, std::string>> m_lastState
      GUARDED_BY(m_mutex);  // per camera: up, reason

  // Between housekeeping and the reader thread: under m_planMutex.
  qnv::locks::CMutex m_planMutex;
  std::condition_variable m_planWake;
  std::optional<SPlanRequest> m_planRequest GUARDED_BY(m_planMutex);  // asked, not yet taken
  bool m_planBusy GUARDED_BY(m_planMutex) = false;                    // asked, not yet answered
  uint64_t m_planAsked GUARDED_BY(m_planMutex) = 0, m_planAnswered GUARDED_BY(m_planMutex) = 0;
  bool m_planOk GUARDED_BY(m_planMutex) = false;
  std::vector<std::string> m_planRemove GUARDED_BY(m_planMutex);
  bool m_readerStopping GUARDED_BY(m_planMutex) = false;
  const UniqueFd m_readerAbort;  // eventfd: a reading call under way gives up (the stop)
  std::thread m_readerThread;

  // Reader thread only.
  std::unique_ptr<qnvcat::ICatalogue> m_reader;
  int64_t m_readerRetryMs = 0;

  // Housekeeping thread only.
  int64_t m_prunedDay = 0;
};

}  // namespace qnvrecorder

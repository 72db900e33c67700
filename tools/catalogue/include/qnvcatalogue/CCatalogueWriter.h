// CCatalogueWriter: how a recorder keeps the catalogue as it works. Its hooks
// (segment opened, progressed, rolled, closed, repaired, deleted; a device
// event; a camera state change) may be called from any thread and never
// wait for the database or a disk: each puts one request on a bounded queue
// in memory and returns. One writer thread of its own takes them in order:
// it reads a closed segment's files for its row (SegmentFiles.h), appends
// events and state changes to the journal, and writes batches to the
// database, each in one transaction. While the database is down, slow or
// busy, the rows go to the on-disk replay queue (CReplayQueue) and are
// replayed in order once it answers again; new rows wait behind them. Once
// it has caught up with what it was given after its start, it heals the rows
// an earlier run left open (Maintenance.h).
//
// What is dropped (the memory queue full because the disk queue is stuck,
// or the disk queue at its bound) is counted and logged: a rebuild restores
// it from the files and the journal. The log callback runs on the writer
// thread. The object owns its thread; Stop (or the destructor) ends it.
#ifndef QNVCATALOGUE_CCATALOGUEWRITER_H
#define QNVCATALOGUE_CCATALOGUEWRITER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qnvlocks/Locks.h"
#include "qnvcatalogue/CReplayQueue.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvcatalogue/Journal.h"
#include "qnvtools/UniqueFd.h"

namespace qnvcat {

struct SWriterOptions {
  std::string recorder;  // names every row (host/instance, say)
  std::string queueDir;  // the replay queue's folder (created)
  // The queue's folder as messages name it, when queueDir reaches it another
  // way (through a descriptor); empty: queueDir.
  std::string queueShown;
  uint64_t queueMaxBytes = 256ull << 20;
  std::string journalDir;  // the journal's folder (created); empty: none
  size_t memoryMaxRequests = 100000;
  size_t batchOps = 500;   // ops per transaction
  int firstRetryMs = 500;  // the database is tried again after this,
  int maxRetryMs = 30000;  // doubling up to this
  // Heal open rows once the database answers. false: only after HealOpenRows,
  // for a caller that first repairs the files itself (reading a file takes
  // its shared lock, which a repair waiting for the exclusive one would meet).
  bool heal = true;
  // Called on the writer thread: true for a warning (the database lost,
  // rows dropped), false for a notice (back again, replayed, healed).
  std::function<void(bool warning, const std::string& text)> log;
};

struct SWriterStats {
  bool connected = false;    // the last write reached the database
  uint64_t applied = 0;      // ops written to the database
  uint64_t spilled = 0;      // ops that went through the replay queue
  uint64_t queuedBytes = 0;  // in the replay queue now
  uint64_t pending = 0;      // requests in memory now
  uint64_t dropped = 0;      // requests or ops lost to a full queue
  uint64_t rejected = 0;     // ops the database refused (bad data)
  bool healed = false;
  std::string lastError;
};

class CCatalogueWriter {
 public:
  CCatalogueWriter(STarget target, SWriterOptions options);
  ~CCatalogueWriter();  // Stop()
  CCatalogueWriter(const CCatalogueWriter&) = delete;
  CCatalogueWriter& operator=(const CCatalogueWriter&) = delete;

  // Opens the replay queue and the journal and starts the thread; the
  // database may be down (it is tried on the thread). False with a message
  // when the queue's or the journal's folder cannot be used.
  bool Start(std::string& error);
  // Takes what is in memory into the database or the replay queue and joins.
  // No new connection is tried, and a database call still waiting after
  // kStopGraceMs gives up (what it held goes to the replay queue): it ends
  // within about that long whatever the database does.
  void Stop();
  static constexpr int kStopGraceMs = 1000;

  // Hooks; any thread; never block. Paths are data files.
  void SegmentOpened(const std::string& camera, const std::string& path, int64_t startUs);
  // An open segment's first and latest picture and size so far (for live
  // timelines), by the clock the caller read them from.
  void SegmentProgress(const std::string& camera, const std::string& path, int64_t firstUs,
                       int64_t lastUs, uint64_t frames, uint64_t bytes,
                       EClock clock = EClock::kArrival);
  // A hand-over finished: closedPath is complete, openedPath took over. One
  // transaction closes the one and opens the other.
  void SegmentRolled(const std::string& camera, const std::string& closedPath,
                     const std::string& openedPath, int64_t startUs);
  void SegmentClosed(const std::string& camera, const std::string& path);
  // The recorder cut a torn segment back to its last whole frame.
  void SegmentRepaired(const std::string& camera, const std::string& path);
  // Call right after removing the files (retention): the row is marked deleted.
  void SegmentDeleted(const std::string& path);
  // A segment that never held a playable frame was removed: its row goes.
  void SegmentForgotten(const std::string& path);
  // The id the next event gets: unique among this recorder's events (a
  // reading of the microsecond clock, past every id given before, in this
  // run or, through the journal, an earlier one), so whoever reports the
  // event names it at once. Any thread; never blocks.
  int64_t NextEventId();
  // Its recorder is filled in, and an id when it has none; returns the id.
  int64_t Event(SEventRow event);
  void StateChange(SStateRow state);  // likewise
  // Removes deleted rows whose last picture is older than beforeUs.
  void PurgeDeleted(int64_t beforeUs);

  // Heals the rows an earlier run left open once it has caught up (when the
  // options said not to at start). Any thread; never blocks.
  void HealOpenRows();

  SWriterStats Stats() const;
  // Waits until everything handed over so far is in the database (true) or
  // timeoutMs passed (false). For tests and orderly shutdowns.
  bool Flush(int timeoutMs);

 private:
  enum class ERequest { kOp, kOpened, kRolled, kClosed, kRepaired };
  struct SRequest {
    ERequest kind = ERequest::kOp;
    SOp op;  // kOp
    std::string camera, path, path2;
    int64_t startUs = 0;
  };
  using Clock = std::chrono::steady_clock;

  void Push(SRequest request);
  void PushSegment(ERequest kind, const std::string& camera, const std::string& path,
                   const std::string& path2 = {}, int64_t startUs = 0);
  void PushOp(SOp op);
  void Run();
  // Requests into ops: files read, journal written, open set kept.
  void Convert(std::vector<SRequest>& requests, std::vector<SOp>& ops);
  SSegmentRow Scanned(const std::string& camera, const std::string& path, ESegmentState state,
                      bool& empty);
  bool Connect(bool mayTry);
  // A write went through: the back-off starts afresh and an outage is over.
  void Answered();
  // Applies ops in batches; returns how many are done (applied, or refused
  // as bad data and counted); the rest must wait.
  size_t ApplyOps(const std::vector<SOp>& ops);
  void Spill(const std::vector<SOp>& ops, size_t from);
  void Drain();
  void Heal();
  bool Pending() const;  // requests wait in memory
  void Log(bool warning, const std::string& text);
  void Failed(const std::string& error);

  // Readable once Stop's grace is over: every PostgreSQL call gives up
  // (STarget::abortFd). Before m_target, which names it.
  const qnvtools::UniqueFd m_abortFd;
  const STarget m_target;
  const SWriterOptions m_options;

  mutable qnv::locks::CMutex m_mutex;  // guards the fields below it
  std::condition_variable m_wake, m_idle;
  std::deque<SRequest> m_requests GUARDED_BY(m_mutex);
  bool m_stopping GUARDED_BY(m_mutex) = false;
  bool m_ended GUARDED_BY(m_mutex) = false;      // the thread is past its last write
  uint64_t m_submitted GUARDED_BY(m_mutex) = 0;  // requests accepted so far
  uint64_t m_finished GUARDED_BY(m_mutex) = 0;   // of them, in the database
  uint64_t m_droppedMemory GUARDED_BY(m_mutex) = 0;
  int64_t m_lastEventId GUARDED_BY(m_mutex) = 0;
  bool m_healWanted GUARDED_BY(m_mutex) = false;
  SWriterStats m_stats GUARDED_BY(m_mutex);

  // Writer thread only.
  std::thread m_thread;
  std::unique_ptr<ICatalogue> m_db;
  CReplayQueue m_queue;
  CJournalWriter m_journal;
  std::set<std::string> m_writing;  // open segments of this run
  Clock::time_point m_nextTry{};
  int m_retryMs = 0;
  bool m_down = false;  // the outage was logged
  bool m_healed = false;
  uint64_t m_droppedLogged = 0;
  std::string m_journalError;  // the last journal failure told (until a line is kept)
};

}  // namespace qnvcat

#endif  // QNVCATALOGUE_CCATALOGUEWRITER_H

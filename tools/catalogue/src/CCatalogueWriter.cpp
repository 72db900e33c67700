#include "qnvcatalogue/CCatalogueWriter.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "qnvcatalogue/Maintenance.h"
#include "qnvcatalogue/SegmentFiles.h"

namespace qnvcat {
namespace {

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

STarget WithAbort(STarget target, int abortFd) {
  target.abortFd = abortFd;
  return target;
}

}  // namespace

CCatalogueWriter::CCatalogueWriter(STarget target, SWriterOptions options)
    : m_abortFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_target(WithAbort(std::move(target), m_abortFd.Get())),
      m_options(std::move(options)),
      m_healWanted(m_options.heal),
      m_retryMs(m_options.firstRetryMs) {}

CCatalogueWriter::~CCatalogueWriter() { Stop(); }

bool CCatalogueWriter::Start(std::string& error) {
  if (m_thread.joinable()) return true;
  if (!m_queue.Open(m_options.queueDir, m_options.queueMaxBytes, error)) {
    error = "catalogue replay queue: " + error;
    return false;
  }
  if (!m_options.journalDir.empty()) {
    if (!m_journal.Open(m_options.journalDir, error)) {
      error = "catalogue journal: " + error;
      return false;
    }
    // Ids go on from the last one an earlier run gave, whatever the clock did.
    const int64_t last = LastJournalEventId(m_options.journalDir);
    qnv::locks::CLockGuard lock(m_mutex);
    m_lastEventId = std::max(m_lastEventId, last);
  }
  m_nextTry = Clock::now();
  m_thread = std::thread([this] { Run(); });
  return true;
}

void CCatalogueWriter::Stop() {
  {
    qnv::locks::CUniqueLock lock(m_mutex);
    m_stopping = true;
    m_wake.notify_all();
    // A database that answers gets what is in memory; one that does not is
    // given up after the grace, and the rest goes to the replay queue.
    if (m_thread.joinable() &&
        !m_idle.wait_for(lock.Native(), std::chrono::milliseconds(kStopGraceMs),
                         [&]() REQUIRES(m_mutex) { return m_ended; }) &&
        m_abortFd.Valid()) {
      const uint64_t one = 1;
      (void)!::write(m_abortFd.Get(), &one, sizeof one);
    }
  }
  if (m_thread.joinable()) m_thread.join();
}

void CCatalogueWriter::Push(SRequest request) {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (m_requests.size() >= m_options.memoryMaxRequests) {
      ++m_droppedMemory;
      return;
    }
    m_requests.push_back(std::move(request));
    ++m_submitted;
  }
  m_wake.notify_one();
}

void CCatalogueWriter::PushSegment(ERequest kind, const std::string& camera,
                                   const std::string& path, const std::string& path2,
                                   int64_t startUs) {
  SRequest r;
  r.kind = kind;
  r.camera = camera;
  r.path = path;
  r.path2 = path2;
  r.startUs = startUs;
  Push(std::move(r));
}

void CCatalogueWriter::PushOp(SOp op) {
  SRequest r;
  r.op = std::move(op);
  Push(std::move(r));
}

void CCatalogueWriter::SegmentOpened(const std::string& camera, const std::string& path,
                                     int64_t startUs) {
  PushSegment(ERequest::kOpened, camera, path, {}, startUs);
}

void CCatalogueWriter::SegmentProgress(const std::string& camera, const std::string& path,
                                       int64_t firstUs, int64_t lastUs, uint64_t frames,
                                       uint64_t bytes, EClock clock) {
  PushOp(SOp::Segment(SSegmentRow{m_options.recorder, camera, path, firstUs, lastUs, clock, frames,
                                  bytes, ESegmentState::kOpen}));
}

void CCatalogueWriter::SegmentRolled(const std::string& camera, const std::string& closedPath,
                                     const std::string& openedPath, int64_t startUs) {
  PushSegment(ERequest::kRolled, camera, closedPath, openedPath, startUs);
}

void CCatalogueWriter::SegmentClosed(const std::string& camera, const std::string& path) {
  PushSegment(ERequest::kClosed, camera, path);
}

void CCatalogueWriter::SegmentRepaired(const std::string& camera, const std::string& path) {
  PushSegment(ERequest::kRepaired, camera, path);
}

void CCatalogueWriter::SegmentDeleted(const std::string& path) {
  PushOp(SOp::Deleted(m_options.recorder, path));
}

void CCatalogueWriter::SegmentForgotten(const std::string& path) {
  PushOp(SOp::Forget(m_options.recorder, path));
}

int64_t CCatalogueWriter::NextEventId() {
  const int64_t now = NowUs();
  qnv::locks::CLockGuard lock(m_mutex);
  m_lastEventId = std::max(now, m_lastEventId + 1);
  return m_lastEventId;
}

int64_t CCatalogueWriter::Event(SEventRow event) {
  event.recorder = m_options.recorder;
  if (event.id == 0) event.id = NextEventId();
  const int64_t id = event.id;
  PushOp(SOp::Event(std::move(event)));
  return id;
}

void CCatalogueWriter::StateChange(SStateRow state) {
  state.recorder = m_options.recorder;
  PushOp(SOp::State(std::move(state)));
}

void CCatalogueWriter::PurgeDeleted(int64_t beforeUs) {
  PushOp(SOp::Purge(m_options.recorder, beforeUs));
}

void CCatalogueWriter::HealOpenRows() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_healWanted = true;
  }
  m_wake.notify_one();
}

SWriterStats CCatalogueWriter::Stats() const {
  qnv::locks::CLockGuard lock(m_mutex);
  SWriterStats s = m_stats;
  s.pending = m_requests.size();
  s.dropped += m_droppedMemory;
  return s;
}

bool CCatalogueWriter::Flush(int timeoutMs) {
  qnv::locks::CUniqueLock lock(m_mutex);
  const uint64_t target = m_submitted;
  return m_idle.wait_for(lock.Native(), std::chrono::milliseconds(timeoutMs),
                         [&]() REQUIRES(m_mutex) { return m_finished >= target; });
}

bool CCatalogueWriter::Pending() const {
  qnv::locks::CLockGuard lock(m_mutex);
  return !m_requests.empty();
}

void CCatalogueWriter::Log(bool warning, const std::string& text) {
  if (m_options.log) m_options.log(warning, text);
}

void CCatalogueWriter::Run() {
  std::vector<SRequest> taken;
  std::vector<SOp> ops;
  for (;;) {
    uint64_t upTo = 0;
    bool stopping = false;
    uint64_t droppedMemory = 0;
    bool heal = false;
    {
      qnv::locks::CUniqueLock lock(m_mutex);
      // Work on the database is due: a replay, or the healing after start.
      heal = m_healWanted;
      const bool waiting = !m_queue.Empty() || (heal && !m_healed);
      auto ready = [&]() REQUIRES(m_mutex) { return m_stopping || !m_requests.empty() || m_healWanted != heal; };
      if (waiting) {
        m_wake.wait_until(lock.Native(), m_nextTry, ready);
      } else {
        m_wake.wait(lock.Native(), ready);
      }
      heal = m_healWanted;
      taken.assign(std::make_move_iterator(m_requests.begin()),
                   std::make_move_iterator(m_requests.end()));
      m_requests.clear();
      upTo = m_submitted;
      stopping = m_stopping;
      droppedMemory = m_droppedMemory;
    }
    if (droppedMemory > m_droppedLogged) {
      Log(true, "catalogue: " + std::to_string(droppedMemory - m_droppedLogged) +
                    " writes dropped, the queue in memory was full (" +
                    std::to_string(m_options.memoryMaxRequests) +
                    "); rebuild the catalogue to restore them");
      m_droppedLogged = droppedMemory;
    }
    ops.clear();
    Convert(taken, ops);
    taken.clear();
    if (!ops.empty()) {
      size_t done = 0;
      if (m_queue.Empty() && Connect(!stopping)) done = ApplyOps(ops);
      if (done < ops.size()) Spill(ops, done);
    }
    if (!stopping) {
      Drain();
      // Healing judges the rows once everything handed over so far is in.
      if (m_queue.Empty() && heal && !m_healed && !Pending()) Heal();
    }
    qnv::locks::CLockGuard lock(m_mutex);
    if (m_queue.Empty()) m_finished = upTo;
    m_stats.connected = m_db != nullptr;
    m_stats.queuedBytes = m_queue.Bytes();
    m_stats.healed = m_healed;
    m_idle.notify_all();
    if (stopping && m_requests.empty()) {
      m_ended = true;
      m_idle.notify_all();
      break;
    }
  }
  m_db.reset();
}

SSegmentRow CCatalogueWriter::Scanned(const std::string& camera, const std::string& path,
                                      ESegmentState state, bool& empty) {
  SSegmentRow row;
  row.recorder = m_options.recorder;
  row.camera = camera;
  row.state = state;
  SScanResult scan;
  std::string error;
  if (!ScanSegment(path, row, scan, error)) {
    Log(true, "catalogue: " + error + " (its row keeps what was known)");
  }
  empty = scan.exists && scan.pictures == 0 && error.empty();
  if (!scan.exists) {
    // Gone already (retention was quicker): nothing to read; the deletion follows.
    row.firstUs = row.lastUs = NowUs();
  }
  return row;
}

void CCatalogueWriter::Convert(std::vector<SRequest>& requests, std::vector<SOp>& ops) {
  std::string error;
  for (SRequest& r : requests) {
    switch (r.kind) {
      case ERequest::kOp:
        if (r.op.kind == SOp::EKind::kEvent || r.op.kind == SOp::EKind::kState) {
          // The journal first: it is what a rebuild reads.
          if (!m_journal.Dir().empty()) {
            if (!m_journal.Append(r.op, NowUs(), error)) {
              // Told once while it stays the same, not at every line.
              if (error != m_journalError) Log(true, "catalogue journal: " + error);
              m_journalError = error;
            } else {
              m_journalError.clear();
            }
          }
        } else if (r.op.kind == SOp::EKind::kSegments) {
          for (const SSegmentRow& s : r.op.segments) {
            if (s.state == ESegmentState::kOpen) m_writing.insert(s.path);
          }
        } else if (r.op.kind == SOp::EKind::kDeleted || r.op.kind == SOp::EKind::kForget) {
          m_writing.erase(r.op.path);
        }
        ops.push_back(std::move(r.op));
        break;
      case ERequest::kOpened:
        m_writing.insert(r.path);
        ops.push_back(
            SOp::Segment(SSegmentRow{m_options.recorder, r.camera, r.path, r.startUs, r.startUs,
                                     EClock::kArrival, 0, 0, ESegmentState::kOpen}));
        break;
      case ERequest::kClosed:
      case ERequest::kRepaired:
      case ERequest::kRolled: {
        m_writing.erase(r.path);
        bool empty = false;
        SSegmentRow row = Scanned(
            r.camera, r.path,
            r.kind == ERequest::kRepaired ? ESegmentState::kRepaired : ESegmentState::kClosed,
            empty);
        SOp op = empty ? SOp::Forget(m_options.recorder, r.path) : SOp::Segment(std::move(row));
        if (r.kind == ERequest::kRolled) {
          m_writing.insert(r.path2);
          SSegmentRow opened{m_options.recorder, r.camera, r.path2, r.startUs,           r.startUs,
                             EClock::kArrival,   0,        0,       ESegmentState::kOpen};
          if (op.kind == SOp::EKind::kSegments) {
            // One op, so one transaction, whatever batch it lands in.
            op.segments.push_back(std::move(opened));
          } else {
            ops.push_back(std::move(op));
            op = SOp::Segment(std::move(opened));
          }
        }
        ops.push_back(std::move(op));
        break;
      }
    }
  }
}

bool CCatalogueWriter::Connect(bool mayTry) {
  if (m_db) return true;
  if (!mayTry || Clock::now() < m_nextTry) return false;
  std::string error;
  m_db = OpenCatalogue(m_target, EOpenMode::kWrite, error);
  if (!m_db) {
    Failed(error);
    return false;
  }
  // The back-off is reset by a write that succeeds (Answered), not by the
  // open: a catalogue that opens but refuses every write is tried no more
  // often, and told no more often, than one that is away.
  return true;
}

void CCatalogueWriter::Answered() {
  m_retryMs = m_options.firstRetryMs;
  if (m_down) {
    Log(false, "catalogue: " + m_db->Where() + " answers again" +
                   (m_queue.Empty() ? std::string()
                                    : "; replaying " + std::to_string(m_queue.Bytes()) +
                                          " bytes of queued writes"));
    m_down = false;
  }
}

void CCatalogueWriter::Failed(const std::string& error) {
  m_nextTry = Clock::now() + std::chrono::milliseconds(m_retryMs);
  m_retryMs = std::min(m_retryMs * 2, m_options.maxRetryMs);
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_stats.lastError = error;
  }
  if (!m_down) {
    Log(true, "catalogue: " + error + "; writes wait in " +
                  (m_options.queueShown.empty() ? m_queue.Dir() : m_options.queueShown) +
                  " and are replayed when it answers");
    m_down = true;
  }
}

size_t CCatalogueWriter::ApplyOps(const std::vector<SOp>& ops) {
  size_t done = 0;
  std::string error;
  uint64_t applied = 0, rejected = 0;
  auto publish = [&] {
    qnv::locks::CLockGuard lock(m_mutex);
    m_stats.applied += applied;
    m_stats.rejected += rejected;
  };
  while (done < ops.size() && m_db) {
    const std::span<const SOp> batch(ops.data() + done,
                                     std::min(m_options.batchOps, ops.size() - done));
    if (m_db->Apply(batch, error)) {
      Answered();
      done += batch.size();
      applied += batch.size();
      continue;
    }
    if (m_db->LastFailure() == EFailure::kRejected) {
      // Bad data in the batch: one at a time, so only the bad op is lost.
      for (const SOp& op : batch) {
        if (m_db->Apply(std::span<const SOp>(&op, 1), error)) {
          Answered();
          ++applied;
        } else if (m_db->LastFailure() == EFailure::kRejected) {
          ++rejected;
          Log(true, "catalogue: a write was refused and is dropped: " + error + ": " +
                        OpToJson(op).substr(0, 200));
        } else {
          break;
        }
        ++done;
      }
      if (done == size_t(batch.data() - ops.data()) + batch.size()) continue;
    }
    if (m_db->LastFailure() == EFailure::kBroken) m_db.reset();
    Failed(error);
    break;
  }
  publish();
  return done;
}

void CCatalogueWriter::Spill(const std::vector<SOp>& ops, size_t from) {
  size_t taken = 0;
  std::string error;
  const std::span<const SOp> rest(ops.data() + from, ops.size() - from);
  if (!m_queue.Append(rest, taken, error)) {
    Log(true, "catalogue replay queue: " + error + "; " + std::to_string(rest.size()) +
                  " writes dropped; rebuild the catalogue to restore them");
    taken = 0;
  } else if (taken < rest.size()) {
    Log(true, "catalogue replay queue full (" + std::to_string(m_options.queueMaxBytes >> 20) +
                  " MiB): " + std::to_string(rest.size() - taken) +
                  " writes dropped; rebuild the catalogue to restore them");
  }
  qnv::locks::CLockGuard lock(m_mutex);
  m_stats.spilled += taken;
  m_stats.dropped += rest.size() - taken;
}

void CCatalogueWriter::Drain() {
  // After a failure the next try waits its turn, connected or not.
  if (m_queue.Empty() || Clock::now() < m_nextTry || !Connect(true)) return;
  std::vector<SOp> ops;
  std::string error;
  while (!m_queue.Empty()) {
    {
      qnv::locks::CLockGuard lock(m_mutex);
      if (m_stopping) return;
    }
    if (!m_queue.Peek(m_options.batchOps, ops, error)) {
      Log(true, "catalogue replay queue: " + error);
      Failed(error);
      return;
    }
    if (ApplyOps(ops) < ops.size()) return;
    if (!m_queue.Pop(error)) {
      Log(true, "catalogue replay queue: " + error);
      Failed(error);
      return;
    }
  }
  Log(false, "catalogue: queued writes replayed");
}

void CCatalogueWriter::Heal() {
  if (Clock::now() < m_nextTry || !Connect(true)) return;
  std::vector<SSegmentRow> rows;
  std::string error;
  if (!m_db->OpenSegments(m_options.recorder, rows, error)) {
    if (m_db->LastFailure() == EFailure::kBroken) m_db.reset();
    Failed(error);
    return;
  }
  const std::vector<SOp> ops = HealOps(rows, m_writing);
  if (ApplyOps(ops) < ops.size()) return;
  m_healed = true;
  if (!ops.empty()) {
    Log(false, "catalogue: " + std::to_string(ops.size()) +
                   " segment rows left open by an earlier run brought in line with their files");
  }
}

}  // namespace qnvcat

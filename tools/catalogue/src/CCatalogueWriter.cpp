#include "qnvcatalogue/CCatalogueWriter.h"

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

}  // namespace

CCatalogueWriter::CCatalogueWriter(STarget target, SWriterOptions options)
    : target_(std::move(target)),
      options_(std::move(options)),
      healWanted_(options_.heal),
      retryMs_(options_.firstRetryMs) {}

CCatalogueWriter::~CCatalogueWriter() { Stop(); }

bool CCatalogueWriter::Start(std::string& error) {
  if (thread_.joinable()) return true;
  if (!queue_.Open(options_.queueDir, options_.queueMaxBytes, error)) {
    error = "catalogue replay queue: " + error;
    return false;
  }
  if (!options_.journalDir.empty()) {
    if (!journal_.Open(options_.journalDir, error)) {
      error = "catalogue journal: " + error;
      return false;
    }
    // Ids go on from the last one an earlier run gave, whatever the clock did.
    const int64_t last = LastJournalEventId(options_.journalDir);
    std::lock_guard<std::mutex> lock(mutex_);
    lastEventId_ = std::max(lastEventId_, last);
  }
  nextTry_ = Clock::now();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CCatalogueWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CCatalogueWriter::Push(SRequest request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.size() >= options_.memoryMaxRequests) {
      ++droppedMemory_;
      return;
    }
    requests_.push_back(std::move(request));
    ++submitted_;
  }
  wake_.notify_one();
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
  PushOp(SOp::Segment(SSegmentRow{options_.recorder, camera, path, firstUs, lastUs, clock, frames,
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
  PushOp(SOp::Deleted(options_.recorder, path));
}

void CCatalogueWriter::SegmentForgotten(const std::string& path) {
  PushOp(SOp::Forget(options_.recorder, path));
}

int64_t CCatalogueWriter::NextEventId() {
  const int64_t now = NowUs();
  std::lock_guard<std::mutex> lock(mutex_);
  lastEventId_ = std::max(now, lastEventId_ + 1);
  return lastEventId_;
}

int64_t CCatalogueWriter::Event(SEventRow event) {
  event.recorder = options_.recorder;
  if (event.id == 0) event.id = NextEventId();
  const int64_t id = event.id;
  PushOp(SOp::Event(std::move(event)));
  return id;
}

void CCatalogueWriter::StateChange(SStateRow state) {
  state.recorder = options_.recorder;
  PushOp(SOp::State(std::move(state)));
}

void CCatalogueWriter::PurgeDeleted(int64_t beforeUs) {
  PushOp(SOp::Purge(options_.recorder, beforeUs));
}

void CCatalogueWriter::HealOpenRows() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    healWanted_ = true;
  }
  wake_.notify_one();
}

SWriterStats CCatalogueWriter::Stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  SWriterStats s = stats_;
  s.pending = requests_.size();
  s.dropped += droppedMemory_;
  return s;
}

bool CCatalogueWriter::Flush(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t target = submitted_;
  return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return finished_ >= target; });
}

bool CCatalogueWriter::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !requests_.empty();
}

void CCatalogueWriter::Log(bool warning, const std::string& text) {
  if (options_.log) options_.log(warning, text);
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
      std::unique_lock<std::mutex> lock(mutex_);
      // Work on the database is due: a replay, or the healing after start.
      heal = healWanted_;
      const bool waiting = !queue_.Empty() || (heal && !healed_);
      auto ready = [&] { return stopping_ || !requests_.empty() || healWanted_ != heal; };
      if (waiting) {
        wake_.wait_until(lock, nextTry_, ready);
      } else {
        wake_.wait(lock, ready);
      }
      heal = healWanted_;
      taken.assign(std::make_move_iterator(requests_.begin()),
                   std::make_move_iterator(requests_.end()));
      requests_.clear();
      upTo = submitted_;
      stopping = stopping_;
      droppedMemory = droppedMemory_;
    }
    if (droppedMemory > droppedLogged_) {
      Log(true, "catalogue: " + std::to_string(droppedMemory - droppedLogged_) +
                    " writes dropped, the queue in memory was full (" +
                    std::to_string(options_.memoryMaxRequests) +
                    "); rebuild the catalogue to restore them");
      droppedLogged_ = droppedMemory;
    }
    ops.clear();
    Convert(taken, ops);
    taken.clear();
    if (!ops.empty()) {
      size_t done = 0;
      if (queue_.Empty() && Connect(!stopping)) done = ApplyOps(ops);
      if (done < ops.size()) Spill(ops, done);
    }
    if (!stopping) {
      Drain();
      // Healing judges the rows once everything handed over so far is in.
      if (queue_.Empty() && heal && !healed_ && !Pending()) Heal();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.Empty()) finished_ = upTo;
    stats_.connected = db_ != nullptr;
    stats_.queuedBytes = queue_.Bytes();
    stats_.healed = healed_;
    idle_.notify_all();
    if (stopping && requests_.empty()) break;
  }
  db_.reset();
}

SSegmentRow CCatalogueWriter::Scanned(const std::string& camera, const std::string& path,
                                      ESegmentState state, bool& empty) {
  SSegmentRow row;
  row.recorder = options_.recorder;
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
          if (!journal_.Dir().empty() && !journal_.Append(r.op, NowUs(), error)) {
            Log(true, "catalogue journal: " + error);
          }
        } else if (r.op.kind == SOp::EKind::kSegments) {
          for (const SSegmentRow& s : r.op.segments) {
            if (s.state == ESegmentState::kOpen) writing_.insert(s.path);
          }
        } else if (r.op.kind == SOp::EKind::kDeleted || r.op.kind == SOp::EKind::kForget) {
          writing_.erase(r.op.path);
        }
        ops.push_back(std::move(r.op));
        break;
      case ERequest::kOpened:
        writing_.insert(r.path);
        ops.push_back(
            SOp::Segment(SSegmentRow{options_.recorder, r.camera, r.path, r.startUs, r.startUs,
                                     EClock::kArrival, 0, 0, ESegmentState::kOpen}));
        break;
      case ERequest::kClosed:
      case ERequest::kRepaired:
      case ERequest::kRolled: {
        writing_.erase(r.path);
        bool empty = false;
        SSegmentRow row = Scanned(
            r.camera, r.path,
            r.kind == ERequest::kRepaired ? ESegmentState::kRepaired : ESegmentState::kClosed,
            empty);
        SOp op = empty ? SOp::Forget(options_.recorder, r.path) : SOp::Segment(std::move(row));
        if (r.kind == ERequest::kRolled) {
          writing_.insert(r.path2);
          SSegmentRow opened{options_.recorder, r.camera, r.path2, r.startUs,           r.startUs,
                             EClock::kArrival,  0,        0,       ESegmentState::kOpen};
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
  if (db_) return true;
  if (!mayTry || Clock::now() < nextTry_) return false;
  std::string error;
  db_ = OpenCatalogue(target_, EOpenMode::kWrite, error);
  if (!db_) {
    Failed(error);
    return false;
  }
  retryMs_ = options_.firstRetryMs;
  if (down_) {
    Log(false, "catalogue: " + db_->Where() + " answers again" +
                   (queue_.Empty() ? std::string()
                                   : "; replaying " + std::to_string(queue_.Bytes()) +
                                         " bytes of queued writes"));
    down_ = false;
  }
  return true;
}

void CCatalogueWriter::Failed(const std::string& error) {
  nextTry_ = Clock::now() + std::chrono::milliseconds(retryMs_);
  retryMs_ = std::min(retryMs_ * 2, options_.maxRetryMs);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.lastError = error;
  }
  if (!down_) {
    Log(true, "catalogue: " + error + "; writes wait in " +
                  (options_.queueShown.empty() ? queue_.Dir() : options_.queueShown) +
                  " and are replayed when it answers");
    down_ = true;
  }
}

size_t CCatalogueWriter::ApplyOps(const std::vector<SOp>& ops) {
  size_t done = 0;
  std::string error;
  uint64_t applied = 0, rejected = 0;
  auto publish = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.applied += applied;
    stats_.rejected += rejected;
  };
  while (done < ops.size() && db_) {
    const std::span<const SOp> batch(ops.data() + done,
                                     std::min(options_.batchOps, ops.size() - done));
    if (db_->Apply(batch, error)) {
      done += batch.size();
      applied += batch.size();
      continue;
    }
    if (db_->LastFailure() == EFailure::kRejected) {
      // Bad data in the batch: one at a time, so only the bad op is lost.
      for (const SOp& op : batch) {
        if (db_->Apply(std::span<const SOp>(&op, 1), error)) {
          ++applied;
        } else if (db_->LastFailure() == EFailure::kRejected) {
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
    if (db_->LastFailure() == EFailure::kBroken) db_.reset();
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
  if (!queue_.Append(rest, taken, error)) {
    Log(true, "catalogue replay queue: " + error + "; " + std::to_string(rest.size()) +
                  " writes dropped; rebuild the catalogue to restore them");
    taken = 0;
  } else if (taken < rest.size()) {
    Log(true, "catalogue replay queue full (" + std::to_string(options_.queueMaxBytes >> 20) +
                  " MiB): " + std::to_string(rest.size() - taken) +
                  " writes dropped; rebuild the catalogue to restore them");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  stats_.spilled += taken;
  stats_.dropped += rest.size() - taken;
}

void CCatalogueWriter::Drain() {
  // After a failure the next try waits its turn, connected or not.
  if (queue_.Empty() || Clock::now() < nextTry_ || !Connect(true)) return;
  std::vector<SOp> ops;
  std::string error;
  while (!queue_.Empty()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    if (!queue_.Peek(options_.batchOps, ops, error)) {
      Log(true, "catalogue replay queue: " + error);
      Failed(error);
      return;
    }
    if (ApplyOps(ops) < ops.size()) return;
    if (!queue_.Pop(error)) {
      Log(true, "catalogue replay queue: " + error);
      Failed(error);
      return;
    }
  }
  Log(false, "catalogue: queued writes replayed");
}

void CCatalogueWriter::Heal() {
  if (Clock::now() < nextTry_ || !Connect(true)) return;
  std::vector<SSegmentRow> rows;
  std::string error;
  if (!db_->OpenSegments(options_.recorder, rows, error)) {
    if (db_->LastFailure() == EFailure::kBroken) db_.reset();
    Failed(error);
    return;
  }
  const std::vector<SOp> ops = HealOps(rows, writing_);
  if (ApplyOps(ops) < ops.size()) return;
  healed_ = true;
  if (!ops.empty()) {
    Log(false, "catalogue: " + std::to_string(ops.size()) +
                   " segment rows left open by an earlier run brought in line with their files");
  }
}

}  // namespace qnvcat

#include "integrations/catalogue/CRecorderCatalogue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "base/Log.h"
#include "base/Time.h"
#include "qnvcatalogue/Journal.h"
#include "qnvcatalogue/SegmentFiles.h"
#include "qnvrecording/RecordingState.h"

namespace qnvrecorder {
namespace {

constexpr int64_t kDayUs = 86400LL * 1000000;
// This instance's own folders for the catalogue, below ROOT/.qnv-recorder/INSTANCE.
constexpr const char* kJournalFolder = "journal";
constexpr const char* kQueueFolder = "catalogue-queue";
// An event clip opens right after its first alarm; one that has not opened
// by then (storage trouble) leaves the event without its clip.
constexpr int64_t kClipWaitMs = 10000;
// An alarm storm meanwhile waits up to this many per camera; more are written at once.
constexpr size_t kMaxWaitingEvents = 1000;
// The reading connection retention uses is given little time: the directory
// listing is there when the database is slow.
constexpr int kReaderConnectSeconds = 2;
constexpr int kReaderStatementMs = 2000;
constexpr int kReaderCallMs = 3000;
constexpr int64_t kReaderRetryMs = 30000;
// A capture time this far from the arrival is the device's clock gone astray.
constexpr int64_t kPlausibleSkewUs = kDayUs;

std::string OwnFolder(const SStorageConfig& storage, const char* name) {
  std::string root = storage.root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root + "/" + kReservedFolder + "/" + storage.instance + "/" + name;
}

bool IsUp(const std::string& state) {
  return state == "connected" || state == "recording" || state == "disk full";
}

}  // namespace

SCatalogueSetup CatalogueSetup(const SStorageConfig& storage, const SCatalogueConfig& catalogue) {
  SCatalogueSetup s;
  s.target.rootOrUrl = catalogue.url.empty() ? storage.root : catalogue.url;
  s.target.password = catalogue.password;
  s.target.applicationName = "qnv-recorder";
  s.recorder =
      catalogue.recorder.empty() ? DefaultRecorderName(storage.instance) : catalogue.recorder;
  s.queueDir = OwnFolder(storage, kQueueFolder);
  s.journalDir = OwnFolder(storage, kJournalFolder);
  s.queueBytes = uint64_t(catalogue.queueMb) << 20;
  s.historyUs = int64_t(catalogue.historyDays * double(kDayUs));
  return s;
}

namespace {

qnvcat::SWriterOptions WriterOptions(const SCatalogueSetup& setup) {
  qnvcat::SWriterOptions o;
  o.recorder = setup.recorder;
  o.queueDir = setup.queueDir;
  o.queueShown = setup.queueShown;
  o.queueMaxBytes = setup.queueBytes;
  o.journalDir = setup.journalDir;
  // Rows left open are healed once the start's repairs are done
  // (RepairsDone): both read the same torn files.
  o.heal = false;
  o.log = [](bool warning, const std::string& text) {
    if (warning) {
      LOG_WARN("%s", text.c_str());
    } else {
      LOG_INFO("%s", text.c_str());
    }
  };
  return o;
}

}  // namespace

SCatalogueSetup CRecorderCatalogue::OwnFolders(SCatalogueSetup setup, const CStorageRoot& root,
                                               UniqueFd& journal, UniqueFd& queue,
                                               std::string& error) {
  journal = root.MakeOwnFolder(kJournalFolder, error);
  if (journal.Valid()) queue = root.MakeOwnFolder(kQueueFolder, error);
  if (!queue.Valid()) return setup;
  const std::string journalPath = root.FdPath(journal.Get(), ".");
  const std::string queuePath = root.FdPath(queue.Get(), ".");
  if (!journalPath.empty() && !queuePath.empty()) {
    setup.queueShown = setup.queueDir;
    setup.journalDir = journalPath;
    setup.queueDir = queuePath;
  }
  return setup;
}

CRecorderCatalogue::CRecorderCatalogue(const SStorageConfig& storage,
                                       const SCatalogueConfig& catalogue, const CStorageRoot& root)
    : m_setup(OwnFolders(CatalogueSetup(storage, catalogue), root, m_journalFd, m_queueFd,
                         m_foldersError)),
      m_root(root),
      m_writer(m_setup.target, WriterOptions(m_setup)),
      m_readerAbort(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CRecorderCatalogue::~CRecorderCatalogue() { Stop(); }

bool CRecorderCatalogue::Start(std::string& error) {
  if (!m_journalFd.Valid() || !m_queueFd.Valid()) {
    error = "catalogue: " + m_foldersError;
    return false;
  }
  if (!m_writer.Start(error)) return false;
  if (!m_readerThread.joinable()) {
    {
      qnv::locks::CLockGuard lock(m_planMutex);
      m_readerStopping = false;
    }
    m_readerThread = std::thread([this] { RunReader(); });
  }
  LOG_INFO("catalogue: %s as recorder %s (journal %s/%s)",
           qnvcat::DescribeTarget(m_setup.target.rootOrUrl).c_str(), m_setup.recorder.c_str(),
           m_root.OwnPath().c_str(), kJournalFolder);
  return true;
}

void CRecorderCatalogue::Stop() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    FlushPending({}, {}, INT64_MAX);
  }
  StopReader();
  m_writer.Stop();
}

void CRecorderCatalogue::StopReader() {
  {
    qnv::locks::CLockGuard lock(m_planMutex);
    m_readerStopping = true;
  }
  m_planWake.notify_all();
  // A reading call under way gives up at once.
  if (m_readerAbort.Valid()) {
    const uint64_t one = 1;
    (void)!::write(m_readerAbort.Get(), &one, sizeof one);
  }
  if (m_readerThread.joinable()) m_readerThread.join();
  m_reader.reset();
  uint64_t drained = 0;
  if (m_readerAbort.Valid()) (void)!::read(m_readerAbort.Get(), &drained, sizeof drained);
}

std::string CRecorderCatalogue::DataPath(const SSegment& segment) {
  return segment.stemPath + kSegmentExtension;
}

int64_t CRecorderCatalogue::NextEventId() { return m_writer.NextEventId(); }

void CRecorderCatalogue::SegmentOpened(const SSegment& segment, bool handover) {
  const std::string path = DataPath(segment);
  std::string camera;
  int64_t startUs = 0;
  if (!qnvcat::ParseSegmentPath(path, camera, startUs)) startUs = UnixMs() * 1000;
  qnv::locks::CLockGuard lock(m_mutex);
  if (handover) {
    // Its row opens in the step that closes the one it takes over from.
    m_handover[segment.camera] = {path, startUs};
    return;
  }
  m_open[segment.camera] = {path, startUs};
  m_writer.SegmentOpened(segment.camera, path, startUs);
  FlushPending(segment.camera, path, UnixMs());
}

void CRecorderCatalogue::SegmentClosed(const SSegment& segment) {
  const std::string path = DataPath(segment);
  qnv::locks::CLockGuard lock(m_mutex);
  ForgetOpen(segment.camera, path);
  auto next = m_handover.find(segment.camera);
  if (next != m_handover.end() && next->second.first != path) {
    const auto [opened, startUs] = next->second;
    m_handover.erase(next);
    m_open[segment.camera] = {opened, startUs};
    m_writer.SegmentRolled(segment.camera, path, opened, startUs);
    return;
  }
  if (next != m_handover.end()) m_handover.erase(next);  // it ended before the one it followed
  m_writer.SegmentClosed(segment.camera, path);
}

void CRecorderCatalogue::ForgetOpen(const std::string& camera, const std::string& path) {
  auto it = m_open.find(camera);
  if (it != m_open.end() && it->second.path == path) m_open.erase(it);
}

void CRecorderCatalogue::SegmentRepaired(const SSegment& segment, const qnvrec::SRepairNote&) {
  qnv::locks::CLockGuard lock(m_mutex);
  m_writer.SegmentRepaired(segment.camera, DataPath(segment));
}

void CRecorderCatalogue::RepairsDone() { m_writer.HealOpenRows(); }

void CRecorderCatalogue::SegmentFound(const SSegment& segment) {
  qnv::locks::CLockGuard lock(m_mutex);
  if (segment.Has(ESegmentFile::kRepairNote)) {
    m_writer.SegmentRepaired(segment.camera, DataPath(segment));
  } else {
    m_writer.SegmentClosed(segment.camera, DataPath(segment));
  }
}

void CRecorderCatalogue::SegmentDeleted(const SSegment& segment, const char* why) {
  const std::string path = DataPath(segment);
  qnv::locks::CLockGuard lock(m_mutex);
  ForgetOpen(segment.camera, path);
  auto next = m_handover.find(segment.camera);
  if (next != m_handover.end() && next->second.first == path) m_handover.erase(next);
  if (std::string(why) == "retention") {
    m_writer.SegmentDeleted(path);  // history: the row stays, marked deleted
  } else {
    m_writer.SegmentForgotten(path);  // it never held a picture: no row
  }
}

void CRecorderCatalogue::AlarmEvent(const SAlarmEvent& event) {
  const qnvnet_alarm& a = event.alarm;
  qnvcat::SEventRow row;
  row.id = event.eventId;
  row.camera = event.camera;
  const int64_t arrivedUs = event.arrivedUnixMs * 1000;
  const int64_t captureUs = int64_t(a.capture_us);
  // The frames' clock when the device's is believable, as the segments' times.
  row.timeUs = a.capture_us != 0 && std::llabs(captureUs - arrivedUs) < kPlausibleSkewUs
                   ? captureUs
                   : arrivedUs;
  row.rule = a.rule;
  row.channel = a.channel;
  row.box = qnvcat::SBox{a.box[0], a.box[1], a.box[2], a.box[3]};
  row.sequence = a.sequence;
  row.segment = event.segment;
  if (event.clip) row.clip = event.segment;
  qnv::locks::CLockGuard lock(m_mutex);
  FlushPending({}, {}, event.arrivedUnixMs);
  if (event.clip && event.segment.empty()) {
    std::vector<SPendingEvent>& waiting = m_pending[event.camera];
    if (waiting.size() < kMaxWaitingEvents) {
      waiting.push_back({std::move(row), event.arrivedUnixMs + kClipWaitMs});
      return;
    }
  }
  m_writer.Event(std::move(row));
}

void CRecorderCatalogue::FlushPending(const std::string& camera, const std::string& clip,
                                      int64_t nowMs) {
  for (auto it = m_pending.begin(); it != m_pending.end();) {
    std::vector<SPendingEvent>& events = it->second;
    const bool opened = !camera.empty() && it->first == camera;
    auto keep = events.begin();
    for (SPendingEvent& e : events) {
      if (opened) {
        e.row.clip = e.row.segment = clip;
      } else if (e.dueUnixMs > nowMs) {
        *keep++ = std::move(e);
        continue;
      }
      m_writer.Event(std::move(e.row));
    }
    events.erase(keep, events.end());
    it = events.empty() ? m_pending.erase(it) : std::next(it);
  }
}

void CRecorderCatalogue::CameraState(const SCameraStatus& status) {
  const bool up = IsUp(status.state);
  if (!up && status.state != "down" && status.state != "stopped") return;  // connecting
  std::string reason;
  if (status.state == "stopped") {
    reason = "stopped";
  } else if (!up) {
    reason = FaultCode(status.fault.kind);
    if (!status.fault.text.empty()) reason += ": " + status.fault.text;
  }
  qnv::locks::CLockGuard lock(m_mutex);
  auto last = m_lastState.find(status.name);
  if (last != m_lastState.end() && last->second == std::make_pair(up, reason)) return;
  m_lastState[status.name] = {up, reason};
  qnvcat::SStateRow row;
  row.camera = status.name;
  row.timeUs = UnixMs() * 1000;
  row.state = up ? qnvcat::ECameraState::kUp : qnvcat::ECameraState::kDown;
  row.reason = reason;
  m_writer.StateChange(std::move(row));
}

void CRecorderCatalogue::StatusTick(const std::vector<SCameraStatus>& cameras) {
  qnv::locks::CLockGuard lock(m_mutex);
  FlushPending({}, {}, UnixMs());
  for (const SCameraStatus& c : cameras) {
    // The open row's latest picture, for live timelines.
    if (c.segment.empty() || c.lastFrameUnixMs == 0) continue;
    auto it = m_open.find(c.name);
    if (it == m_open.end()) continue;
    const SOpenRow& row = it->second;
    if (row.path != c.segment) {
      // The camera names the segment to come while the one it takes over
      // from is still written, up to a group of pictures: that one's row.
      auto next = m_handover.find(c.name);
      if (next == m_handover.end() || next->second.first != c.segment) continue;
    }
    const int64_t lastUs = std::max(row.startUs, c.lastFrameUnixMs * 1000);
    m_writer.SegmentProgress(c.name, row.path, row.startUs, lastUs, 0, 0, qnvcat::EClock::kArrival);
  }
}

void CRecorderCatalogue::RunReader() {
  for (;;) {
    SPlanRequest request;
    {
      qnv::locks::CUniqueLock lock(m_planMutex);
      m_planWake.wait(lock.Native(), [&]() REQUIRES(m_planMutex) {
        return m_readerStopping || m_planRequest.has_value();
      });
      if (m_readerStopping) return;
      request = std::move(*m_planRequest);
      m_planRequest.reset();
    }
    std::vector<std::string> remove;
    const bool ok = Plan(request, remove);
    {
      qnv::locks::CLockGuard lock(m_planMutex);
      m_planOk = ok;
      m_planRemove = std::move(remove);
      m_planAnswered = m_planAsked;
      m_planBusy = false;
    }
    m_planWake.notify_all();
  }
}

bool CRecorderCatalogue::Reader() {
  if (m_reader) return true;
  if (MonoMs() < m_readerRetryMs) return false;
  qnvcat::STarget target = m_setup.target;
  target.connectTimeoutSeconds = kReaderConnectSeconds;
  target.statementTimeoutMs = kReaderStatementMs;
  target.callTimeoutMs = kReaderCallMs;
  target.abortFd = m_readerAbort.Get();
  target.busyTimeoutMs = kReaderStatementMs;
  std::string error;
  m_reader = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kRead, error);
  if (!m_reader) {
    m_readerRetryMs = MonoMs() + kReaderRetryMs;
    LOG_WARN("catalogue: retention lists the folders for now: %s", error.c_str());
    return false;
  }
  return true;
}

bool CRecorderCatalogue::PlanRetention(const std::map<std::string, SRetentionLimits>& perCamera,
                                       const SRetentionLimits& defaults, uint64_t overallBytes,
                                       const std::set<std::string>& openStems, time_t now,
                                       std::vector<std::string>& remove, size_t most) {
  remove.clear();
  // Behind with its writes, the catalogue would not know what is on disk.
  const qnvcat::SWriterStats stats = m_writer.Stats();
  if (!stats.connected || stats.queuedBytes > 0 || !stats.healed) return false;
  qnv::locks::CUniqueLock lock(m_planMutex);
  // An earlier question still waits for the database: the folders this time.
  if (m_planBusy || m_readerStopping || !m_readerThread.joinable()) return false;
  m_planRequest = SPlanRequest{perCamera, defaults, overallBytes, openStems, now, most};
  m_planBusy = true;
  const uint64_t asked = ++m_planAsked;
  m_planWake.notify_all();
  if (!m_planWake.wait_for(
          lock.Native(), std::chrono::milliseconds(kPlanWaitMs),
          [&]() REQUIRES(m_planMutex) { return m_planAnswered == asked || m_readerStopping; }) ||
      m_planAnswered != asked) {
    return false;
  }
  remove = std::move(m_planRemove);
  m_planRemove.clear();
  return m_planOk;
}

bool CRecorderCatalogue::Plan(const SPlanRequest& request, std::vector<std::string>& remove) {
  remove.clear();
  if (!Reader()) return false;
  const std::map<std::string, SRetentionLimits>& perCamera = request.perCamera;
  const SRetentionLimits& defaults = request.defaults;
  const uint64_t overallBytes = request.overallBytes;
  const std::set<std::string>& openStems = request.openStems;
  const time_t now = request.now;
  const size_t most = request.most;
  std::string error;
  auto failed = [&] {
    LOG_WARN("catalogue: retention lists the folders for now: %s", error.c_str());
    m_reader.reset();
    m_readerRetryMs = MonoMs() + kReaderRetryMs;
    return false;
  };
  std::vector<qnvcat::SUsage> usage;
  if (!m_reader->Usage(m_setup.recorder, usage, error)) return failed();
  auto limits = [&](const std::string& camera) -> const SRetentionLimits& {
    auto it = perCamera.find(camera);
    return it == perCamera.end() ? defaults : it->second;
  };
  std::map<std::string, uint64_t> bytes;
  uint64_t total = 0;
  for (const qnvcat::SUsage& u : usage) {
    if (!perCamera.count(u.camera)) continue;  // not configured: not this run's to remove
    bytes[u.camera] = u.bytes;
    total += u.bytes;
  }
  const int64_t nowUs = int64_t(now) * 1000000;
  std::set<std::string> chosen;
  auto take = [&](const qnvcat::SSegmentRow& r) {
    chosen.insert(r.path);
    remove.push_back(r.path);
    bytes[r.camera] -= std::min(bytes[r.camera], r.bytes);
    total -= std::min(total, r.bytes);
  };
  auto isOpen = [&](const qnvcat::SSegmentRow& r) {
    const size_t ext =
        r.path.size() - std::min(r.path.size(), std::string(kSegmentExtension).size());
    return openStems.count(r.path.substr(0, ext)) > 0;
  };
  std::vector<qnvcat::SSegmentRow> rows;
  for (const qnvcat::SUsage& u : usage) {
    if (!perCamera.count(u.camera)) continue;
    const SRetentionLimits& lim = limits(u.camera);
    const int64_t maxAgeUs = int64_t(lim.keepDays * double(kDayUs));
    const bool aged = lim.keepDays > 0 && nowUs - u.oldestUs > maxAgeUs;
    if (!aged && !(lim.keepBytes > 0 && bytes[u.camera] > lim.keepBytes)) continue;
    if (!m_reader->OldestSegments(m_setup.recorder, u.camera, most, rows, error)) return failed();
    for (const qnvcat::SSegmentRow& r : rows) {
      if (remove.size() >= most) break;
      if (isOpen(r)) continue;
      const bool old = lim.keepDays > 0 && nowUs - r.lastUs > maxAgeUs;
      const bool over = lim.keepBytes > 0 && bytes[u.camera] > lim.keepBytes;
      if (!old && !over) break;
      take(r);
    }
  }
  if (overallBytes > 0 && total > overallBytes && remove.size() < most) {
    if (!m_reader->OldestSegments(m_setup.recorder, {}, most, rows, error)) return failed();
    for (const qnvcat::SSegmentRow& r : rows) {
      if (total <= overallBytes || remove.size() >= most) break;
      if (!perCamera.count(r.camera) || chosen.count(r.path) || isOpen(r)) continue;
      take(r);
    }
  }
  return true;
}

void CRecorderCatalogue::PruneHistory(time_t now) {
  const int64_t day = int64_t(now) / 86400;
  if (m_setup.historyUs <= 0 || day == m_prunedDay) return;
  m_prunedDay = day;
  const int64_t before = int64_t(now) * 1000000 - m_setup.historyUs;
  m_writer.PurgeDeleted(before);
  if (const size_t n = qnvcat::PruneJournal(m_setup.journalDir, before)) {
    LOG_INFO("catalogue: %zu journal day(s) older than history_days removed", n);
  }
}

bool CRecorderCatalogue::Rebuild(const SStorageConfig& storage, const SCatalogueConfig& catalogue,
                                 const std::vector<std::string>& cameras,
                                 const std::function<void(uint64_t, uint64_t)>& progress,
                                 qnvcat::SRebuildResult& result, std::string& error) {
  const SCatalogueSetup setup = CatalogueSetup(storage, catalogue);
  std::unique_ptr<qnvcat::ICatalogue> db =
      qnvcat::OpenCatalogue(setup.target, qnvcat::EOpenMode::kWrite, error);
  if (!db) return false;
  qnvcat::SRebuildOptions o;
  o.recorder = setup.recorder;
  o.root = storage.root;
  while (o.root.size() > 1 && o.root.back() == '/') o.root.pop_back();
  o.cameras.insert(cameras.begin(), cameras.end());
  if (::access(setup.journalDir.c_str(), F_OK) == 0) o.journalDir = setup.journalDir;
  o.isRepaired = [](const std::string& path) {
    return ::access(qnvrec::RepairNotePathFor(path).c_str(), F_OK) == 0;
  };
  o.progress = progress;
  return qnvcat::RebuildCatalogue(*db, o, result, error);
}

}  // namespace qnvrecorder

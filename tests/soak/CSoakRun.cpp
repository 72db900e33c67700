#include "CSoakRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "QNVNetSdk.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnv::soak {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kUserValue = 0x50AC;
constexpr auto kStepPause = std::chrono::milliseconds(100);
constexpr auto kCommandPause = std::chrono::milliseconds(10);
constexpr double kProgressEverySeconds = 30;
constexpr uint16_t kRebootSelector = 11;
constexpr size_t kOpenRecordingsTarget = 16;
// Memory the process may hold after a run without it being a leak: what
// malloc keeps in its per-thread arenas even after a trim (RSS), and what the
// library keeps allocated once (registry capacity and the like; heap).
constexpr uint64_t kRssToleranceKiB = 32 * 1024;
constexpr uint64_t kHeapToleranceKiB = 2 * 1024;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool In(uint32_t rc, std::initializer_list<uint32_t> allowed) {
  return std::find(allowed.begin(), allowed.end(), rc) != allowed.end();
}

}  // namespace

CSoakRun* CSoakRun::current_ = nullptr;

CSoakRun::CSoakRun(SSoakOptions options) : options_(std::move(options)), random_(options_.seed) {
  current_ = this;
}

CSoakRun::~CSoakRun() { current_ = nullptr; }

void CSoakRun::Expect(uint32_t rc, std::initializer_list<uint32_t> allowed, const char* what) {
  if (In(rc, allowed)) return;
  if (figures_.unexpectedResults++ < 20)
    std::fprintf(stderr, "qnv-soak: %s returned %d (%s)\n", what, int32_t(rc), QnvResultText(rc));
}

bool CSoakRun::OnFrame(uint32_t clientId, char*, uint16_t, char* frame, int32_t length, uint32_t) {
  CSoakRun* self = current_;
  const uint64_t n = ++self->figures_.frames;
  self->figures_.frameBytes += uint64_t(length);
  if (length < 40 || std::memcmp(frame + 4, "QNVV", 4) != 0 || uint8_t(frame[35]) > 2)
    ++self->figures_.badFrames;
  // Now and then an export from the receive thread.
  if (n % 4096 == 0) {
    int32_t state = 0;
    self->Expect(QNVNet_IsRuleEnable(clientId, state),
                 {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION},
                 "IsRuleEnable from the stream callback");
    ++self->figures_.callbackExports;
  }
  return true;
}

bool CSoakRun::OnDisconnect(uint32_t clientId, char*, uint16_t port, uint32_t user) {
  CSoakRun* self = current_;
  if (user != kUserValue) ++self->figures_.unexpectedResults;
  bool stream = false;
  for (auto& d : self->devices_) stream = stream || port == uint16_t(d->Port() + 2);
  {
    std::lock_guard<std::mutex> lock(self->eventsMutex_);
    self->events_.push_back({clientId, stream});
  }
  if (stream) {
    ++self->figures_.streamDisconnects;
    // The session may well be alive: ask it something.
    self->Expect(QNVNet_PTZCtrlSend(clientId, 0, 0, 0, 0),
                 {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION},
                 "PTZCtrlSend from the disconnect callback");
  } else {
    ++self->figures_.commandDisconnects;
    // The library logs the session out after this returns; doing it here is allowed too.
    QNVNet_DevLogout(clientId);
  }
  ++self->figures_.callbackExports;
  return true;
}

std::string CSoakRun::NewRecordingPath() {
  const uint64_t n = ++recordingSerial_;
  // Several folders, made on demand by the library.
  return options_.dir + "/d" + std::to_string(n % 7) + "/r" + std::to_string(n) + ".dat";
}

void CSoakRun::ForgetSession(uint32_t clientId) {
  for (size_t i = channels_.size(); i-- > 0;) {
    if (channels_[i].clientId != clientId) continue;
    // The library closed its recordings when it logged the session out.
    for (auto& r : channels_[i].recordings) {
      ++figures_.recordingsEndedWithChannel;
      std::lock_guard<std::mutex> lock(verifyMutex_);
      toVerify_.push_back(r.path);
    }
    verifyWake_.notify_one();
    channels_.erase(channels_.begin() + std::ptrdiff_t(i));
  }
  auto it = std::find_if(sessions_.begin(), sessions_.end(),
                         [&](const SSession& s) { return s.clientId == clientId; });
  if (it == sessions_.end()) return;
  sessions_.erase(it);
  ++figures_.sessionsLost;
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  sessionIds_.erase(std::remove(sessionIds_.begin(), sessionIds_.end(), clientId),
                    sessionIds_.end());
}

void CSoakRun::Reconcile() {
  std::vector<SEvent> events;
  {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    events.swap(events_);
  }
  for (const SEvent& e : events) {
    if (e.stream) {
      // The host cannot tell which channel of the session lost its stream:
      // it closes them all, and new ones are opened.
      for (size_t i = channels_.size(); i-- > 0;)
        if (channels_[i].clientId == e.clientId) CloseChannel(i);
    } else if (QNVNet_PTZCtrlSend(e.clientId, 0, 0, 0, 0) == QNVNET_ERR_NO_SESSION) {
      // Client ids are socket numbers and come back: forget only what is gone.
      ForgetSession(e.clientId);
    }
  }
}

void CSoakRun::EnsureSessions() {
  for (int d = 0; d < int(devices_.size()); ++d) {
    int have = int(std::count_if(sessions_.begin(), sessions_.end(),
                                 [&](const SSession& s) { return s.device == d; }));
    for (; have < options_.sessionsPerDevice; ++have) {
      uint32_t id = 0;
      uint32_t rc = QNVNet_DevLogin(&id, "127.0.0.1", devices_[d]->Port(), "admin", "admin");
      if (rc != 0) {
        ++figures_.loginFailures;  // a device in the middle of a reboot
        Expect(rc, {QNVNET_ERR_NO_SESSION}, "DevLogin");
        break;
      }
      ++figures_.logins;
      sessions_.push_back({id, d});
      std::lock_guard<std::mutex> lock(sessionsMutex_);
      sessionIds_.push_back(id);
    }
  }
}

void CSoakRun::EnsureChannels() {
  for (int attempts = 0; attempts < 8 && int(channels_.size()) < options_.channels; ++attempts) {
    if (sessions_.empty()) return;
    // The session with the fewest channels.
    const SSession* best = nullptr;
    size_t fewest = SIZE_MAX;
    for (const SSession& s : sessions_) {
      size_t n = size_t(std::count_if(channels_.begin(), channels_.end(),
                                      [&](const SChannel& c) { return c.clientId == s.clientId; }));
      if (n < fewest) {
        fewest = n;
        best = &s;
      }
    }
    const uint32_t clientId = best->clientId;
    uint32_t handle = 0;
    uint32_t rc = QNVNet_LiveOpen(&handle, clientId, nullptr);
    if (rc == 0) {
      ++figures_.channelOpens;
      channels_.push_back({handle, clientId, {}});
      continue;
    }
    ++figures_.channelOpenFailures;
    Expect(rc, {QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION, QNVNET_ERR_NO_CHANNEL},
           "LiveOpen");
    if (rc == QNVNET_ERR_NO_SESSION) ForgetSession(clientId);
    return;
  }
}

void CSoakRun::CloseChannel(size_t index) {
  SChannel channel = channels_[index];
  channels_.erase(channels_.begin() + std::ptrdiff_t(index));
  for (const SRecording& r : channel.recordings) {
    uint32_t rc = QNVNet_LiveSaveClose(channel.handle, r.id);
    Expect(rc, {0, QNVNET_ERR_NO_SAVE, QNVNET_ERR_NO_SESSION}, "LiveSaveClose");
    if (rc == 0)
      ++figures_.recordingsClosedByHost;
    else
      ++figures_.recordingsEndedWithChannel;
    std::lock_guard<std::mutex> lock(verifyMutex_);
    toVerify_.push_back(r.path);
  }
  verifyWake_.notify_one();
  uint32_t rc = QNVNet_LiveClose(channel.handle);
  Expect(rc, {0, QNVNET_ERR_NO_SESSION}, "LiveClose");
  if (rc == 0) ++figures_.channelCloses;
}

void CSoakRun::StartRecording() {
  std::vector<size_t> candidates;
  for (size_t i = 0; i < channels_.size(); ++i)
    if (int(channels_[i].recordings.size()) < options_.recordingsPerChannel)
      candidates.push_back(i);
  if (candidates.empty()) return;
  SChannel& channel = channels_[candidates[random_() % candidates.size()]];
  const std::string path = NewRecordingPath();
  uint32_t id = 0;
  uint32_t rc = QNVNet_LiveSaveOpen(channel.handle, path.c_str(), id);
  if (rc == 0) {
    ++figures_.recordingsOpened;
    channel.recordings.push_back({id, path});
    return;
  }
  ++figures_.recordingOpenFailures;
  Expect(rc, {QNVNET_ERR_NO_SESSION}, "LiveSaveOpen");
  if (rc == QNVNET_ERR_NO_SESSION) ForgetSession(channel.clientId);
}

void CSoakRun::StopRecording() {
  std::vector<size_t> candidates;
  for (size_t i = 0; i < channels_.size(); ++i)
    if (!channels_[i].recordings.empty()) candidates.push_back(i);
  if (candidates.empty()) return;
  SChannel& channel = channels_[candidates[random_() % candidates.size()]];
  const size_t which = random_() % channel.recordings.size();
  const SRecording r = channel.recordings[which];
  uint32_t rc = QNVNet_LiveSaveClose(channel.handle, r.id);
  Expect(rc, {0, QNVNET_ERR_NO_SAVE, QNVNET_ERR_NO_SESSION}, "LiveSaveClose");
  if (rc == QNVNET_ERR_NO_SESSION) {
    ForgetSession(channel.clientId);  // queues this recording too
    return;
  }
  if (rc == 0) ++figures_.recordingsClosedByHost;
  channel.recordings.erase(channel.recordings.begin() + std::ptrdiff_t(which));
  {
    std::lock_guard<std::mutex> lock(verifyMutex_);
    toVerify_.push_back(r.path);
  }
  verifyWake_.notify_one();
}

void CSoakRun::DropDevice() {
  const int d = int(random_() % devices_.size());
  // Every other time the device is told to reboot through one of its sessions.
  if ((figures_.drops + figures_.reboots) % 2 == 1) {
    for (const SSession& s : sessions_) {
      if (s.device != d) continue;
      uint8_t none[4] = {};
      int32_t length = 0;
      uint32_t rc = QNVNet_ManageSendSysCmd(s.clientId, kRebootSelector, none, length);
      Expect(rc, {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION}, "reboot");
      ++figures_.reboots;
      return;
    }
  }
  devices_[d]->DropAllConnections();
  ++figures_.drops;
}

void CSoakRun::Step() {
  Reconcile();
  EnsureSessions();
  EnsureChannels();
  size_t open = 0;
  for (const SChannel& c : channels_) open += c.recordings.size();
  const uint32_t r = random_() % 100;
  if (r < 10) {
    if (!channels_.empty()) CloseChannel(random_() % channels_.size());
  } else if (r < 35) {
    // Some recordings stay open a while; their number hovers around the target.
    if (open < kOpenRecordingsTarget)
      StartRecording();
    else
      StopRecording();
  } else if (r < 55) {
    StopRecording();
  } else if (r < 65 && !sessions_.empty()) {
    const uint32_t id = sessions_[random_() % sessions_.size()].clientId;
    Expect(QNVNet_PTZCtrlSend(id, 1 + random_() % 7, 1, 1, 1),
           {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION}, "PTZCtrlSend");
  }
}

void CSoakRun::CloseEverything() {
  Reconcile();
  while (!channels_.empty()) CloseChannel(channels_.size() - 1);
  for (const SSession& s : sessions_) QNVNet_DevLogout(s.clientId);
  sessions_.clear();
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  sessionIds_.clear();
}

void CSoakRun::CommandLoop() {
  std::mt19937 random(options_.seed * 7 + 1);
  uint8_t buf[512];
  while (!stop_.load()) {
    uint32_t id = 0;
    {
      std::lock_guard<std::mutex> lock(sessionsMutex_);
      if (!sessionIds_.empty()) id = sessionIds_[random() % sessionIds_.size()];
    }
    if (id != 0) {
      int32_t length = sizeof buf;
      uint32_t rc = 0;
      switch (random() % 4) {
        case 0:
          rc = QNVNet_PTZGetParam(id, random() % 3, buf, length);
          break;
        case 1:
          rc = QNVNet_ManageGetSysConfig(id, 13, buf, length);
          break;
        case 2:
          rc = QNVNet_IsRuleEnable(id, length);
          break;
        default:
          rc = QNVNet_AlgorSetParam(id, 50, buf, 16);
          break;
      }
      ++figures_.commands;
      if (rc != 0) ++figures_.commandFailures;
      Expect(rc, {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION}, "command");
    }
    std::this_thread::sleep_for(kCommandPause);
  }
}

void CSoakRun::Verify(const std::string& path) {
  qnvrec::CRecordingReader reader;
  std::string error;
  const std::string index = qnvrec::IndexPathFor(path);
  bool ok = reader.Open(path, index, error);
  ++figures_.recordingsChecked;
  if (ok && reader.Summary().Consistent()) {
    figures_.recordedFrames += reader.Summary().frames;
    figures_.recordedBytes += reader.Summary().bodyBytes;
    if (reader.Summary().frames == 0) ++figures_.recordingsEmpty;
    ::unlink(path.c_str());
    ::unlink(index.c_str());
    return;
  }
  ++figures_.recordingsInconsistent;
  std::string why = ok ? reader.Summary().problems.front() : error;
  std::fprintf(stderr, "qnv-soak: recording %s is not consistent: %s\n", path.c_str(), why.c_str());
  std::lock_guard<std::mutex> lock(verifyMutex_);
  badRecordings_.push_back(path);
}

void CSoakRun::VerifyLoop() {
  std::unique_lock<std::mutex> lock(verifyMutex_);
  for (;;) {
    verifyWake_.wait(lock, [&] { return verifyDone_ || !toVerify_.empty(); });
    if (toVerify_.empty()) return;
    std::string path = toVerify_.front();
    toVerify_.pop_front();
    lock.unlock();
    Verify(path);
    lock.lock();
  }
}

bool CSoakRun::Pass(double seconds, bool progress, FILE* log) {
  if (QNVNet_InitLib() != 0) {
    std::fprintf(stderr, "qnv-soak: QNVNet_InitLib failed\n");
    return false;
  }
  stop_ = false;
  std::thread commands(&CSoakRun::CommandLoop, this);
  const auto start = Clock::now();
  double nextDrop = options_.dropEverySeconds;
  double nextProgress = kProgressEverySeconds;
  while (Since(start) < seconds) {
    Step();
    if (options_.dropEverySeconds > 0 && Since(start) >= nextDrop) {
      DropDevice();
      nextDrop += options_.dropEverySeconds;
    }
    if (progress && Since(start) >= nextProgress) {
      SProcessStats now = ReadProcessStats();
      peak_.rssKiB = std::max(peak_.rssKiB, now.rssKiB);
      peak_.heapKiB = std::max(peak_.heapKiB, now.heapKiB);
      peak_.threads = std::max(peak_.threads, now.threads);
      peak_.descriptors = std::max(peak_.descriptors, now.descriptors);
      size_t recordings = 0;
      for (auto& c : channels_) recordings += c.recordings.size();
      std::fprintf(log,
                   "[%5.0f s] %zu sessions, %zu channels, %zu recordings open; %llu frames, "
                   "%llu recordings checked (%llu inconsistent), %llu drops+reboots; %s\n",
                   Since(start), sessions_.size(), channels_.size(), recordings,
                   (unsigned long long)figures_.frames.load(),
                   (unsigned long long)figures_.recordingsChecked.load(),
                   (unsigned long long)figures_.recordingsInconsistent.load(),
                   (unsigned long long)(figures_.drops + figures_.reboots), Describe(now).c_str());
      std::fflush(log);
      nextProgress += kProgressEverySeconds;
    }
    std::this_thread::sleep_for(kStepPause);
  }
  stop_ = true;
  commands.join();
  CloseEverything();
  QNVNet_UnInitLib();
  // Reports that raced with the shutdown name sessions that are gone.
  std::lock_guard<std::mutex> lock(eventsMutex_);
  events_.clear();
  return true;
}

bool CSoakRun::Run(FILE* log) {
  ::mkdir(options_.dir.c_str(), 0755);
  for (int d = 0; d < options_.devices; ++d) {
    devsim::SimulatorOptions o;
    o.syntheticWidth = 320;
    o.syntheticHeight = 240;
    o.syntheticBitrate = options_.bitrate;
    o.syntheticGop = 25;
    // The devices' request logs would otherwise grow for the whole run and
    // show as memory the process did not give back.
    o.maxLoggedRequests = 64;
    auto sim = std::make_unique<devsim::Simulator>(o);
    if (!sim->Start()) {
      std::fprintf(stderr, "qnv-soak: device %d did not start: %s\n", d, sim->LastError().c_str());
      return false;
    }
    devices_.push_back(std::move(sim));
  }
  QNVNet_SetCallback(nullptr, &CSoakRun::OnFrame, &CSoakRun::OnDisconnect, kUserValue);
  std::thread verifier(&CSoakRun::VerifyLoop, this);
  auto drained = [&] {
    std::lock_guard<std::mutex> lock(verifyMutex_);
    return toVerify_.empty();
  };

  // A warm-up pass fills the allocator's pools and loads what is loaded
  // once; what the process holds after it is the baseline.
  const double total = options_.minutes * 60;
  const double warm = std::clamp(total * 0.1, 10.0, 60.0);
  std::fprintf(log, "qnv-soak: warm-up for %.0f s\n", warm);
  Pass(warm, false, log);
  while (!drained()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::seconds(2));  // devices close their side
  TrimHeap();
  baseline_ = peak_ = ReadProcessStats();
  figures_.Reset();  // the figures are the soak's own
  std::fprintf(log, "qnv-soak: baseline %s; soak for %.0f s\n", Describe(baseline_).c_str(), total);

  const auto start = Clock::now();
  Pass(total, true, log);
  seconds_ = Since(start);
  while (!drained()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Threads and descriptors must come back exactly; give the devices a moment.
  for (int i = 0; i < 100; ++i) {
    TrimHeap();
    final_ = ReadProcessStats();
    if (final_.threads == baseline_.threads && final_.descriptors == baseline_.descriptors) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  {
    std::lock_guard<std::mutex> lock(verifyMutex_);
    verifyDone_ = true;
  }
  verifyWake_.notify_one();
  verifier.join();
  QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
  devices_.clear();

  return figures_.recordingsInconsistent == 0 && figures_.badFrames == 0 &&
         figures_.unexpectedResults == 0 && final_.threads == baseline_.threads &&
         final_.descriptors == baseline_.descriptors &&
         final_.rssKiB <= baseline_.rssKiB + kRssToleranceKiB &&
         final_.heapKiB <= baseline_.heapKiB + kHeapToleranceKiB;
}

void CSoakRun::PrintFigures(FILE* out) const {
  auto n = [](const std::atomic<uint64_t>& v) { return (unsigned long long)v.load(); };
  const SSoakFigures& f = figures_;
  std::fprintf(out, "qnv-soak figures over %.0f s (%d devices, %d sessions each, %d channels):\n",
               seconds_, options_.devices, options_.sessionsPerDevice, options_.channels);
  std::fprintf(out,
               "  sessions:   %llu logins, %llu refused, %llu lost; %llu drops, %llu reboots\n",
               n(f.logins), n(f.loginFailures), n(f.sessionsLost), n(f.drops), n(f.reboots));
  std::fprintf(out, "  channels:   %llu opened, %llu refused, %llu closed\n", n(f.channelOpens),
               n(f.channelOpenFailures), n(f.channelCloses));
  std::fprintf(out, "  frames:     %llu delivered (%.1f MiB), %llu malformed\n", n(f.frames),
               f.frameBytes.load() / 1048576.0, n(f.badFrames));
  std::fprintf(out,
               "  recordings: %llu opened (%llu refused), %llu closed by the host, %llu ended "
               "with their channel\n",
               n(f.recordingsOpened), n(f.recordingOpenFailures), n(f.recordingsClosedByHost),
               n(f.recordingsEndedWithChannel));
  std::fprintf(out,
               "              %llu checked: %llu inconsistent, %llu empty; %llu frames, %.1f MiB\n",
               n(f.recordingsChecked), n(f.recordingsInconsistent), n(f.recordingsEmpty),
               n(f.recordedFrames), f.recordedBytes.load() / 1048576.0);
  std::fprintf(out,
               "  callbacks:  %llu command and %llu stream disconnects, %llu exports called "
               "from callbacks\n",
               n(f.commandDisconnects), n(f.streamDisconnects), n(f.callbackExports));
  std::fprintf(out,
               "  commands:   %llu from a second thread, %llu failed; %llu unexpected results\n",
               n(f.commands), n(f.commandFailures), n(f.unexpectedResults));
  std::fprintf(out, "  process:    baseline %s\n", Describe(baseline_).c_str());
  std::fprintf(out, "              peak     %s\n", Describe(peak_).c_str());
  std::fprintf(out, "              end      %s (RSS %+.1f MiB, heap %+.1f MiB)\n",
               Describe(final_).c_str(),
               (double(final_.rssKiB) - double(baseline_.rssKiB)) / 1024.0,
               (double(final_.heapKiB) - double(baseline_.heapKiB)) / 1024.0);
}

}  // namespace qnv::soak

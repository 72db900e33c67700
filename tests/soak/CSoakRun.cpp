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

CSoakRun* CSoakRun::m_current = nullptr;

CSoakRun::CSoakRun(SSoakOptions options) : m_options(std::move(options)), m_random(m_options.seed) {
  m_current = this;
}

CSoakRun::~CSoakRun() { m_current = nullptr; }

void CSoakRun::Expect(uint32_t rc, std::initializer_list<uint32_t> allowed, const char* what) {
  if (In(rc, allowed)) return;
  if (m_figures.unexpectedResults++ < 20)
    std::fprintf(stderr, "qnv-soak: %s returned %d (%s)\n", what, int32_t(rc), QnvResultText(rc));
}

bool CSoakRun::OnFrame(uint32_t clientId, char*, uint16_t, char* frame, int32_t length, uint32_t) {
  CSoakRun* self = m_current;
  const uint64_t n = ++self->m_figures.frames;
  self->m_figures.frameBytes += uint64_t(length);
  if (length < 40 || std::memcmp(frame + 4, "QNVV", 4) != 0 || uint8_t(frame[35]) > 2)
    ++self->m_figures.badFrames;
  // Now and then an export from the receive thread.
  if (n % 4096 == 0) {
    int32_t state = 0;
    self->Expect(QNVNet_IsRuleEnable(clientId, state),
                 {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION},
                 "IsRuleEnable from the stream callback");
    ++self->m_figures.callbackExports;
  }
  return true;
}

bool CSoakRun::OnDisconnect(uint32_t clientId, char*, uint16_t port, uint32_t user) {
  CSoakRun* self = m_current;
  if (user != kUserValue) ++self->m_figures.unexpectedResults;
  bool stream = false;
  for (auto& d : self->m_devices) stream = stream || port == uint16_t(d->Port() + 2);
  {
    std::lock_guard<std::mutex> lock(self->m_eventsMutex);
    self->m_events.push_back({clientId, stream});
  }
  if (stream) {
    ++self->m_figures.streamDisconnects;
    // The session may well be alive: ask it something.
    self->Expect(QNVNet_PTZCtrlSend(clientId, 0, 0, 0, 0),
                 {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION},
                 "PTZCtrlSend from the disconnect callback");
  } else {
    ++self->m_figures.commandDisconnects;
    // The library logs the session out after this returns; doing it here is allowed too.
    QNVNet_DevLogout(clientId);
  }
  ++self->m_figures.callbackExports;
  return true;
}

std::string CSoakRun::NewRecordingPath() {
  const uint64_t n = ++m_recordingSerial;
  // Several folders, made on demand by the library.
  return m_options.dir + "/d" + std::to_string(n % 7) + "/r" + std::to_string(n) + ".dat";
}

void CSoakRun::ForgetSession(uint32_t clientId) {
  for (size_t i = m_channels.size(); i-- > 0;) {
    if (m_channels[i].clientId != clientId) continue;
    // The library closed its recordings when it logged the session out.
    for (auto& r : m_channels[i].recordings) {
      ++m_figures.recordingsEndedWithChannel;
      std::lock_guard<std::mutex> lock(m_verifyMutex);
      m_toVerify.push_back(r.path);
    }
    m_verifyWake.notify_one();
    m_channels.erase(m_channels.begin() + std::ptrdiff_t(i));
  }
  auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                         [&](const SSession& s) { return s.clientId == clientId; });
  if (it == m_sessions.end()) return;
  m_sessions.erase(it);
  ++m_figures.sessionsLost;
  std::lock_guard<std::mutex> lock(m_sessionsMutex);
  m_sessionIds.erase(std::remove(m_sessionIds.begin(), m_sessionIds.end(), clientId),
                     m_sessionIds.end());
}

void CSoakRun::Reconcile() {
  std::vector<SEvent> events;
  {
    std::lock_guard<std::mutex> lock(m_eventsMutex);
    events.swap(m_events);
  }
  for (const SEvent& e : events) {
    if (e.stream) {
      // The host cannot tell which channel of the session lost its stream:
      // it closes them all, and new ones are opened.
      for (size_t i = m_channels.size(); i-- > 0;)
        if (m_channels[i].clientId == e.clientId) CloseChannel(i);
    } else if (QNVNet_PTZCtrlSend(e.clientId, 0, 0, 0, 0) == QNVNET_ERR_NO_SESSION) {
      // Client ids are socket numbers and come back: forget only what is gone.
      ForgetSession(e.clientId);
    }
  }
}

void CSoakRun::EnsureSessions() {
  for (int d = 0; d < int(m_devices.size()); ++d) {
    int have = int(std::count_if(m_sessions.begin(), m_sessions.end(),
                                 [&](const SSession& s) { return s.device == d; }));
    for (; have < m_options.sessionsPerDevice; ++have) {
      uint32_t id = 0;
      uint32_t rc = QNVNet_DevLogin(&id, "127.0.0.1", m_devices[d]->Port(), "admin", "admin");
      if (rc != 0) {
        ++m_figures.loginFailures;  // a device in the middle of a reboot
        Expect(rc, {QNVNET_ERR_NO_SESSION}, "DevLogin");
        break;
      }
      ++m_figures.logins;
      m_sessions.push_back({id, d});
      std::lock_guard<std::mutex> lock(m_sessionsMutex);
      m_sessionIds.push_back(id);
    }
  }
}

void CSoakRun::EnsureChannels() {
  for (int attempts = 0; attempts < 8 && int(m_channels.size()) < m_options.channels; ++attempts) {
    if (m_sessions.empty()) return;
    // The session with the fewest channels.
    const SSession* best = nullptr;
    size_t fewest = SIZE_MAX;
    for (const SSession& s : m_sessions) {
      size_t n = size_t(std::count_if(m_channels.begin(), m_channels.end(),
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
      ++m_figures.channelOpens;
      m_channels.push_back({handle, clientId, {}});
      continue;
    }
    ++m_figures.channelOpenFailures;
    Expect(rc, {QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION, QNVNET_ERR_NO_CHANNEL},
           "LiveOpen");
    if (rc == QNVNET_ERR_NO_SESSION) ForgetSession(clientId);
    return;
  }
}

void CSoakRun::CloseChannel(size_t index) {
  SChannel channel = m_channels[index];
  m_channels.erase(m_channels.begin() + std::ptrdiff_t(index));
  for (const SRecording& r : channel.recordings) {
    uint32_t rc = QNVNet_LiveSaveClose(channel.handle, r.id);
    Expect(rc, {0, QNVNET_ERR_NO_SAVE, QNVNET_ERR_NO_SESSION}, "LiveSaveClose");
    if (rc == 0)
      ++m_figures.recordingsClosedByHost;
    else
      ++m_figures.recordingsEndedWithChannel;
    std::lock_guard<std::mutex> lock(m_verifyMutex);
    m_toVerify.push_back(r.path);
  }
  m_verifyWake.notify_one();
  uint32_t rc = QNVNet_LiveClose(channel.handle);
  Expect(rc, {0, QNVNET_ERR_NO_SESSION}, "LiveClose");
  if (rc == 0) ++m_figures.channelCloses;
}

void CSoakRun::StartRecording() {
  std::vector<size_t> candidates;
  for (size_t i = 0; i < m_channels.size(); ++i)
    if (int(m_channels[i].recordings.size()) < m_options.recordingsPerChannel)
      candidates.push_back(i);
  if (candidates.empty()) return;
  SChannel& channel = m_channels[candidates[m_random() % candidates.size()]];
  const std::string path = NewRecordingPath();
  uint32_t id = 0;
  uint32_t rc = QNVNet_LiveSaveOpen(channel.handle, path.c_str(), id);
  if (rc == 0) {
    ++m_figures.recordingsOpened;
    channel.recordings.push_back({id, path});
    return;
  }
  ++m_figures.recordingOpenFailures;
  Expect(rc, {QNVNET_ERR_NO_SESSION}, "LiveSaveOpen");
  if (rc == QNVNET_ERR_NO_SESSION) ForgetSession(channel.clientId);
}

void CSoakRun::StopRecording() {
  std::vector<size_t> candidates;
  for (size_t i = 0; i < m_channels.size(); ++i)
    if (!m_channels[i].recordings.empty()) candidates.push_back(i);
  if (candidates.empty()) return;
  SChannel& channel = m_channels[candidates[m_random() % candidates.size()]];
  const size_t which = m_random() % channel.recordings.size();
  const SRecording r = channel.recordings[which];
  uint32_t rc = QNVNet_LiveSaveClose(channel.handle, r.id);
  Expect(rc, {0, QNVNET_ERR_NO_SAVE, QNVNET_ERR_NO_SESSION}, "LiveSaveClose");
  if (rc == QNVNET_ERR_NO_SESSION) {
    ForgetSession(channel.clientId);  // queues this recording too
    return;
  }
  if (rc == 0) ++m_figures.recordingsClosedByHost;
  channel.recordings.erase(channel.recordings.begin() + std::ptrdiff_t(which));
  {
    std::lock_guard<std::mutex> lock(m_verifyMutex);
    m_toVerify.push_back(r.path);
  }
  m_verifyWake.notify_one();
}

void CSoakRun::DropDevice() {
  const int d = int(m_random() % m_devices.size());
  // Every other time the device is told to reboot through one of its sessions.
  if ((m_figures.drops + m_figures.reboots) % 2 == 1) {
    for (const SSession& s : m_sessions) {
      if (s.device != d) continue;
      uint8_t none[4] = {};
      int32_t length = 0;
      uint32_t rc = QNVNet_ManageSendSysCmd(s.clientId, kRebootSelector, none, length);
      Expect(rc, {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION}, "reboot");
      ++m_figures.reboots;
      return;
    }
  }
  m_devices[d]->DropAllConnections();
  ++m_figures.drops;
}

void CSoakRun::Step() {
  Reconcile();
  EnsureSessions();
  EnsureChannels();
  size_t open = 0;
  for (const SChannel& c : m_channels) open += c.recordings.size();
  const uint32_t r = m_random() % 100;
  if (r < 10) {
    if (!m_channels.empty()) CloseChannel(m_random() % m_channels.size());
  } else if (r < 35) {
    // Some recordings stay open a while; their number hovers around the target.
    if (open < kOpenRecordingsTarget)
      StartRecording();
    else
      StopRecording();
  } else if (r < 55) {
    StopRecording();
  } else if (r < 65 && !m_sessions.empty()) {
    const uint32_t id = m_sessions[m_random() % m_sessions.size()].clientId;
    Expect(QNVNet_PTZCtrlSend(id, 1 + m_random() % 7, 1, 1, 1),
           {0, QNVNET_ERR_NO_REPLY, QNVNET_ERR_SEND, QNVNET_ERR_NO_SESSION}, "PTZCtrlSend");
  }
}

void CSoakRun::CloseEverything() {
  Reconcile();
  while (!m_channels.empty()) CloseChannel(m_channels.size() - 1);
  for (const SSession& s : m_sessions) QNVNet_DevLogout(s.clientId);
  m_sessions.clear();
  std::lock_guard<std::mutex> lock(m_sessionsMutex);
  m_sessionIds.clear();
}

void CSoakRun::CommandLoop() {
  std::mt19937 random(m_options.seed * 7 + 1);
  uint8_t buf[512];
  while (!m_stop.load()) {
    uint32_t id = 0;
    {
      std::lock_guard<std::mutex> lock(m_sessionsMutex);
      if (!m_sessionIds.empty()) id = m_sessionIds[random() % m_sessionIds.size()];
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
      ++m_figures.commands;
      if (rc != 0) ++m_figures.commandFailures;
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
  ++m_figures.recordingsChecked;
  if (ok && reader.Summary().Consistent()) {
    m_figures.recordedFrames += reader.Summary().frames;
    m_figures.recordedBytes += reader.Summary().bodyBytes;
    if (reader.Summary().frames == 0) ++m_figures.recordingsEmpty;
    ::unlink(path.c_str());
    ::unlink(index.c_str());
    return;
  }
  ++m_figures.recordingsInconsistent;
  std::string why = ok ? reader.Summary().problems.front() : error;
  std::fprintf(stderr, "qnv-soak: recording %s is not consistent: %s\n", path.c_str(), why.c_str());
  std::lock_guard<std::mutex> lock(m_verifyMutex);
  m_badRecordings.push_back(path);
}

void CSoakRun::VerifyLoop() {
  std::unique_lock<std::mutex> lock(m_verifyMutex);
  for (;;) {
    m_verifyWake.wait(lock, [&] { return m_verifyDone || !m_toVerify.empty(); });
    if (m_toVerify.empty()) return;
    std::string path = m_toVerify.front();
    m_toVerify.pop_front();
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
  m_stop = false;
  std::thread commands(&CSoakRun::CommandLoop, this);
  const auto start = Clock::now();
  double nextDrop = m_options.dropEverySeconds;
  double nextProgress = kProgressEverySeconds;
  while (Since(start) < seconds) {
    Step();
    if (m_options.dropEverySeconds > 0 && Since(start) >= nextDrop) {
      DropDevice();
      nextDrop += m_options.dropEverySeconds;
    }
    if (progress && Since(start) >= nextProgress) {
      SProcessStats now = ReadProcessStats();
      m_peak.rssKiB = std::max(m_peak.rssKiB, now.rssKiB);
      m_peak.heapKiB = std::max(m_peak.heapKiB, now.heapKiB);
      m_peak.threads = std::max(m_peak.threads, now.threads);
      m_peak.descriptors = std::max(m_peak.descriptors, now.descriptors);
      size_t recordings = 0;
      for (auto& c : m_channels) recordings += c.recordings.size();
      std::fprintf(log,
                   "[%5.0f s] %zu sessions, %zu channels, %zu recordings open; %llu frames, "
                   "%llu recordings checked (%llu inconsistent), %llu drops+reboots; %s\n",
                   Since(start), m_sessions.size(), m_channels.size(), recordings,
                   (unsigned long long)m_figures.frames.load(),
                   (unsigned long long)m_figures.recordingsChecked.load(),
                   (unsigned long long)m_figures.recordingsInconsistent.load(),
                   (unsigned long long)(m_figures.drops + m_figures.reboots),
                   Describe(now).c_str());
      std::fflush(log);
      nextProgress += kProgressEverySeconds;
    }
    std::this_thread::sleep_for(kStepPause);
  }
  m_stop = true;
  commands.join();
  CloseEverything();
  QNVNet_UnInitLib();
  // Reports that raced with the shutdown name sessions that are gone.
  std::lock_guard<std::mutex> lock(m_eventsMutex);
  m_events.clear();
  return true;
}

bool CSoakRun::Run(FILE* log) {
  ::mkdir(m_options.dir.c_str(), 0755);
  for (int d = 0; d < m_options.devices; ++d) {
    devsim::SimulatorOptions o;
    o.syntheticWidth = 320;
    o.syntheticHeight = 240;
    o.syntheticBitrate = m_options.bitrate;
    o.syntheticGop = 25;
    // The devices' request logs would otherwise grow for the whole run and
    // show as memory the process did not give back.
    o.maxLoggedRequests = 64;
    auto sim = std::make_unique<devsim::Simulator>(o);
    if (!sim->Start()) {
      std::fprintf(stderr, "qnv-soak: device %d did not start: %s\n", d, sim->LastError().c_str());
      return false;
    }
    m_devices.push_back(std::move(sim));
  }
  QNVNet_SetCallback(nullptr, &CSoakRun::OnFrame, &CSoakRun::OnDisconnect, kUserValue);
  std::thread verifier(&CSoakRun::VerifyLoop, this);
  auto drained = [&] {
    std::lock_guard<std::mutex> lock(m_verifyMutex);
    return m_toVerify.empty();
  };

  // A warm-up pass fills the allocator's pools and loads what is loaded
  // once; what the process holds after it is the baseline.
  const double total = m_options.minutes * 60;
  const double warm = std::clamp(total * 0.1, 10.0, 60.0);
  std::fprintf(log, "qnv-soak: warm-up for %.0f s\n", warm);
  Pass(warm, false, log);
  while (!drained()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::seconds(2));  // devices close their side
  TrimHeap();
  m_baseline = m_peak = ReadProcessStats();
  m_figures.Reset();  // the figures are the soak's own
  std::fprintf(log, "qnv-soak: baseline %s; soak for %.0f s\n", Describe(m_baseline).c_str(),
               total);

  const auto start = Clock::now();
  Pass(total, true, log);
  m_seconds = Since(start);
  while (!drained()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Threads and descriptors must come back exactly; give the devices a moment.
  for (int i = 0; i < 100; ++i) {
    TrimHeap();
    m_final = ReadProcessStats();
    if (m_final.threads == m_baseline.threads && m_final.descriptors == m_baseline.descriptors)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  {
    std::lock_guard<std::mutex> lock(m_verifyMutex);
    m_verifyDone = true;
  }
  m_verifyWake.notify_one();
  verifier.join();
  QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
  m_devices.clear();

  return m_figures.recordingsInconsistent == 0 && m_figures.badFrames == 0 &&
         m_figures.unexpectedResults == 0 && m_final.threads == m_baseline.threads &&
         m_final.descriptors == m_baseline.descriptors &&
         m_final.rssKiB <= m_baseline.rssKiB + kRssToleranceKiB &&
         m_final.heapKiB <= m_baseline.heapKiB + kHeapToleranceKiB;
}

void CSoakRun::PrintFigures(FILE* out) const {
  auto n = [](const std::atomic<uint64_t>& v) { return (unsigned long long)v.load(); };
  const SSoakFigures& f = m_figures;
  std::fprintf(out, "qnv-soak figures over %.0f s (%d devices, %d sessions each, %d channels):\n",
               m_seconds, m_options.devices, m_options.sessionsPerDevice, m_options.channels);
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
  std::fprintf(out, "  process:    baseline %s\n", Describe(m_baseline).c_str());
  std::fprintf(out, "              peak     %s\n", Describe(m_peak).c_str());
  std::fprintf(out, "              end      %s (RSS %+.1f MiB, heap %+.1f MiB)\n",
               Describe(m_final).c_str(),
               (double(m_final.rssKiB) - double(m_baseline.rssKiB)) / 1024.0,
               (double(m_final.heapKiB) - double(m_baseline.heapKiB)) / 1024.0);
}

}  // namespace qnv::soak

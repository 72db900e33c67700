#include "sdk/CLibrary.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "platform/Clock.h"
#include "platform/FailureNote.h"
#include "platform/Socket.h"
#include "player/PlayerApi.h"
#include "protocol/Commands.h"
#include "transport/HostCallbacks.h"

namespace qnv {

namespace {
constexpr uint32_t kFirstLibraryHandle = 0x80000000u;
std::atomic<uint32_t> g_keepAlivePeriodMs{CLibrary::kKeepAlivePeriodMs};

// Runs a function when the scope ends, on every path.
template <typename F>
struct ScopeExit {
  F f;
  ~ScopeExit() { f(); }
};
template <typename F>
ScopeExit(F) -> ScopeExit<F>;
}  // namespace

CLibrary& CLibrary::Instance() {
  static CLibrary* library = new CLibrary();  // never destroyed: threads may outlive main
  return *library;
}

void CLibrary::SetKeepAlivePeriodForTesting(uint32_t ms) { g_keepAlivePeriodMs.store(ms); }

void CLibrary::Tick(void* library) {
  auto* self = static_cast<CLibrary*>(library);
  // The tick sends and never waits for a device, so it is never late
  // because of one.
  self->KeepAliveTargets(self->m_tickTargets);
  self->m_keepAliveRunner.Tick(self->m_tickTargets, platform::MonotonicMs());
  self->m_tickTargets.clear();  // holds no session past the tick
}

void CLibrary::Judge(void* library) {
  auto* self = static_cast<CLibrary*>(library);
  self->KeepAliveTargets(self->m_tickTargets);
  self->m_keepAliveRunner.Tick(self->m_tickTargets, platform::MonotonicMs(), false);
  self->m_tickTargets.clear();
}

void CLibrary::OnLoss(void* library, const std::shared_ptr<CClient>& session) {
  static_cast<CLibrary*>(library)->ReportLoss(session);
}

uint32_t CLibrary::Init() {
  platform::CLockGuard lock(m_lock);
  if (m_initialised) return 0;
  if (!platform::NetworkStartup()) return QNVNET_ERR_NETWORK;
  CallbackGate().Open();
  if (!m_watcher.Start(&CLibrary::OnLoss, this)) return QNVNET_ERR_NETWORK;
  if (!m_keepAliveRunner.Start(&CLibrary::OnLoss, this)) {
    m_watcher.Stop();
    return QNVNET_ERR_NETWORK;
  }
  // The player is loaded only when a window opens or a capture is asked.
  // Keep-alives go out at each tick and are judged once their answer time
  // is up, so a silent device's third miss is known 3 s into its third
  // round rather than at the tick after.
  m_keepAlive.Start(g_keepAlivePeriodMs.load(), &CLibrary::Tick, this, CKeepAliveRunner::AnswerMs(),
                    &CLibrary::Judge);
  m_initialised = true;
  return 0;
}

uint32_t CLibrary::UnInit() {
  // No callback begins from here on; those in progress are waited for at the
  // end, once every session is shut down (an export they call returns at once).
  CallbackGate().Close();
  m_keepAlive.Stop();
  std::vector<std::shared_ptr<CClient>> sessions;
  std::vector<std::shared_ptr<CChannel>> channels;
  bool wasInitialised;
  {
    platform::CLockGuard lock(m_lock);
    sessions.swap(m_sessions);
    channels.swap(m_channels);
    wasInitialised = m_initialised;
    m_initialised = false;
  }
  // Shut every connection down first: a keep-alive or call waiting on a
  // silent device then ends at once, so the joins below are short.
  for (auto& session : sessions) session->Shutdown();
  m_keepAliveRunner.Stop();
  m_watcher.Stop();
  m_stallWatch.Stop();
  for (auto& channel : channels) channel->Teardown();
  for (auto& session : sessions) {
    CClient::Call call(*session);
    session->Logout();
  }
  if (wasInitialised) StopPlayer();
  // Receive threads left inside a stream callback by the teardown (and a
  // host thread inside a disconnect callback) are the last to return.
  CallbackGate().WaitIdle();
  return 0;
}

std::shared_ptr<CClient> CLibrary::FindClient(uint32_t clientId) {
  platform::CLockGuard lock(m_lock);
  // A session still logging in is listed before its id is set (it reads 0
  // until then): a call with id 0 must not reach it.
  for (auto& session : m_sessions)
    if (session->IsRegistered() && session->ClientId() == clientId) return session;
  return nullptr;
}

std::shared_ptr<CChannel> CLibrary::FindChannel(uint32_t handle) {
  platform::CLockGuard lock(m_lock);
  for (auto& channel : m_channels)
    if (channel->Handle() == handle) return channel;
  return nullptr;
}

std::pair<std::shared_ptr<CClient>, std::shared_ptr<CChannel>> CLibrary::FindChannelClient(
    uint32_t handle) {
  platform::CLockGuard lock(m_lock);
  std::shared_ptr<CChannel> channel = FindChannel(handle);
  std::shared_ptr<CClient> client = channel ? FindClient(channel->ClientId()) : nullptr;
  if (!client) return {nullptr, nullptr};
  return {client, channel};
}

size_t CLibrary::SessionCount() {
  platform::CLockGuard lock(m_lock);
  return m_sessions.size();
}

size_t CLibrary::ChannelCount() {
  platform::CLockGuard lock(m_lock);
  return m_channels.size();
}

uint32_t CLibrary::Login(uint32_t* clientId, const char* ip, uint16_t port, const char* user,
                         const char* password) {
  {
    platform::CLockGuard lock(m_lock);
    // Logins in progress count, so the 501st is refused before any traffic.
    if (m_sessions.size() + m_loginsInProgress >= kMaxSessions) return QNVNET_ERR_TOO_MANY_SESSIONS;
    if (clientId == nullptr) return QNVNET_ERR_NO_SESSION;
    if (!m_initialised) {
      platform::NoteFailure(platform::FailureKind::kNotFound, 0,
                            "the library is not started (QNVNet_InitLib)");
      return QNVNET_ERR_NO_SESSION;
    }
    ++m_loginsInProgress;
  }
  ScopeExit done{[this] {
    platform::CLockGuard lock(m_lock);
    --m_loginsInProgress;
  }};
  auto session = std::make_shared<CClient>();
  // The exchange runs under no library lock; the session is nobody else's yet.
  if (session->Login(ip, port, user, password) != 0) {
    session->Logout();
    return QNVNET_ERR_NO_SESSION;
  }
  uint32_t id = session->GetClientId();
  {
    platform::CLockGuard lock(m_lock);
    if (!m_initialised) {
      session->Logout();
      return QNVNET_ERR_NO_SESSION;
    }
    m_sessions.push_back(session);
  }
  session->Register(id, &m_watcher, m_watcher.Add(session, session->GetClientId()));
  *clientId = id;
  // The watcher may have met a broken connection between its arming and the
  // registration, when a loss cannot be reported yet: report it now.
  ReportLoss(session);
  return 0;
}

void CLibrary::CloseSession(const std::shared_ptr<CClient>& session,
                            std::vector<std::shared_ptr<CChannel>>& channels) {
  // A call in progress on the session ends at once rather than waiting out
  // its time-out; nothing is reported for it.
  session->Shutdown();
  CClient::Call call(*session);
  for (auto& channel : channels) channel->Teardown();
  session->Logout();
}

void CLibrary::Logout(uint32_t clientId) {
  std::shared_ptr<CClient> session = FindClient(clientId);
  if (session) RemoveSession(session);
}

bool CLibrary::RemoveSession(const std::shared_ptr<CClient>& session) {
  std::vector<std::shared_ptr<CChannel>> channels;
  {
    platform::CLockGuard lock(m_lock);
    auto it = std::find(m_sessions.begin(), m_sessions.end(), session);
    if (it == m_sessions.end()) return false;
    m_sessions.erase(it);
    const uint32_t clientId = session->ClientId();
    // Backwards, as channels are closed newest first.
    for (size_t i = m_channels.size(); i-- > 0;) {
      if (m_channels[i]->ClientId() != clientId) continue;
      channels.push_back(m_channels[i]);
      m_channels.erase(m_channels.begin() + std::ptrdiff_t(i));
    }
  }
  CloseSession(session, channels);
  return true;
}

void CLibrary::ReportLoss(const std::shared_ptr<CClient>& session) {
  if (!session || !session->TakeLoss()) return;
  char address[16];
  std::memcpy(address, session->DeviceAddress(), sizeof address);
  // Without a disconnect callback the session stays registered (lost) until
  // the host logs it out.
  if (!CallDisconnect(session->ClientId(), address, session->DevicePort(), session->Loss())) return;
  RemoveSession(session);
}

bool CLibrary::WatchStalls(const std::shared_ptr<CChannel>& channel) {
  return m_stallWatch.Watch(channel);
}

uint32_t CLibrary::UniqueHandle() {
  for (;;) {
    uint32_t candidate = kFirstLibraryHandle | (m_nextHandle++ & 0x7fffffffu);
    if (candidate == 0) continue;
    bool taken = std::any_of(m_channels.begin(), m_channels.end(),
                             [&](const auto& c) { return c->Handle() == candidate; });
    if (!taken) return candidate;
  }
}

uint32_t CLibrary::LiveOpen(uint32_t* handle, CClient& client, HWND window) {
  int32_t channelNo = 1;
  {
    platform::CLockGuard lock(m_lock);
    // Opens in progress count against the limit and hold their number.
    if (m_channels.size() + m_channelNumbersReserved.size() >= kMaxChannels)
      return QNVNET_ERR_TOO_MANY_CHANNELS;
    auto used = [&](int32_t n) REQUIRES(m_lock) {
      return std::any_of(m_channels.begin(), m_channels.end(),
                         [&](const auto& c) { return c->ChannelNo() == n; }) ||
             std::find(m_channelNumbersReserved.begin(), m_channelNumbersReserved.end(), n) !=
                 m_channelNumbersReserved.end();
    };
    while (used(channelNo)) ++channelNo;
    m_channelNumbersReserved.push_back(channelNo);
  }
  auto unreserve = [&]() REQUIRES(m_lock) {
    auto it =
        std::find(m_channelNumbersReserved.begin(), m_channelNumbersReserved.end(), channelNo);
    if (it != m_channelNumbersReserved.end()) m_channelNumbersReserved.erase(it);
  };
  ScopeExit done{[&] {
    platform::CLockGuard lock(m_lock);
    unreserve();
  }};
  uint32_t streamId = 0;
  if (uint32_t rc = client.OpenStream(streamId); rc != 0) return rc;
  std::shared_ptr<CChannel> channel;
  try {
    channel = std::make_shared<CChannel>();
  } catch (const std::bad_alloc&) {
    client.StreamRequest(protocol::kCloseStream, streamId);
    return QNVNET_ERR_CHANNEL_CREATE;
  }
  uint16_t streamPort = uint16_t(client.DevicePort() + protocol::kStreamPortOffset);
  if (!channel->Open(client.DeviceAddress(), streamPort, client.ClientId(), channelNo,
                     client.SessionId(), streamId, window)) {
    channel->Teardown();
    // The device opened a stream for this request; close it again.
    client.StreamRequest(protocol::kCloseStream, streamId);
    return QNVNET_ERR_NO_CHANNEL;
  }
  {
    platform::CLockGuard lock(m_lock);
    // A logout that began meanwhile has already collected the session's
    // channels: this one would be left behind.
    bool registered = std::any_of(m_sessions.begin(), m_sessions.end(),
                                  [&](const auto& s) { return s.get() == &client; });
    if (registered && !client.IsClosed()) {
      uint32_t h = channel->Handle();
      if (h == 0 || std::any_of(m_channels.begin(), m_channels.end(),
                                [&](const auto& c) { return c->Handle() == h; }))
        channel->SetHandle(UniqueHandle());
      m_channels.push_back(channel);
      unreserve();
      if (handle != nullptr) *handle = channel->Handle();
      return 0;
    }
  }
  channel->Teardown();
  return QNVNET_ERR_NO_SESSION;
}

uint32_t CLibrary::LiveClose(CClient& client, uint32_t handle) {
  std::shared_ptr<CChannel> channel = FindChannel(handle);
  if (!channel) return QNVNET_ERR_NO_CHANNEL;
  // The device answers by ending the stream; that end is no failure.
  channel->BeginClose();
  client.StreamRequest(protocol::kCloseStream, channel->StreamId());  // answer ignored
  bool mine = false;
  {
    platform::CLockGuard lock(m_lock);
    auto it = std::find(m_channels.begin(), m_channels.end(), channel);
    if (it != m_channels.end()) {
      m_channels.erase(it);
      mine = true;
    }
  }
  // Whoever took it out of the registry closes it, once.
  if (mine) channel->Teardown();
  return 0;
}

void CLibrary::KeepAliveTargets(std::vector<std::shared_ptr<CClient>>& targets) {
  targets.clear();
  platform::CLockGuard lock(m_lock);
  targets.reserve(m_sessions.size());
  for (auto& s : m_sessions)
    if (s->WantsKeepAlive() && !s->IsClosed()) targets.push_back(s);
}

void CLibrary::KeepAlivePass() {
  std::vector<std::shared_ptr<CClient>> targets;
  KeepAliveTargets(targets);
  m_keepAliveRunner.TickAndWait(targets, platform::MonotonicMs());
}

}  // namespace qnv

#include "sdk/CLibrary.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/Socket.h"
#include "player/PlayerApi.h"

namespace qnv {

namespace {
constexpr uint16_t kCodeCloseStream = 2;
constexpr uint16_t kStreamPortOffset = 2;
constexpr uint32_t kFirstLibraryHandle = 0x80000000u;
std::atomic<uint32_t> g_keepAlivePeriodMs{CLibrary::kKeepAlivePeriodMs};

void KeepAliveTick(void* library) { static_cast<CLibrary*>(library)->KeepAlivePass(); }
}  // namespace

CLibrary& CLibrary::Instance() {
  static CLibrary* library = new CLibrary();  // never destroyed: threads may outlive main
  return *library;
}

void CLibrary::SetKeepAlivePeriodForTesting(uint32_t ms) { g_keepAlivePeriodMs.store(ms); }

uint32_t CLibrary::Init() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_initialised) return 0;
  if (!platform::NetworkStartup()) return QNVNET_ERR_NETWORK;
  LoadPlayer();
  Player().init();
  m_keepAlive.Start(g_keepAlivePeriodMs.load(), &KeepAliveTick, this);
  m_initialised = true;
  return 0;
}

uint32_t CLibrary::UnInit() {
  // The pass takes the lock itself, so the timer is stopped without it.
  m_keepAlive.Stop();
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  for (auto& channel : m_channels) channel->Teardown();
  m_channels.clear();
  for (auto& session : m_sessions) session->Logout();
  m_sessions.clear();
  if (m_initialised) Player().shutdown();
  m_initialised = false;
  return 0;
}

std::shared_ptr<CClient> CLibrary::FindClient(uint32_t clientId) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  for (auto& session : m_sessions)
    if (session->ClientId() == clientId) return session;
  return nullptr;
}

std::shared_ptr<CChannel> CLibrary::FindChannel(uint32_t handle) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  for (auto& channel : m_channels)
    if (channel->Handle() == handle) return channel;
  return nullptr;
}

std::shared_ptr<CClient> CLibrary::FindChannelClient(uint32_t handle) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  std::shared_ptr<CChannel> channel = FindChannel(handle);
  return channel ? FindClient(channel->ClientId()) : nullptr;
}

size_t CLibrary::SessionCount() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return m_sessions.size();
}

size_t CLibrary::ChannelCount() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return m_channels.size();
}

uint32_t CLibrary::Login(uint32_t* clientId, const char* ip, uint16_t port, const char* user,
                         const char* password) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_sessions.size() >= kMaxSessions) return QNVNET_ERR_TOO_MANY_SESSIONS;
  if (!m_initialised || clientId == nullptr) return QNVNET_ERR_NO_SESSION;
  auto session = std::make_shared<CClient>();
  if (session->Login(ip, port, user, password) != 0) {
    session->Logout();
    return QNVNET_ERR_NO_SESSION;
  }
  uint32_t id = session->GetClientId();
  session->SetClientId(id);
  m_sessions.push_back(session);
  *clientId = id;
  return 0;
}

void CLibrary::Logout(uint32_t clientId) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                         [&](const auto& s) { return s->ClientId() == clientId; });
  if (it == m_sessions.end()) return;
  std::shared_ptr<CClient> session = *it;  // may still be running the failed operation
  m_sessions.erase(it);
  RemoveChannelsOf(clientId);
  session->Logout();
}

void CLibrary::RemoveChannelsOf(uint32_t clientId) {
  // Backwards, so positions still to visit stay valid while entries go.
  for (size_t i = m_channels.size(); i-- > 0;) {
    if (i >= m_channels.size() || m_channels[i]->ClientId() != clientId) continue;
    std::shared_ptr<CChannel> channel = m_channels[i];
    m_channels.erase(m_channels.begin() + std::ptrdiff_t(i));
    channel->Teardown();
  }
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
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_channels.size() >= kMaxChannels) return QNVNET_ERR_TOO_MANY_CHANNELS;
  uint32_t streamId = 0;
  if (uint32_t rc = client.OpenStream(streamId); rc != 0) return rc;
  int32_t channelNo = 1;
  while (std::any_of(m_channels.begin(), m_channels.end(),
                     [&](const auto& c) { return c->ChannelNo() == channelNo; }))
    ++channelNo;
  std::shared_ptr<CChannel> channel;
  try {
    channel = std::make_shared<CChannel>();
  } catch (const std::bad_alloc&) {
    client.StreamRequest(kCodeCloseStream, streamId);
    return QNVNET_ERR_CHANNEL_CREATE;
  }
  uint16_t streamPort = uint16_t(client.DevicePort() + kStreamPortOffset);
  if (!channel->Open(client.DeviceAddress(), streamPort, client.ClientId(), channelNo,
                     client.SessionId(), streamId, window)) {
    channel->Teardown();
    // The device opened a stream for this request; close it again.
    client.StreamRequest(kCodeCloseStream, streamId);
    return QNVNET_ERR_NO_CHANNEL;
  }
  uint32_t h = channel->Handle();
  if (h == 0 || std::any_of(m_channels.begin(), m_channels.end(),
                            [&](const auto& c) { return c->Handle() == h; }))
    channel->SetHandle(UniqueHandle());
  m_channels.push_back(channel);
  if (handle != nullptr) *handle = channel->Handle();
  return 0;
}

uint32_t CLibrary::LiveClose(CClient& client, uint32_t handle) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  std::shared_ptr<CChannel> channel = FindChannel(handle);
  if (!channel) return QNVNET_ERR_NO_CHANNEL;
  // The device answers by ending the stream; that end is no failure.
  channel->BeginClose();
  client.StreamRequest(kCodeCloseStream, channel->StreamId());  // answer ignored
  // The request's disconnect callback may already have closed the channel.
  auto it = std::find(m_channels.begin(), m_channels.end(), channel);
  if (it != m_channels.end()) m_channels.erase(it);
  channel->Teardown();
  return 0;
}

void CLibrary::FinishPendingLogouts() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  for (;;) {
    auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                           [](const auto& s) { return s->LogoutPending(); });
    if (it == m_sessions.end()) return;
    Logout((*it)->ClientId());
  }
}

void CLibrary::KeepAlivePass() {
  for (size_t i = 0;; ++i) {
    // The lock is taken per keep-alive, not for the pass, so exports on other
    // threads wait for one exchange at most.
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (i >= m_sessions.size()) return;
    std::shared_ptr<CClient> session = m_sessions[i];
    if (session->SessionId() != 0) session->KeepAlive();
    FinishPendingLogouts();
  }
}

}  // namespace qnv

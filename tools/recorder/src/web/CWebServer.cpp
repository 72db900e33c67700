#include "web/CWebServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gio/gunixsocketaddress.h>
#include <libsoup/soup.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <future>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/Log.h"
#include "base/Text.h"
#include "cameras/CameraFault.h"
#include "qnvcatalogue/Coverage.h"
#include "web/PageFiles.h"
#include "web/Thumbnail.h"

namespace qnvrecorder {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// Bytes the peer's TCP has acknowledged on fd in all, and those the kernel
// holds unacknowledged; false when the system does not say.
bool TcpDelivered(int fd, uint64_t& acked, uint64_t& pending) {
  tcp_info info{};
  socklen_t size = sizeof info;
  int queued = 0;
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked ||
      ::ioctl(fd, SIOCOUTQ, &queued) != 0) {
    return false;
  }
  acked = info.tcpi_bytes_acked;
  pending = static_cast<uint64_t>(std::max(queued, 0));
  return true;
}

// "host port" of a socket address ("" when it is no internet one).
std::string AddressKey(GSocketAddress* address, bool withPort) {
  if (address == nullptr || !G_IS_INET_SOCKET_ADDRESS(address)) return "";
  auto* inet = G_INET_SOCKET_ADDRESS(address);
  gchar* host = g_inet_address_to_string(g_inet_socket_address_get_address(inet));
  std::string key = host ? host : "";
  g_free(host);
  if (withPort) key += " " + std::to_string(g_inet_socket_address_get_port(inet));
  return key;
}

// libsoup 3.2 keeps a connection alive after an answer only while it has a
// listener of its own; with TLS the connections are handed to it, so it gets
// one no client can reach: a Unix socket whose name is removed at once.
bool ListenUnreachable(SoupServer* server, GError** error) {
  char folder[] = "/tmp/qnv-web-XXXXXX";
  if (::mkdtemp(folder) == nullptr) {
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(errno), "no folder for a listener: %s",
                std::strerror(errno));
    return false;
  }
  const std::string path = std::string(folder) + "/l";
  GSocket* socket =
      g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, error);
  GSocketAddress* address = g_unix_socket_address_new(path.c_str());
  const bool listening =
      socket && g_socket_bind(socket, address, FALSE, error) && g_socket_listen(socket, error) &&
      soup_server_listen_socket(server, socket, static_cast<SoupServerListenOptions>(0), error);
  ::unlink(path.c_str());
  ::rmdir(folder);
  g_object_unref(address);
  if (socket) g_object_unref(socket);
  return listening;
}

constexpr const char* kCookie = "qnv_session";
constexpr const char* kCsrfHeader = "X-CSRF-Token";
constexpr const char* kLivePath = "/api/live";
constexpr unsigned kMaxAckMessage = 64;
constexpr unsigned kTooManyRequests = 429;  // libsoup names no constant for it

std::string Header(SoupServerMessage* msg, const char* name) {
  const char* v = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), name);
  return v ? v : "";
}

void Respond(SoupServerMessage* msg, unsigned status, const char* type, const std::string& body) {
  soup_server_message_set_status(msg, status, nullptr);
  soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

void RespondJson(SoupServerMessage* msg, unsigned status, const json& body) {
  SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(h, "Cache-Control", "no-store");
  Respond(msg, status, "application/json", body.dump());
}

void RespondError(SoupServerMessage* msg, unsigned status, const std::string& why) {
  RespondJson(msg, status, json{{"error", why}});
}

// The request's body as JSON (a discarded value when it is none).
json RequestJson(SoupServerMessage* msg) {
  GBytes* bytes = soup_message_body_flatten(soup_server_message_get_request_body(msg));
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  json parsed = json::parse(data ? data : "", data ? data + size : nullptr, nullptr, false);
  g_bytes_unref(bytes);
  return parsed;
}

// The value of one cookie in a Cookie header ("" when absent).
std::string CookieValue(const std::string& header, const std::string& name) {
  size_t at = 0;
  while (at < header.size()) {
    while (at < header.size() && (header[at] == ' ' || header[at] == ';')) ++at;
    const size_t end = std::min(header.find(';', at), header.size());
    const std::string_view pair(header.data() + at, end - at);
    if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
        pair[name.size()] == '=') {
      return std::string(pair.substr(name.size() + 1));
    }
    at = end;
  }
  return "";
}

// The host part of a Host header or an Origin's authority (no port).
std::string HostPart(const std::string& authority) {
  if (!authority.empty() && authority[0] == '[') {
    const size_t end = authority.find(']');
    return end == std::string::npos ? "" : authority.substr(1, end - 1);
  }
  return authority.substr(0, authority.find(':'));
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// Whether cert's key is the one its certificate names: a handshake with
// ourselves over a socket pair, on context (the thread's default). The TLS
// library loads a key of another certificate without a word; every client's
// handshake would then fail while the log said all was well.
bool KeyFitsCertificate(GTlsCertificate* cert, GMainContext* context, std::string& why) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    why = std::string("no socket pair for a test handshake: ") + std::strerror(errno);
    return false;
  }
  GError* error = nullptr;
  GSocket* ends[2] = {g_socket_new_from_fd(fds[0], &error), nullptr};
  if (ends[0] == nullptr) ::close(fds[0]);
  ends[1] = g_socket_new_from_fd(fds[1], error ? nullptr : &error);
  if (ends[1] == nullptr) ::close(fds[1]);
  GIOStream* server = nullptr;
  GIOStream* client = nullptr;
  if (ends[0] && ends[1]) {
    GSocketConnection* a = g_socket_connection_factory_create_connection(ends[0]);
    GSocketConnection* b = g_socket_connection_factory_create_connection(ends[1]);
    server = g_tls_server_connection_new(G_IO_STREAM(a), cert, &error);
    client = server ? g_tls_client_connection_new(G_IO_STREAM(b), nullptr, &error) : nullptr;
    g_object_unref(a);
    g_object_unref(b);
  }
  struct SHandshake {
    int left = 2;
    GError* server = nullptr;
    GError* client = nullptr;
    GIOStream* serverStream = nullptr;
  } state;
  GCancellable* cancel = g_cancellable_new();
  if (server && client) {
    // Whose certificate it is does not matter here, only that its key signs.
    g_signal_connect(client, "accept-certificate",
                     G_CALLBACK(+[](GTlsConnection*, GTlsCertificate*, GTlsCertificateFlags,
                                    gpointer) -> gboolean { return TRUE; }),
                     nullptr);
    state.serverStream = server;
    auto done = +[](GObject* source, GAsyncResult* result, gpointer p) {
      auto* s = static_cast<SHandshake*>(p);
      GError** into = G_IO_STREAM(source) == s->serverStream ? &s->server : &s->client;
      g_tls_connection_handshake_finish(G_TLS_CONNECTION(source), result, into);
      --s->left;
    };
    g_tls_connection_handshake_async(G_TLS_CONNECTION(server), G_PRIORITY_DEFAULT, cancel, done,
                                     &state);
    g_tls_connection_handshake_async(G_TLS_CONNECTION(client), G_PRIORITY_DEFAULT, cancel, done,
                                     &state);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (state.left > 0) {
      if (Clock::now() > deadline) g_cancellable_cancel(cancel);
      if (!g_main_context_iteration(context, FALSE)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  const GError* failed = error ? error : state.client ? state.client : state.server;
  if (failed) why = failed->message;
  const bool fits = failed == nullptr;
  g_clear_error(&error);
  g_clear_error(&state.server);
  g_clear_error(&state.client);
  g_object_unref(cancel);
  if (client) g_object_unref(client);
  if (server) g_object_unref(server);
  for (GSocket* end : ends) {
    if (end) g_object_unref(end);
  }
  return fits;
}

}  // namespace

// One viewer: its connection (referenced), the stream and its place in it.
struct CWebServer::SConnection {
  CWebServer* server = nullptr;
  SoupWebsocketConnection* conn = nullptr;
  int fd = -1;              // the connection's socket (the WebSocket holds it)
  uint64_t sentBefore = 0;  // bytes the socket had sent before the WebSocket
  std::shared_ptr<CLiveStream> stream;
  uint64_t viewer = 0;
  bool closed = false;
};

// An export being made or ready: its unnamed file and what the page shows.
// Cancelling sets cancel (any thread); the file goes with the descriptor,
// closed by whichever of the worker and the web thread holds it.
struct CWebServer::SExport {
  qnv::locks::CMutex mutex;  // the worker writes, the web thread reads
  std::string camera;
  int64_t fromUs = 0, toUs = 0;
  size_t done = 0, total = 0;
  bool finished = false;
  std::string error;
  uint64_t bytes = 0;
  int fd = -1;
  Clock::time_point made;
  std::atomic<bool> cancel{false};
  ~SExport() {
    if (fd >= 0) ::close(fd);
  }
  json State(const std::string& id) const {  // under mutex
    return json{{"id", id},
                {"camera", camera},
                {"from", fromUs},
                {"to", toUs},
                {"done", done},
                {"total", total},
                {"finished", finished},
                {"ready", fd >= 0},
                {"bytes", bytes},
                {"error", error},
                {"cancelled", cancel.load()}};
  }
};

// The wake-up a live stream may ask for from its camera's threads, which can
// outlive the server's main context: Stop clears it under the lock.
struct CWebServer::SWake {
  qnv::locks::CMutex mutex;
  GMainContext* context = nullptr;
  CWebServer* server = nullptr;
  std::atomic<bool> due{false};
};

// A request's deadline: the head and body must come in within
// kRequestSeconds, or the connection goes.
// One open connection. libsoup owns its socket; this holds it weakly, so a
// connection whose peer left, or that stayed idle past the limit, is closed
// and forgotten here whatever libsoup still keeps of it. Web thread only.
struct CWebServer::SPeer {
  GSocket* key = nullptr;  // the socket's address, m_peers' key (not a reference)
  GWeakRef socket;
  uint64_t id = 0;
  bool viewer = false;       // a WebSocket now: no idle limit
  GSource* watch = nullptr;  // while idle: the peer leaving (or sending the next request)
  GSource* timer = nullptr;  // while idle: the idle limit
  SPeer() { g_weak_ref_init(&socket, nullptr); }
  ~SPeer() { g_weak_ref_clear(&socket); }
  SPeer(const SPeer&) = delete;
  SPeer& operator=(const SPeer&) = delete;
};

// A TLS connection from its acceptance to its hand-over to libsoup: first
// its peer must speak (a silent one never takes a TLS worker thread), then
// finish the handshake, both within the handshake limit. Web thread only.
struct CWebServer::SHandshake {
  GSocket* socket = nullptr;  // a reference
  std::string from;           // the peer's address
  bool started = false;       // the handshake is under way (counted per address)
  GSource* wait = nullptr;    // for the peer's first bytes
  GSource* timer = nullptr;   // the handshake limit
  GCancellable* cancel = nullptr;
  GIOStream* tls = nullptr;
};

// A connection handed to libsoup, known by its peer's address.
struct CWebServer::SHanded {
  GWeakRef socket;
  SHanded() { g_weak_ref_init(&socket, nullptr); }
  ~SHanded() { g_weak_ref_clear(&socket); }
  SHanded(const SHanded&) = delete;
  SHanded& operator=(const SHanded&) = delete;
};

struct CWebServer::SRequest {
  GSocket* socket = nullptr;
  bool complete = false;
  ~SRequest() {
    if (socket) g_object_unref(socket);
  }
};

CWebServer::CWebServer(SWebConfig config, IWebSource& source, std::string version,
                       CRecordings recordings, SWebLimits limits)
    : m_config(std::move(config)),
      m_limits(limits),
      m_source(source),
      m_version(std::move(version)),
      m_started(Clock::now()),
      m_startedUnix(time(nullptr)),
      m_sessions(m_config.users,
                 std::chrono::seconds(static_cast<int64_t>(m_config.sessionHours * 3600))),
      m_openCsrf(RandomToken()),
      m_wake(std::make_shared<SWake>()),
      m_readAbort(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_recordings([&] {
        recordings.SetAbortFd(m_readAbort.Get());
        return std::move(recordings);
      }()) {}

CWebServer::~CWebServer() { Stop(); }

std::shared_ptr<CLiveStream> CWebServer::Stream(const std::string& camera) {
  qnv::locks::CLockGuard lock(m_streamsMutex);
  std::shared_ptr<CLiveStream>& s = m_streams[camera];
  if (!s) {
    s = std::make_shared<CLiveStream>(camera, m_limits.stallCutOff);
    std::weak_ptr<SWake> weak = m_wake;
    s->SetNotify([weak] {
      std::shared_ptr<SWake> wake = weak.lock();
      if (!wake || wake->due.exchange(true)) return;
      qnv::locks::CLockGuard lock(wake->mutex);
      if (wake->context == nullptr) return;
      CWebServer* server = wake->server;
      g_main_context_invoke(
          wake->context,
          [](gpointer p) -> gboolean {
            static_cast<CWebServer*>(p)->FlushViewers();
            return G_SOURCE_REMOVE;
          },
          server);
    });
  }
  return s;
}

void CWebServer::KeepStreams(const std::vector<std::string>& cameras) {
  qnv::locks::CLockGuard lock(m_streamsMutex);
  for (auto it = m_streams.begin(); it != m_streams.end();) {
    const bool keep = std::find(cameras.begin(), cameras.end(), it->first) != cameras.end();
    if (!keep) it->second->SetDown();
    it = keep ? std::next(it) : m_streams.erase(it);
  }
}

bool CWebServer::Start(std::string& error) {
  m_context = g_main_context_new();
  std::atomic<int> started{0};
  m_worker = std::thread([this] { Work(); });
  m_thread = std::thread([this, &error, &started] { Run(&error, &started); });
  while (started.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (started.load() < 0) {
    m_thread.join();
    {
      qnv::locks::CLockGuard lock(m_workMutex);
      m_workStop = true;
    }
    m_workWake.notify_all();
    m_worker.join();
    g_main_context_unref(m_context);
    m_context = nullptr;
    return false;
  }
  return true;
}

void CWebServer::Stop() {
  if (!m_thread.joinable()) return;
  {
    qnv::locks::CLockGuard lock(m_workMutex);
    m_workStop = true;
    for (const std::weak_ptr<SExport>& weak : m_exportWork) {
      if (std::shared_ptr<SExport> job = weak.lock()) job->cancel = true;
    }
    m_exportWork.clear();
  }
  m_workWake.notify_all();
  const uint64_t one = 1;
  if (m_readAbort.Valid() && ::write(m_readAbort.Get(), &one, sizeof one) < 0) {
    // Already signalled: the count is full, the descriptor readable.
  }
  if (m_worker.joinable()) m_worker.join();
  {
    qnv::locks::CLockGuard lock(m_wake->mutex);
    m_wake->context = nullptr;
    m_wake->server = nullptr;
  }
  g_main_context_invoke(
      m_context,
      [](gpointer p) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(p));
        return G_SOURCE_REMOVE;
      },
      m_loop);
  m_thread.join();
  g_main_context_unref(m_context);
  m_context = nullptr;
}

void CWebServer::Run(std::string* error, std::atomic<int>* started) {
  g_main_context_push_thread_default(m_context);
  m_closing = false;
  GError* gerror = nullptr;
  GTlsCertificate* cert = nullptr;
  if (!m_config.tlsCert.empty()) {
    // A file that cannot be read is named on its own; one that does not
    // parse is named with its pair (the library's message says which).
    for (const auto& [what, path] :
         {std::pair{"certificate", &m_config.tlsCert}, std::pair{"key", &m_config.tlsKey}}) {
      const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 && error->empty()) {
        *error = std::string("web: cannot read the TLS ") + what + " " + *path + ": " +
                 std::strerror(errno);
      }
      if (fd >= 0) ::close(fd);
    }
    if (error->empty()) {
      cert = g_tls_certificate_new_from_files(m_config.tlsCert.c_str(), m_config.tlsKey.c_str(),
                                              &gerror);
      std::string why;
      if (cert == nullptr) {
        *error = "web: the TLS certificate or key does not load (" + m_config.tlsCert + ", " +
                 m_config.tlsKey + "): " + (gerror ? gerror->message : "?");
      } else if (!KeyFitsCertificate(cert, m_context, why)) {
        *error = "web: the TLS key " + m_config.tlsKey + " is not the certificate's (" +
                 m_config.tlsCert + "): a test handshake failed: " + why;
      }
    }
  }
  if (error->empty()) {
    m_server = soup_server_new("server-header", "qnv-recorder", "tls-certificate", cert, nullptr);
    soup_server_add_handler(m_server, nullptr, &CWebServer::OnRequest, this, nullptr);
    soup_server_add_handler(m_server, kLivePath, &CWebServer::OnRequest, this, nullptr);
    soup_server_add_websocket_handler(m_server, kLivePath, nullptr, nullptr,
                                      &CWebServer::OnWebsocket, this, nullptr);
    g_signal_connect(m_server, "request-started", G_CALLBACK(&CWebServer::OnRequestStarted), this);
    GInetAddress* address = g_inet_address_new_from_string(m_config.address.c_str());
    GSocketAddress* socketAddress = g_inet_socket_address_new(address, m_config.port);
    // A socket of our own for a longer queue of connections not yet taken
    // than the default (10): a burst (a page's requests, many viewers, a
    // flood the cap then refuses) is taken at once, not after SYN retries.
    GSocket* listener = g_socket_new(g_socket_address_get_family(socketAddress),
                                     G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &gerror);
    bool listening = listener != nullptr;
    if (listening) {
      g_socket_set_listen_backlog(listener, kListenBacklog);
      listening = g_socket_bind(listener, socketAddress, TRUE, &gerror) &&
                  g_socket_listen(listener, &gerror);
      if (listening && cert) {
        // TLS: Accept takes the connections and hands them over after
        // their handshake.
        g_socket_set_blocking(listener, FALSE);
        m_listener = G_SOCKET(g_object_ref(listener));
        m_cert = G_TLS_CERTIFICATE(g_object_ref(cert));
        listening = ListenUnreachable(m_server, &gerror);
      } else if (listening) {
        listening = soup_server_listen_socket(m_server, listener,
                                              static_cast<SoupServerListenOptions>(0), &gerror);
      }
      g_object_unref(listener);
    }
    if (!listening) {
      *error = "web: cannot listen on " + m_config.address + " port " +
               std::to_string(m_config.port) + ": " + (gerror ? gerror->message : "?");
    } else if (m_listener) {
      GSocketAddress* local = g_socket_get_local_address(m_listener, nullptr);
      if (local) {
        m_port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
        g_object_unref(local);
      }
    } else {
      GSList* uris = soup_server_get_uris(m_server);
      if (uris) m_port = static_cast<uint16_t>(g_uri_get_port(static_cast<GUri*>(uris->data)));
      g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    }
    g_object_unref(socketAddress);
    g_object_unref(address);
  }
  if (cert) g_object_unref(cert);
  g_clear_error(&gerror);
  if (!error->empty()) {
    if (m_listener) g_object_unref(std::exchange(m_listener, nullptr));
    if (m_cert) g_object_unref(std::exchange(m_cert, nullptr));
    if (m_server) g_object_unref(m_server);
    m_server = nullptr;
    g_main_context_pop_thread_default(m_context);
    started->store(-1);
    return;
  }
  m_loop = g_main_loop_new(m_context, FALSE);
  {
    qnv::locks::CLockGuard lock(m_wake->mutex);
    m_wake->context = m_context;
    m_wake->server = this;
  }
  GSource* tick = g_timeout_source_new(1000);
  g_source_set_callback(
      tick,
      [](gpointer p) -> gboolean {
        static_cast<CWebServer*>(p)->Tick();
        return G_SOURCE_CONTINUE;
      },
      this, nullptr);
  g_source_attach(tick, m_context);
  if (m_listener) {
    m_accept = g_socket_create_source(m_listener, G_IO_IN, nullptr);
    g_source_set_callback(m_accept,
                          G_SOURCE_FUNC(+[](GSocket*, GIOCondition, gpointer p) -> gboolean {
                            static_cast<CWebServer*>(p)->Accept();
                            return G_SOURCE_CONTINUE;
                          }),
                          this, nullptr);
    g_source_attach(m_accept, m_context);
  }
  const bool loopback = LoopbackAddress(m_config.address);
  LOG_INFO("web: serving on %s://%s%s%s:%u/ (%s)", m_config.tlsCert.empty() ? "http" : "https",
           m_config.address.find(':') != std::string::npos ? "[" : "", m_config.address.c_str(),
           m_config.address.find(':') != std::string::npos ? "]" : "", m_port.load(),
           m_config.users.empty() ? "no login: this machine only"
                                  : (std::to_string(m_config.users.size()) + " user(s)").c_str());
  (void)loopback;
  started->store(1);

  g_main_loop_run(m_loop);

  // Answers the worker finished (it has stopped) go out before the server.
  while (g_main_context_iteration(m_context, FALSE)) {
  }
  g_source_destroy(tick);
  g_source_unref(tick);
  // Handshakes under way are cancelled; their threads answer soon.
  m_closing = true;
  if (m_accept) {
    g_source_destroy(m_accept);
    g_source_unref(std::exchange(m_accept, nullptr));
  }
  for (SHandshake* h : std::vector<SHandshake*>(m_handshakes)) {
    if (h->started) {
      g_cancellable_cancel(h->cancel);
    } else {
      EndHandshake(h, nullptr);
    }
  }
  const auto drained = Clock::now() + std::chrono::seconds(2);
  while (!m_handshakes.empty() && Clock::now() < drained) {
    if (!g_main_context_iteration(m_context, FALSE)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (m_listener) {
    g_socket_close(m_listener, nullptr);
    g_object_unref(std::exchange(m_listener, nullptr));
  }
  m_handed.clear();
  for (SConnection* c : m_viewers) {
    c->stream->RemoveViewer(c->viewer);
    g_signal_handlers_disconnect_by_data(c->conn, c);
    if (soup_websocket_connection_get_state(c->conn) == SOUP_WEBSOCKET_STATE_OPEN) {
      soup_websocket_connection_close(c->conn, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, "stopping");
    }
    g_object_unref(c->conn);
    delete c;
  }
  m_viewers.clear();
  for (auto& [key, peer] : m_peers) StopIdle(peer.get());
  m_peers.clear();
  m_peerCount = 0;
  soup_server_disconnect(m_server);
  g_object_unref(m_server);
  m_server = nullptr;
  // Whatever the sockets still had pending runs now, with no one listening.
  while (g_main_context_iteration(m_context, FALSE)) {
  }
  g_main_loop_unref(m_loop);
  m_loop = nullptr;
  if (m_cert) g_object_unref(std::exchange(m_cert, nullptr));
  g_main_context_pop_thread_default(m_context);
}

void CWebServer::Accept() {
  for (;;) {
    GSocket* socket = g_socket_accept(m_listener, nullptr, nullptr);
    if (socket == nullptr) return;  // none waiting (or a failure the next one may not have)
    if (m_handshakes.size() >= kMaxConnections) {
      uint64_t held = 0;
      if (m_refusedLog.Allow(held)) {
        LOG_WARN(
            "web: %zu TLS connections are in their handshake, the most it takes; one more "
            "was closed%s",
            kMaxConnections, HeldBackText(held).c_str());
      }
      g_socket_close(socket, nullptr);
      g_object_unref(socket);
      continue;
    }
    auto* h = new SHandshake;
    h->socket = socket;
    GSocketAddress* remote = g_socket_get_remote_address(socket, nullptr);
    h->from = AddressKey(remote, false);
    if (remote) g_object_unref(remote);
    m_handshakes.push_back(h);
    struct SWait {
      CWebServer* server;
      SHandshake* h;
    };
    h->wait = g_socket_create_source(
        socket, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
    g_source_set_callback(
        h->wait, G_SOURCE_FUNC(+[](GSocket* s, GIOCondition, gpointer p) -> gboolean {
          auto* w = static_cast<SWait*>(p);
          // A handshake begins with a record of type 22; a
          // peer that left or speaks no TLS costs none.
          constexpr char kTlsHandshake = 22;
          char byte = 0;
          const ssize_t n = ::recv(g_socket_get_fd(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
          if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return G_SOURCE_CONTINUE;
          }
          g_source_unref(std::exchange(w->h->wait, nullptr));
          if (n == 1 && byte == kTlsHandshake) {
            w->server->BeginHandshake(w->h);
          } else {
            w->server->EndHandshake(w->h, nullptr);
          }
          return G_SOURCE_REMOVE;
        }),
        new SWait{this, h}, [](gpointer p) { delete static_cast<SWait*>(p); });
    g_source_attach(h->wait, m_context);
    h->timer = g_timeout_source_new(static_cast<guint>(m_limits.handshake.count()));
    g_source_set_callback(
        h->timer,
        [](gpointer p) -> gboolean {
          auto* w = static_cast<SWait*>(p);
          g_source_unref(std::exchange(w->h->timer, nullptr));
          if (w->h->started) {
            g_cancellable_cancel(w->h->cancel);  // its callback ends it
          } else {
            w->server->EndHandshake(w->h, nullptr);
          }
          return G_SOURCE_REMOVE;
        },
        new SWait{this, h}, [](gpointer p) { delete static_cast<SWait*>(p); });
    g_source_attach(h->timer, m_context);
  }
}

void CWebServer::BeginHandshake(SHandshake* h) {
  size_t& from = m_handshakesFrom[h->from];
  if (from >= kMaxHandshakesPerAddress) {
    uint64_t held = 0;
    if (m_refusedLog.Allow(held)) {
      LOG_WARN(
          "web: %zu TLS handshakes from %s are under way, the most it takes; one more was "
          "closed%s",
          kMaxHandshakesPerAddress, h->from.c_str(), HeldBackText(held).c_str());
    }
    return EndHandshake(h, nullptr);
  }
  ++from;
  h->started = true;
  GSocketConnection* connection = g_socket_connection_factory_create_connection(h->socket);
  h->tls = g_tls_server_connection_new(G_IO_STREAM(connection), m_cert, nullptr);
  g_object_unref(connection);  // the TLS stream holds it
  if (h->tls == nullptr) return EndHandshake(h, nullptr);
  g_tls_connection_set_require_close_notify(G_TLS_CONNECTION(h->tls), FALSE);
  h->cancel = g_cancellable_new();
  struct SDone {
    CWebServer* server;
    SHandshake* h;
  };
  g_tls_connection_handshake_async(
      G_TLS_CONNECTION(h->tls), G_PRIORITY_DEFAULT, h->cancel,
      [](GObject* source, GAsyncResult* result, gpointer p) {
        std::unique_ptr<SDone> d(static_cast<SDone*>(p));
        const bool ok =
            g_tls_connection_handshake_finish(G_TLS_CONNECTION(source), result, nullptr);
        d->server->EndHandshake(d->h, ok ? d->h->tls : nullptr);
      },
      new SDone{this, h});
}

void CWebServer::EndHandshake(SHandshake* h, GIOStream* done) {
  for (GSource** source : {&h->wait, &h->timer}) {
    if (*source == nullptr) continue;
    g_source_destroy(*source);
    g_source_unref(std::exchange(*source, nullptr));
  }
  if (h->started) {
    auto it = m_handshakesFrom.find(h->from);
    if (it != m_handshakesFrom.end() && --it->second == 0) m_handshakesFrom.erase(it);
  }
  bool handed = false;
  if (done && !m_closing) {
    GSocketAddress* local = g_socket_get_local_address(h->socket, nullptr);
    GSocketAddress* remote = g_socket_get_remote_address(h->socket, nullptr);
    const std::string key = AddressKey(remote, true);
    // Known before it is handed over: libsoup may start its request at once.
    auto& entry = m_handed[key];
    entry = std::make_unique<SHanded>();
    g_weak_ref_set(&entry->socket, h->socket);
    handed = local && remote && soup_server_accept_iostream(m_server, done, local, remote, nullptr);
    if (!handed) m_handed.erase(key);
    if (local) g_object_unref(local);
    if (remote) g_object_unref(remote);
  }
  if (!handed) g_socket_close(h->socket, nullptr);
  if (h->tls) g_object_unref(h->tls);
  if (h->cancel) g_object_unref(h->cancel);
  g_object_unref(h->socket);
  std::erase(m_handshakes, h);
  delete h;
}

GSocket* CWebServer::SocketOf(SoupServerMessage* msg) {
  if (GSocket* socket = soup_server_message_get_socket(msg)) return socket;
  auto it = m_handed.find(AddressKey(soup_server_message_get_remote_address(msg), true));
  if (it == m_handed.end()) return nullptr;
  auto* socket = static_cast<GSocket*>(g_weak_ref_get(&it->second->socket));
  if (socket == nullptr) return nullptr;
  g_object_unref(socket);  // libsoup holds it while the message lives
  return socket;
}

void CWebServer::SweepPeers() {
  for (auto it = m_handed.begin(); it != m_handed.end();) {
    auto* socket = static_cast<GSocket*>(g_weak_ref_get(&it->second->socket));
    const bool gone = socket == nullptr || g_socket_is_closed(socket);
    if (socket) g_object_unref(socket);
    it = gone ? m_handed.erase(it) : std::next(it);
  }

  // Connections libsoup closed (a WebSocket's too, whose socket closes with
  // it, or one answered with "Connection: close") are let go here.
  for (auto it = m_peers.begin(); it != m_peers.end();) {
    GSocket* socket = static_cast<GSocket*>(g_weak_ref_get(&it->second->socket));
    const bool gone = socket == nullptr || g_socket_is_closed(socket);
    if (socket) g_object_unref(socket);
    if (gone) StopIdle(it->second.get());
    it = gone ? m_peers.erase(it) : std::next(it);
  }
  m_peerCount = m_peers.size();
}

CWebServer::SPeer* CWebServer::PeerOf(GSocket* socket) {
  auto it = m_peers.find(socket);
  if (it == m_peers.end()) return nullptr;
  GSocket* held = static_cast<GSocket*>(g_weak_ref_get(&it->second->socket));
  if (held) g_object_unref(held);
  if (held == socket) return it->second.get();
  // A socket gone, and a new one made at its address.
  StopIdle(it->second.get());
  m_peers.erase(it);
  m_peerCount = m_peers.size();
  return nullptr;
}

CWebServer::SPeer* CWebServer::AdmitConnection(GSocket* socket) {
  // A connection's first request starts as it is accepted; later ones on it
  // (keep-alive) are already counted.
  if (SPeer* known = PeerOf(socket)) return known;
  SweepPeers();
  if (m_peers.size() >= kMaxConnections) {
    uint64_t held = 0;
    if (m_refusedLog.Allow(held)) {
      LOG_WARN("web: %zu connections are open, the most it takes; one more was closed%s",
               kMaxConnections, HeldBackText(held).c_str());
    }
    return nullptr;
  }
  auto peer = std::make_unique<SPeer>();
  peer->key = socket;
  g_weak_ref_set(&peer->socket, socket);
  peer->id = m_nextPeer++;
  SPeer* made = peer.get();
  m_peers[socket] = std::move(peer);
  m_peerCount = m_peers.size();
  return made;
}

void CWebServer::StopIdle(SPeer* peer) {
  for (GSource** source : {&peer->watch, &peer->timer}) {
    if (*source == nullptr) continue;
    g_source_destroy(*source);
    g_source_unref(*source);
    *source = nullptr;
  }
}

void CWebServer::DropPeer(SPeer* peer, bool close) {
  StopIdle(peer);
  if (close) {
    // libsoup 3.2 neither notices a peer that left an idle connection nor
    // times one out: the descriptor is closed here (libsoup's own reads and
    // writes on it then fail, and it lets go of its part).
    if (auto* socket = static_cast<GSocket*>(g_weak_ref_get(&peer->socket))) {
      g_socket_close(socket, nullptr);
      g_object_unref(socket);
    }
  }
  m_peers.erase(peer->key);
  m_peerCount = m_peers.size();
}

namespace {

struct SWatch {
  CWebServer* server;
  CWebServer::SPeer* peer;
};

}  // namespace

void CWebServer::ArmWatch(SPeer* peer) {
  auto* socket = static_cast<GSocket*>(g_weak_ref_get(&peer->socket));
  if (socket == nullptr) return;
  peer->watch = g_socket_create_source(
      socket, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
  g_source_set_callback(
      peer->watch, G_SOURCE_FUNC(+[](GSocket* s, GIOCondition, gpointer p) -> gboolean {
        auto* w = static_cast<SWatch*>(p);
        if (!g_socket_is_closed(s)) {
          char byte = 0;
          const ssize_t n = ::recv(g_socket_get_fd(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
          if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return G_SOURCE_CONTINUE;
          }
          if (n > 0) {
            // The next request, or (with TLS) a closing alert: libsoup reads
            // it. Looked at again shortly (a request has started by then,
            // and a leaving peer's end follows its alert); the idle limit
            // runs on.
            g_source_unref(std::exchange(w->peer->watch, nullptr));
            w->peer->watch = g_timeout_source_new(kRewatchMs);
            g_source_set_callback(
                w->peer->watch,
                [](gpointer q) -> gboolean {
                  auto* again = static_cast<SWatch*>(q);
                  g_source_unref(std::exchange(again->peer->watch, nullptr));
                  again->server->ArmWatch(again->peer);
                  return G_SOURCE_REMOVE;
                },
                new SWatch{w->server, w->peer}, [](gpointer q) { delete static_cast<SWatch*>(q); });
            g_source_attach(w->peer->watch, w->server->m_context);
            return G_SOURCE_REMOVE;
          }
        }
        // The peer left (or the socket is closed already).
        w->server->DropPeer(w->peer, true);
        return G_SOURCE_REMOVE;
      }),
      new SWatch{this, peer}, [](gpointer p) { delete static_cast<SWatch*>(p); });
  g_source_attach(peer->watch, m_context);
  g_object_unref(socket);
}

void CWebServer::WatchIdle(SPeer* peer) {
  StopIdle(peer);
  ArmWatch(peer);
  peer->timer = g_timeout_source_new(static_cast<guint>(m_limits.idle.count()));
  g_source_set_callback(
      peer->timer,
      [](gpointer p) -> gboolean {
        auto* w = static_cast<SWatch*>(p);
        w->server->DropPeer(w->peer, true);
        return G_SOURCE_REMOVE;
      },
      new SWatch{this, peer}, [](gpointer p) { delete static_cast<SWatch*>(p); });
  g_source_attach(peer->timer, m_context);
}

void CWebServer::OnRequestFinished(SoupServerMessage* msg, void* self) {
  auto* server = static_cast<CWebServer*>(self);
  // The socket named at its start: libsoup may know the peer no more now.
  auto* socket = static_cast<GSocket*>(g_object_get_data(G_OBJECT(msg), "qnv-socket"));
  SPeer* peer = socket ? server->PeerOf(socket) : nullptr;
  const auto id = reinterpret_cast<uintptr_t>(g_object_get_data(G_OBJECT(msg), "qnv-peer"));
  if (peer == nullptr || peer->id != id || peer->viewer) return;
  if (g_socket_is_closed(socket)) return server->DropPeer(peer, false);
  server->WatchIdle(peer);
}

void CWebServer::OnRequestStarted(SoupServer*, SoupServerMessage* msg, void* self) {
  GSocket* socket = static_cast<CWebServer*>(self)->SocketOf(msg);
  if (socket == nullptr) return;
  SPeer* peer = static_cast<CWebServer*>(self)->AdmitConnection(socket);
  if (peer == nullptr) {
    g_socket_shutdown(socket, TRUE, TRUE, nullptr);
    return;
  }
  // Busy until answered; then OnRequestFinished starts the idle limit.
  static_cast<CWebServer*>(self)->StopIdle(peer);
  g_object_set_data(G_OBJECT(msg), "qnv-socket", socket);  // no reference: PeerOf checks it
  g_object_set_data(G_OBJECT(msg), "qnv-peer",
                    reinterpret_cast<gpointer>(static_cast<uintptr_t>(peer->id)));
  g_signal_connect(msg, "finished", G_CALLBACK(&CWebServer::OnRequestFinished), self);
  auto* request = new std::shared_ptr<SRequest>(std::make_shared<SRequest>());
  (*request)->socket = G_SOCKET(g_object_ref(socket));
  auto* mine = new std::shared_ptr<SRequest>(*request);
  g_object_set_data_full(G_OBJECT(msg), "qnv-request", mine,
                         [](gpointer p) { delete static_cast<std::shared_ptr<SRequest>*>(p); });
  // A body larger than any this server takes: the connection goes at once
  // (libsoup would otherwise read it all before a handler could answer).
  g_signal_connect(
      msg, "got-headers", G_CALLBACK(+[](SoupServerMessage* m, gpointer self) {
        SoupMessageHeaders* h = soup_server_message_get_request_headers(m);
        const SoupEncoding encoding = soup_message_headers_get_encoding(h);
        if (encoding == SOUP_ENCODING_CHUNKED ||
            (encoding == SOUP_ENCODING_CONTENT_LENGTH &&
             soup_message_headers_get_content_length(h) > static_cast<goffset>(kMaxBody))) {
          LOG_WARN("web: a request from %s announced a body over %zu bytes; closed",
                   soup_server_message_get_remote_host(m), kMaxBody);
          if (GSocket* s = static_cast<CWebServer*>(self)->SocketOf(m)) {
            g_socket_shutdown(s, TRUE, TRUE, nullptr);
          }
        }
      }),
      self);
  g_signal_connect(msg, "got-body", G_CALLBACK(+[](SoupServerMessage* m, gpointer) {
                     auto* r = static_cast<std::shared_ptr<SRequest>*>(
                         g_object_get_data(G_OBJECT(m), "qnv-request"));
                     if (r) (*r)->complete = true;
                   }),
                   nullptr);
  auto* server = static_cast<CWebServer*>(self);
  GSource* deadline = g_timeout_source_new_seconds(kRequestSeconds);
  g_source_set_callback(
      deadline,
      [](gpointer p) -> gboolean {
        auto* r = static_cast<std::shared_ptr<SRequest>*>(p);
        if (!(*r)->complete) g_socket_shutdown((*r)->socket, TRUE, TRUE, nullptr);
        return G_SOURCE_REMOVE;
      },
      request, [](gpointer p) { delete static_cast<std::shared_ptr<SRequest>*>(p); });
  g_source_attach(deadline, server->m_context);
  g_source_unref(deadline);
}

bool CWebServer::HostAllowed(SoupServerMessage* msg) const {
  if (!m_config.users.empty()) return true;
  // Without users only this machine is served: a name that is not a loopback
  // one would be a page elsewhere pointing a name at us (DNS rebinding).
  const std::string host = HostPart(Header(msg, "Host"));
  return host == "localhost" || LoopbackAddress(host);
}

bool CWebServer::SameOrigin(SoupServerMessage* msg) const {
  const std::string origin = Header(msg, "Origin");
  if (origin.empty()) return true;  // not a browser's cross-site request
  const std::string host = Header(msg, "Host");
  const std::string scheme = m_config.tlsCert.empty() ? "http://" : "https://";
  return origin == scheme + host;
}

const SWebSession* CWebServer::SessionOf(SoupServerMessage* msg) {
  if (m_config.users.empty()) {
    static thread_local SWebSession open;
    open.user = "";
    open.csrf = m_openCsrf;
    return &open;
  }
  const std::string token = CookieValue(Header(msg, "Cookie"), kCookie);
  return token.empty() ? nullptr : m_sessions.Find(token, Clock::now());
}

void CWebServer::OnRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable* query,
                           void* self) {
  auto* server = static_cast<CWebServer*>(self);
  if (soup_server_message_get_status(msg) != 0) return;  // refused on its head
  SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(h, "X-Content-Type-Options", "nosniff");
  soup_message_headers_replace(h, "X-Frame-Options", "DENY");
  soup_message_headers_replace(h, "Referrer-Policy", "no-referrer");
  // Below the idle limit, so a browser drops a connection before the server does.
  const auto idle = std::chrono::duration_cast<std::chrono::seconds>(server->m_limits.idle);
  soup_message_headers_replace(
      h, "Keep-Alive",
      ("timeout=" + std::to_string(std::max<int64_t>(1, idle.count() - 2))).c_str());
  soup_message_headers_replace(h, "Content-Security-Policy",
                               "default-src 'self'; img-src 'self' blob: data:; media-src 'self' "
                               "blob:; object-src 'none'; frame-ancestors 'none'");
  try {
    server->Handle(msg, path, query);
  } catch (const std::exception& e) {
    RespondError(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, e.what());
  }
}

void CWebServer::Handle(SoupServerMessage* msg, const std::string& path, GHashTable* query) {
  const std::string method = soup_server_message_get_method(msg);
  const bool read = method == "GET" || method == "HEAD";
  if (!HostAllowed(msg)) {
    RespondError(msg, SOUP_STATUS_FORBIDDEN,
                 "without [[web.user]] the page answers only to 127.0.0.1, ::1 or localhost");
    return;
  }
  const SPageFile* file = FindPageFile(path == "/" ? "/index.html" : path);
  if (file && file->open && read) {
    Respond(msg, SOUP_STATUS_OK, file->type, std::string(file->body));
    return;
  }
  if (path == "/api/login") {
    if (method != "POST") return RespondError(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "use POST");
    return Login(msg);
  }
  const SWebSession* session = SessionOf(msg);
  if (session == nullptr) {
    if (read && file) {
      soup_server_message_set_redirect(msg, SOUP_STATUS_SEE_OTHER, "/login.html");
    } else {
      RespondError(msg, SOUP_STATUS_UNAUTHORIZED, "log in first");
    }
    return;
  }
  if (!read) {
    if (!SameOrigin(msg) || !ConstantTimeEqual(Header(msg, kCsrfHeader), session->csrf)) {
      RespondError(msg, SOUP_STATUS_FORBIDDEN,
                   std::string("a change needs the ") + kCsrfHeader +
                       " header of the session (GET /api/session) and a request from this page");
      return;
    }
  }
  if (file && read) {
    Respond(msg, SOUP_STATUS_OK, file->type, std::string(file->body));
    return;
  }
  if (path.rfind("/api/", 0) == 0) return HandleApi(msg, path, session, query);
  RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such page");
}

void CWebServer::Login(SoupServerMessage* msg) {
  // A cross-site form cannot send JSON without asking first (which this
  // server never allows), and a page elsewhere cannot pass the origin test.
  if (Header(msg, "Content-Type").rfind("application/json", 0) != 0 || !SameOrigin(msg)) {
    RespondError(msg, SOUP_STATUS_FORBIDDEN, "log in from this server's page");
    return;
  }
  if (m_config.users.empty()) {
    RespondJson(msg, SOUP_STATUS_OK, json{{"user", ""}, {"csrf", m_openCsrf}});
    return;
  }
  const json request = RequestJson(msg);
  if (!request.is_object() || !request.contains("user") || !request["user"].is_string() ||
      !request.contains("password") || !request["password"].is_string()) {
    RespondError(msg, SOUP_STATUS_BAD_REQUEST, "send {\"user\": ..., \"password\": ...}");
    return;
  }
  const char* remote = soup_server_message_get_remote_host(msg);
  std::string token, csrf;
  int retryAfter = 0;
  const std::string user = request["user"].get<std::string>();
  switch (m_sessions.Login(remote ? remote : "?", user, request["password"].get<std::string>(),
                           Clock::now(), token, csrf, retryAfter)) {
    case CWebSessions::LoginResult::kOk: {
      std::string cookie = std::string(kCookie) + "=" + token +
                           "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                           std::to_string(static_cast<int64_t>(m_config.sessionHours * 3600));
      if (!m_config.tlsCert.empty()) cookie += "; Secure";
      soup_message_headers_append(soup_server_message_get_response_headers(msg), "Set-Cookie",
                                  cookie.c_str());
      LOG_INFO("web: %s logged in from %s", user.c_str(), remote ? remote : "?");
      RespondJson(msg, SOUP_STATUS_OK, json{{"user", user}, {"csrf", csrf}});
      return;
    }
    case CWebSessions::LoginResult::kRefused:
      LOG_WARN("web: refused a login as %s from %s", Escaped(user, 64).c_str(),
               remote ? remote : "?");
      RespondError(msg, SOUP_STATUS_UNAUTHORIZED, "wrong user name or password");
      return;
    case CWebSessions::LoginResult::kTooMany:
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After",
                                   std::to_string(retryAfter).c_str());
      RespondError(msg, kTooManyRequests,
                   "too many failed logins; try again in " + std::to_string(retryAfter) + " s");
      return;
    case CWebSessions::LoginResult::kFailed:
      RespondError(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, "no session could be made");
      return;
  }
}

std::string CWebServer::CamerasJson() {
  json list = json::array();
  for (const SCameraStatus& s : m_source.WebCameras()) {
    double bps = 0;
    size_t viewers = 0;
    if (auto it = m_bitrate.find(s.name); it != m_bitrate.end()) bps = it->second.second;
    {
      qnv::locks::CLockGuard lock(m_streamsMutex);
      if (auto it = m_streams.find(s.name); it != m_streams.end()) {
        viewers = it->second->ViewerCount();
      }
    }
    // The status file's view of the camera, and what only the page knows.
    json camera = CameraStatusJson(s);
    camera["reason_text"] = s.fault.text;
    camera["bitrate_bps"] = static_cast<int64_t>(bps);
    camera["viewers"] = viewers;
    list.push_back(std::move(camera));
  }
  return list.dump();
}

std::string CWebServer::StatusJson() {
  const SWebDisk disk = m_source.WebDisk();
  json cameras = json::array();
  for (const SWebCameraDisk& c : disk.cameras) {
    cameras.push_back({{"camera", c.camera},
                       {"bytes", c.bytes},
                       {"oldest", c.oldestUnix},
                       {"keep_days", c.keepDays},
                       {"keep_gb", c.keepGb}});
  }
  json storage = nullptr;
  if (disk.storage) {
    storage = {{"root", disk.root},
               {"instance", disk.instance},
               {"free_bytes", disk.freeBytes},
               {"disk_full", disk.full},
               {"keep_days", disk.keepDays},
               {"keep_gb", disk.keepGb},
               {"min_free_mb", disk.minFreeMb},
               {"measured", disk.measuredUnix},
               {"cameras", cameras}};
  }
  const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_started);
  return json{{"version", m_version},
              {"started", m_startedUnix},
              {"uptime_s", uptime.count()},
              {"now", static_cast<int64_t>(time(nullptr))},
              {"storage", storage},
              {"process", ProcessStatusJson(m_source.WebProcess())},
              {"cameras", json::parse(CamerasJson())}}
      .dump();
}

void CWebServer::HandleApi(SoupServerMessage* msg, const std::string& path,
                           const SWebSession* session, GHashTable* query) {
  const std::string method = soup_server_message_get_method(msg);
  const bool read = method == "GET" || method == "HEAD";
  if (path == "/api/session" && read) {
    RespondJson(msg, SOUP_STATUS_OK,
                json{{"user", session->user},
                     {"csrf", session->csrf},
                     {"login", !m_config.users.empty()},
                     {"storage", m_source.WebDisk().storage}});
  } else if (path == "/api/logout" && method == "POST") {
    m_sessions.Logout(CookieValue(Header(msg, "Cookie"), kCookie));
    soup_message_headers_append(
        soup_server_message_get_response_headers(msg), "Set-Cookie",
        (std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0").c_str());
    RespondJson(msg, SOUP_STATUS_OK, json::object());
  } else if (path == "/api/cameras" && read) {
    Respond(msg, SOUP_STATUS_OK, "application/json", CamerasJson());
  } else if (path == "/api/status" && read) {
    Respond(msg, SOUP_STATUS_OK, "application/json", StatusJson());
  } else if (path == "/api/timeline" && read) {
    Timeline(msg, query);
  } else if (path == "/api/thumbnail" && read) {
    ThumbnailOf(msg, query);
  } else if (path == "/api/play" && read) {
    Play(msg, query);
  } else if (path == "/api/exports" && method == "POST") {
    StartExport(msg);
  } else if (path.rfind("/api/exports/", 0) == 0 && read) {
    ExportState(msg, path.substr(std::strlen("/api/exports/")));
  } else if (path.rfind("/api/exports/", 0) == 0 && method == "DELETE") {
    CancelExport(msg, path.substr(std::strlen("/api/exports/")));
  } else if (path == "/api/version" && read) {
    RespondJson(msg, SOUP_STATUS_OK, json{{"version", m_version}});
  } else if (path.rfind(std::string(kLivePath) + "/", 0) == 0 && read) {
    // The WebSocket's handshake: let it through only to a known camera, from
    // this page, and within the viewer limit.
    const std::string camera = path.substr(std::strlen(kLivePath) + 1);
    bool known = false;
    {
      qnv::locks::CLockGuard lock(m_streamsMutex);
      known = m_streams.count(camera) != 0;
    }
    if (!known) return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such camera");
    if (!SameOrigin(msg)) return RespondError(msg, SOUP_STATUS_FORBIDDEN, "not from this page");
    if (m_viewers.size() >= kMaxViewers) {
      return RespondError(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "too many viewers");
    }
    if (Header(msg, "Upgrade").empty()) {
      RespondError(msg, SOUP_STATUS_BAD_REQUEST, "a WebSocket: the live picture as fragmented MP4");
    }
    // Status left unset: libsoup completes the WebSocket handshake.
  } else {
    RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such API call");
  }
}

void CWebServer::OnWebsocket(SoupServer*, SoupServerMessage* msg, const char* path,
                             SoupWebsocketConnection* conn, void* self) {
  auto* server = static_cast<CWebServer*>(self);
  // A viewer may watch for hours: no idle limit (its keep-alive pings and
  // the stall cut-off bound it instead).
  auto* socket = static_cast<GSocket*>(g_object_get_data(G_OBJECT(msg), "qnv-socket"));
  if (SPeer* peer = socket ? server->PeerOf(socket) : nullptr) {
    peer->viewer = true;
    server->StopIdle(peer);
  } else {
    socket = server->SocketOf(msg);
  }
  const std::string camera = std::string(path).substr(std::strlen(kLivePath) + 1);
  std::shared_ptr<CLiveStream> stream;
  {
    qnv::locks::CLockGuard lock(server->m_streamsMutex);
    if (auto it = server->m_streams.find(camera); it != server->m_streams.end())
      stream = it->second;
  }
  if (!stream) {
    soup_websocket_connection_close(conn, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "no such camera");
    return;
  }
  auto* c = new SConnection;
  c->server = server;
  c->conn = SOUP_WEBSOCKET_CONNECTION(g_object_ref(conn));
  c->stream = stream;
  c->viewer = stream->AddViewer();
  // What the connection carried before (requests kept alive, the upgrade's
  // answer) is no part of what the viewer received.
  if (socket) {
    c->fd = g_socket_get_fd(socket);
    uint64_t acked = 0, pending = 0;
    if (TcpDelivered(c->fd, acked, pending)) c->sentBefore = acked + pending;
  }
  soup_websocket_connection_set_keepalive_interval(conn, 5);
  soup_websocket_connection_set_max_incoming_payload_size(conn, kMaxAckMessage);
  g_signal_connect(
      conn, "message",
      G_CALLBACK(+[](SoupWebsocketConnection*, gint type, GBytes* message, gpointer p) {
        auto* c = static_cast<SConnection*>(p);
        gsize size = 0;
        const char* data = static_cast<const char*>(g_bytes_get_data(message, &size));
        // "ack BYTES": what the viewer has received in all.
        if (type != SOUP_WEBSOCKET_DATA_TEXT || size < 5 || size > 40 ||
            std::strncmp(data, "ack ", 4) != 0) {
          return;
        }
        const std::string n(data + 4, size - 4);
        char* end = nullptr;
        unsigned long long bytes = std::strtoull(n.c_str(), &end, 10);
        if (end == n.c_str()) return;
        // Never more than the connection delivered: a client that claims
        // bytes it never took would have the server queue without end.
        uint64_t acked = 0;
        uint64_t pending = 0;
        if (!TcpDelivered(c->fd, acked, pending)) return;
        bytes = std::min<uint64_t>(bytes, acked - std::min(acked, c->sentBefore));
        c->stream->Ack(c->viewer, bytes, Clock::now());
      }),
      c);
  g_signal_connect(conn, "closed", G_CALLBACK(+[](SoupWebsocketConnection*, gpointer p) {
                     auto* c = static_cast<SConnection*>(p);
                     c->server->CloseViewer(c, 0, nullptr);
                   }),
                   c);
  server->m_viewers.push_back(c);
  server->FlushViewers();
}

void CWebServer::CloseViewer(SConnection* c, unsigned short code, const char* why) {
  auto it = std::find(m_viewers.begin(), m_viewers.end(), c);
  if (it == m_viewers.end()) return;
  m_viewers.erase(it);
  c->stream->RemoveViewer(c->viewer);
  g_signal_handlers_disconnect_by_data(c->conn, c);
  if (code != 0 && soup_websocket_connection_get_state(c->conn) == SOUP_WEBSOCKET_STATE_OPEN) {
    soup_websocket_connection_close(c->conn, code, why);
  }
  g_object_unref(c->conn);
  delete c;
}

void CWebServer::FlushViewers() {
  m_wake->due.store(false);
  const auto now = Clock::now();
  std::vector<CLiveStream::Chunk> chunks;
  for (size_t i = 0; i < m_viewers.size();) {
    SConnection* c = m_viewers[i];
    chunks.clear();
    uint64_t baseUs = 0;
    if (!c->stream->Take(c->viewer, chunks, now, baseUs)) {
      LOG_WARN("web %s: a viewer received nothing for %lld ms; cut off", c->stream->Name().c_str(),
               static_cast<long long>(m_limits.stallCutOff.count()));
      CloseViewer(c, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "too slow");
      continue;
    }
    if (soup_websocket_connection_get_state(c->conn) == SOUP_WEBSOCKET_STATE_OPEN) {
      // What time zero of the stream's media time is, in capture time: the
      // page can then show (and a benchmark measure) how old a picture is.
      if (baseUs != 0) {
        soup_websocket_connection_send_text(
            c->conn, json{{"base_us", baseUs},
                          {"camera", c->stream->Name()},
                          {"mime", c->stream->MimeType()}}
                         .dump()
                         .c_str());
      }
      for (const CLiveStream::Chunk& chunk : chunks) {
        soup_websocket_connection_send_binary(c->conn, chunk->data(), chunk->size());
      }
    }
    ++i;
  }
}

void CWebServer::Tick() {
  SweepPeers();
  // Bit rates over the last second or so, and viewers that stopped answering.
  qnv::locks::CLockGuard lock(m_streamsMutex);
  for (auto& [name, stream] : m_streams) {
    const uint64_t bytes = stream->BytesIn();
    auto& [last, bps] = m_bitrate[name];
    bps = 0.5 * bps + 0.5 * static_cast<double>(bytes - std::min(last, bytes)) * 8;
    last = bytes;
  }
  for (auto it = m_bitrate.begin(); it != m_bitrate.end();) {
    it = m_streams.count(it->first) ? std::next(it) : m_bitrate.erase(it);
  }
  // FlushViewers takes no streams lock itself; called after this one is let go.
  g_main_context_invoke(
      m_context,
      [](gpointer p) -> gboolean {
        static_cast<CWebServer*>(p)->FlushViewers();
        return G_SOURCE_REMOVE;
      },
      this);
}

void CWebServer::AlarmEvent(const SAlarmEvent& event) {
  const qnvnet_alarm& alarm = event.alarm;
  const int64_t timeUs = alarm.capture_us > 946684800ull * 1000000
                             ? static_cast<int64_t>(alarm.capture_us)
                             : event.arrivedUnixMs * 1000;
  qnv::locks::CLockGuard lock(m_alarmsMutex);
  m_alarms.push_back({event.camera, timeUs, alarm.rule});
  if (m_alarms.size() > kMaxEvents) m_alarms.pop_front();
}

void CWebServer::Work() {
  qnv::locks::CUniqueLock lock(m_workMutex);
  for (;;) {
    m_workWake.wait(lock.Native(),
                    [&]() REQUIRES(m_workMutex) { return m_workStop || !m_work.empty(); });
    if (m_work.empty()) return;  // stopping, and nothing queued
    std::function<void()> task = std::move(m_work.front());
    m_work.pop_front();
    lock.Unlock();
    task();
    lock.Lock();
  }
}

void CWebServer::Post(SoupServerMessage* msg, std::function<void()> work,
                      std::function<void(SoupServerMessage*)> finish) {
  struct SDone {
    CWebServer* server;
    SoupServerMessage* msg;
    std::function<void(SoupServerMessage*)> finish;
  };
  {
    qnv::locks::CLockGuard lock(m_workMutex);
    if (m_workStop) return RespondError(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "stopping");
  }
  soup_server_message_pause(msg);
  g_object_ref(msg);
  // The request's deadline is for reading it: the answer may take longer.
  auto* r =
      static_cast<std::shared_ptr<SRequest>*>(g_object_get_data(G_OBJECT(msg), "qnv-request"));
  if (r) (*r)->complete = true;
  auto* done = new SDone{this, msg, std::move(finish)};
  qnv::locks::CLockGuard lock(m_workMutex);
  m_work.push_back([done, work = std::move(work)] {
    work();
    g_main_context_invoke(
        done->server->m_context,
        [](gpointer p) -> gboolean {
          auto* d = static_cast<SDone*>(p);
          d->finish(d->msg);
          soup_server_message_unpause(d->msg);
          g_object_unref(d->msg);
          delete d;
          return G_SOURCE_REMOVE;
        },
        done);
  });
  m_workWake.notify_one();
}

namespace {

bool QueryInt(GHashTable* query, const char* key, int64_t& out) {
  const char* v = query ? static_cast<const char*>(g_hash_table_lookup(query, key)) : nullptr;
  if (v == nullptr || *v == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(v, &end, 10);
  if (*end != '\0' || errno != 0) return false;
  out = n;
  return true;
}

// Whether [fromUs, toUs) is a span the page may ask for: both ends within
// 1970..9999 and at most maxUs apart. The ends are bounded before they are
// subtracted, so no pair of numbers wraps into a short span.
constexpr int64_t kEndUs = 253402300800LL * 1000000;  // 10000-01-01T00:00:00Z
constexpr int64_t kThumbnailUs = 200000;              // the stretch a thumbnail is decoded from

bool TimeAllowed(int64_t timeUs) { return timeUs >= 0 && timeUs < kEndUs; }

bool SpanAllowed(int64_t fromUs, int64_t toUs, int64_t maxUs) {
  return TimeAllowed(fromUs) && toUs <= kEndUs && fromUs < toUs && toUs - fromUs <= maxUs;
}

std::string QueryText(GHashTable* query, const char* key) {
  const char* v = query ? static_cast<const char*>(g_hash_table_lookup(query, key)) : nullptr;
  return v ? v : "";
}

// Serves a file's bytes without copying them (a mapping of it).
bool RespondFile(SoupServerMessage* msg, int fd, const char* type) {
  GError* error = nullptr;
  GMappedFile* map = g_mapped_file_new_from_fd(fd, FALSE, &error);
  if (map == nullptr) {
    RespondError(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR,
                 std::string("cannot read the video: ") + (error ? error->message : "?"));
    g_clear_error(&error);
    return false;
  }
  GBytes* bytes = g_mapped_file_get_bytes(map);
  g_mapped_file_unref(map);
  soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Content-Type", type);
  soup_message_body_append_bytes(soup_server_message_get_response_body(msg), bytes);
  g_bytes_unref(bytes);
  return true;
}

}  // namespace

bool CWebServer::Configured(const std::string& camera) {
  for (const SCameraStatus& s : m_source.WebCameras()) {
    if (s.name == camera) return true;
  }
  return false;
}

void CWebServer::Timeline(SoupServerMessage* msg, GHashTable* query) {
  const std::string camera = QueryText(query, "camera");
  int64_t fromUs = 0, toUs = 0;
  if (!ValidCameraName(camera) || !QueryInt(query, "from", fromUs) ||
      !QueryInt(query, "to", toUs) || !SpanAllowed(fromUs, toUs, 8 * 86400LL * 1000000)) {
    return RespondError(msg, SOUP_STATUS_BAD_REQUEST,
                        "give camera, from and to (microseconds since 1970, at most 8 days)");
  }
  if (!Configured(camera)) return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such camera");
  std::vector<SAlarm> alarms;
  {
    qnv::locks::CLockGuard lock(m_alarmsMutex);
    for (const SAlarm& a : m_alarms) {
      if (a.camera == camera && a.timeUs >= fromUs && a.timeUs < toUs) alarms.push_back(a);
    }
  }
  auto result = std::make_shared<json>();
  Post(
      msg,
      [this, camera, fromUs, toUs, alarms, result] {
        std::vector<qnvcat::SSegmentRow> rows;
        std::vector<qnvcat::SEventRow> events;
        std::string source, error;
        CRecordings recordings = m_recordings;
        if (!recordings.Segments(camera, fromUs, toUs, rows, source, error)) {
          *result = json{{"error", error}};
          return;
        }
        qnvcat::SEventQuery eq;
        eq.camera = camera;
        eq.fromUs = fromUs;
        eq.toUs = toUs;
        recordings.Events(eq, events, error);
        const int64_t nowUs = static_cast<int64_t>(time(nullptr)) * 1000000;
        json spans = json::array(), gaps = json::array(), marks = json::array();
        const auto coverage = qnvcat::CoverageOf(rows, fromUs, toUs, 1000000, nowUs);
        for (const qnvcat::SSpan& sp : coverage) {
          spans.push_back({{"from", sp.fromUs}, {"to", sp.toUs}, {"segments", sp.segments}});
        }
        for (const qnvcat::SSpan& g : qnvcat::GapsOf(coverage, fromUs, toUs, 1000000, nowUs)) {
          gaps.push_back({{"from", g.fromUs}, {"to", g.toUs}});
        }
        for (const qnvcat::SEventRow& e : events) {
          marks.push_back({{"id", e.id}, {"time", e.timeUs}, {"rule", e.rule}});
        }
        for (const SAlarm& a : alarms) {
          bool known = false;
          for (const qnvcat::SEventRow& e : events) known = known || e.timeUs == a.timeUs;
          if (!known) marks.push_back({{"id", 0}, {"time", a.timeUs}, {"rule", a.rule}});
        }
        *result = json{{"camera", camera}, {"from", fromUs}, {"to", toUs},     {"source", source},
                       {"spans", spans},   {"gaps", gaps},   {"events", marks}};
      },
      [result](SoupServerMessage* m) {
        RespondJson(m,
                    result->contains("error") ? SOUP_STATUS_INTERNAL_SERVER_ERROR : SOUP_STATUS_OK,
                    *result);
      });
}

void CWebServer::Play(SoupServerMessage* msg, GHashTable* query) {
  const std::string camera = QueryText(query, "camera");
  int64_t fromUs = 0, toUs = 0;
  if (!ValidCameraName(camera) || !QueryInt(query, "from", fromUs) ||
      !QueryInt(query, "to", toUs) || !SpanAllowed(fromUs, toUs, kMaxPlayUs)) {
    return RespondError(msg, SOUP_STATUS_BAD_REQUEST,
                        "give camera, from and to (microseconds since 1970, at most 300 s apart)");
  }
  if (!Configured(camera)) return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such camera");
  const bool fragmented = QueryText(query, "fragmented") == "1";
  // In memory: playback leaves no file behind.
  struct SPlay {
    int fd = -1;
    std::string error;
    qnvrec::SRangeResult result;
    ~SPlay() {
      if (fd >= 0) ::close(fd);
    }
  };
  auto play = std::make_shared<SPlay>();
  Post(
      msg,
      [this, camera, fromUs, toUs, fragmented, play] {
        play->fd = memfd_create("qnv-play", MFD_CLOEXEC);
        if (play->fd < 0) {
          play->error = std::string("no memory for the video: ") + std::strerror(errno);
          return;
        }
        CRecordings recordings = m_recordings;
        const bool made =
            fragmented
                ? recordings.Piece(camera, fromUs, toUs, play->fd, play->result, play->error)
                : recordings.Export(camera, fromUs, toUs, play->fd, play->result, play->error);
        if (!made) {
          ::close(play->fd);
          play->fd = -1;
        }
      },
      [play, fragmented](SoupServerMessage* m) {
        if (play->fd < 0) return RespondError(m, SOUP_STATUS_NOT_FOUND, play->error);
        // With its codecs, which the page's Media Source needs.
        const std::string type =
            play->result.mimeType.empty() ? "video/mp4" : play->result.mimeType;
        if (!RespondFile(m, play->fd, type.c_str()) || !fragmented) return;
        // Where the page places the piece (media time 0) and asks for the next.
        SoupMessageHeaders* headers = soup_server_message_get_response_headers(m);
        soup_message_headers_replace(headers, "X-Key-Us",
                                     std::to_string(play->result.keyUs).c_str());
        soup_message_headers_replace(headers, "X-End-Us",
                                     std::to_string(play->result.endUs).c_str());
      });
}

void CWebServer::ThumbnailOf(SoupServerMessage* msg, GHashTable* query) {
  const std::string camera = QueryText(query, "camera");
  int64_t timeUs = 0;
  if (!ValidCameraName(camera) || !QueryInt(query, "time", timeUs) || !TimeAllowed(timeUs)) {
    return RespondError(msg, SOUP_STATUS_BAD_REQUEST,
                        "give camera and time (microseconds since 1970)");
  }
  if (!Configured(camera)) return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such camera");
  auto jpeg = std::make_shared<std::string>();
  auto error = std::make_shared<std::string>();
  Post(
      msg,
      [this, camera, timeUs, jpeg, error] {
        if (m_recordings.Available() && FindSnapshot(m_recordings.Root(), m_recordings.Instance(),
                                                     camera, timeUs / 1000, *jpeg)) {
          return;
        }
        // Else the picture at that time, from the recording.
        const int fd = memfd_create("qnv-thumbnail", MFD_CLOEXEC);
        if (fd < 0) {
          *error = std::string("no memory: ") + std::strerror(errno);
          return;
        }
        CRecordings recordings = m_recordings;
        qnvrec::SRangeResult result;
        if (recordings.Export(camera, timeUs, timeUs + kThumbnailUs, fd, result, *error)) {
          DecodeThumbnail("/proc/self/fd/" + std::to_string(fd), *jpeg, *error);
        }
        ::close(fd);
      },
      [jpeg, error](SoupServerMessage* m) {
        if (jpeg->empty()) return RespondError(m, SOUP_STATUS_NOT_FOUND, *error);
        soup_message_headers_replace(soup_server_message_get_response_headers(m), "Cache-Control",
                                     "private, max-age=86400");
        Respond(m, SOUP_STATUS_OK, "image/jpeg", *jpeg);
      });
}

void CWebServer::StartExport(SoupServerMessage* msg) {
  const json request = RequestJson(msg);
  if (!request.is_object() || !request.contains("camera") || !request["camera"].is_string() ||
      !request.contains("from") || !request["from"].is_number_integer() ||
      !request.contains("to") || !request["to"].is_number_integer()) {
    return RespondError(msg, SOUP_STATUS_BAD_REQUEST,
                        "send {\"camera\": ..., \"from\": US, \"to\": US}");
  }
  auto job = std::make_shared<SExport>();
  job->camera = request["camera"].get<std::string>();
  job->fromUs = request["from"].get<int64_t>();
  job->toUs = request["to"].get<int64_t>();
  job->made = Clock::now();
  if (!ValidCameraName(job->camera) || !SpanAllowed(job->fromUs, job->toUs, kMaxExportUs)) {
    return RespondError(msg, SOUP_STATUS_BAD_REQUEST, "a camera and a span of at most an hour");
  }
  if (!Configured(job->camera)) {
    return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such camera");
  }
  if (!m_recordings.Available()) {
    return RespondError(msg, SOUP_STATUS_NOT_FOUND, "nothing is recorded: no [storage]");
  }
  // Old exports make room: the oldest goes (a cancelled one first), and
  // its work with it.
  for (auto it = m_exports.begin(); it != m_exports.end();) {
    const bool old = Clock::now() - it->second->made > std::chrono::minutes(30);
    if (old) it->second->cancel = true;
    it = old ? m_exports.erase(it) : std::next(it);
  }
  while (m_exports.size() >= kMaxExports) {
    auto first = std::min_element(m_exports.begin(), m_exports.end(), [](auto& a, auto& b) {
      const bool liveA = !a.second->cancel, liveB = !b.second->cancel;
      return liveA != liveB ? liveB : a.second->made < b.second->made;
    });
    first->second->cancel = true;
    m_exports.erase(first);
  }
  const std::string id = RandomToken().substr(0, 16);
  m_exports[id] = job;
  {
    qnv::locks::CLockGuard lock(m_workMutex);
    std::erase_if(m_exportWork, [](const std::weak_ptr<SExport>& w) { return w.expired(); });
    m_exportWork.push_back(job);
    m_work.push_back([this, job] {
      std::string error = "cancelled";
      const int fd = job->cancel ? -1 : m_recordings.TemporaryFile(error);
      qnvrec::SRangeResult result;
      bool ok = fd >= 0 && CRecordings(m_recordings)
                               .Export(
                                   job->camera, job->fromUs, job->toUs, fd, result, error,
                                   [job](size_t done, size_t total) {
                                     qnv::locks::CLockGuard lock(job->mutex);
                                     job->done = done;
                                     job->total = total;
                                   },
                                   &job->cancel);
      struct stat st {};
      if (ok && ::fstat(fd, &st) != 0) ok = false;
      qnv::locks::CLockGuard lock(job->mutex);
      job->finished = true;
      if (job->cancel) {  // also when it was cancelled just as it finished
        ok = false;
        error = "cancelled";
      }
      if (!ok) {
        job->error = error;
        if (fd >= 0) ::close(fd);
        if (job->cancel) LOG_INFO("web: export of %s cancelled", job->camera.c_str());
        return;
      }
      job->fd = fd;
      job->bytes = static_cast<uint64_t>(st.st_size);
      job->done = job->total;
    });
  }
  m_workWake.notify_one();
  LOG_INFO("web: export of %s queued", job->camera.c_str());
  RespondJson(msg, SOUP_STATUS_ACCEPTED, json{{"id", id}});
}

void CWebServer::ExportState(SoupServerMessage* msg, const std::string& rest) {
  const std::string id = rest.substr(0, rest.find('/'));
  auto it = m_exports.find(id);
  if (it == m_exports.end()) return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such export");
  std::shared_ptr<SExport> job = it->second;
  qnv::locks::CLockGuard lock(job->mutex);
  if (rest.size() > id.size()) {
    if (rest.substr(id.size()) != "/file") {
      return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such export");
    }
    if (job->cancel) return RespondError(msg, SOUP_STATUS_GONE, "the export was cancelled");
    if (job->fd < 0) return RespondError(msg, SOUP_STATUS_CONFLICT, "the export is not ready");
    if (RespondFile(msg, job->fd, "video/mp4")) {
      const std::string name = "attachment; filename=\"" + job->camera + "-" +
                               std::to_string(job->fromUs / 1000000) + ".mp4\"";
      soup_message_headers_replace(soup_server_message_get_response_headers(msg),
                                   "Content-Disposition", name.c_str());
    }
    return;
  }
  RespondJson(msg, SOUP_STATUS_OK, job->State(id));
}

void CWebServer::CancelExport(SoupServerMessage* msg, const std::string& id) {
  auto it = m_exports.find(id);
  if (it == m_exports.end()) return RespondError(msg, SOUP_STATUS_NOT_FOUND, "no such export");
  std::shared_ptr<SExport> job = it->second;
  qnv::locks::CLockGuard lock(job->mutex);
  if (!job->cancel.exchange(true) && job->finished) {
    // Made and not fetched, or failed: its file (if any) goes now; work
    // under way stops at its next picture and closes the file itself.
    if (job->fd >= 0) ::close(job->fd);
    job->fd = -1;
    if (job->error.empty()) job->error = "cancelled";
    LOG_INFO("web: export of %s removed", job->camera.c_str());
  }
  RespondJson(msg, SOUP_STATUS_OK, job->State(id));
}

}  // namespace qnvrecorder

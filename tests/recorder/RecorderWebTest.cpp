// The recorder's web server as a browser and a hostile client meet it: the
// real qnv-recorder against a simulated camera, spoken to over raw sockets
// (bytes on the wire), and its login pieces directly.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "MqttBroker.h"
#include "RecorderFixture.h"
#include "config/Config.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvrecording/H264Nal.h"
#include "qnvrecording/SIndexRecord.h"
#include "qnvrecording/TimeText.h"
#include "storage/SegmentNames.h"
#include "web/CLiveStream.h"
#include "web/CRecordings.h"
#include "web/CWebServer.h"
#include "web/WebAuth.h"

namespace qnvrectest {
namespace {

using namespace std::chrono_literals;
using qnvrecorder::CWebSessions;
using Json = nlohmann::json;

// Copies of one segment an export is given to make it long.
constexpr unsigned kCopies = 3000;

// A connection to 127.0.0.1:port; -1 on failure.
int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes, maxBytes arrive or timeoutMs pass.
std::string ReadAll(int fd, int timeoutMs, size_t maxBytes = 1 << 20) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < maxBytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char b[65536];
    const ssize_t n = ::read(fd, b, sizeof b);
    if (n <= 0) break;
    out.append(b, static_cast<size_t>(n));
  }
  return out;
}

struct SReply {
  int status = 0;
  std::string head, body;
  std::string Header(const std::string& name) const {
    const size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    const size_t from = at + name.size() + 4;
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

// An answer's status, head and body; status 0 when it is no HTTP answer.
SReply ParseReply(const std::string& raw) {
  SReply r;
  const size_t split = raw.find("\r\n\r\n");
  if (raw.size() < 12 || raw.rfind("HTTP/1.", 0) != 0 || split == std::string::npos) return r;
  r.status = std::atoi(raw.c_str() + 9);
  r.head = raw.substr(0, split + 2);
  r.body = raw.substr(split + 4);
  return r;
}

SReply Http(uint16_t port, const std::string& request) {
  const int fd = Connect(port);
  if (fd < 0) return SReply{};
  EXPECT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const std::string raw = ReadAll(fd, 10000, 64u << 20);
  ::close(fd);
  return ParseReply(raw);
}

// The same over TLS to 127.0.0.1, trusting only the certificate in caFile
// ("": the system's authorities); status 0 and why when the handshake or the
// exchange fails.
SReply Https(uint16_t port, const std::string& request, const std::string& caFile,
             std::string* why = nullptr) {
  GError* error = nullptr;
  std::string raw;
  GSocketClient* client = g_socket_client_new();
  g_socket_client_set_timeout(client, 10);
  GSocketConnection* tcp =
      g_socket_client_connect_to_host(client, "127.0.0.1", port, nullptr, &error);
  GTlsDatabase* trusted =
      tcp && !caFile.empty() ? g_tls_file_database_new(caFile.c_str(), &error) : nullptr;
  GSocketConnectable* identity = g_network_address_new("127.0.0.1", port);
  GIOStream* tls = tcp && error == nullptr
                       ? g_tls_client_connection_new(G_IO_STREAM(tcp), identity, &error)
                       : nullptr;
  if (tls && trusted) g_tls_connection_set_database(G_TLS_CONNECTION(tls), trusted);
  gsize written = 0;
  if (tls && g_tls_connection_handshake(G_TLS_CONNECTION(tls), nullptr, &error) &&
      g_output_stream_write_all(g_io_stream_get_output_stream(tls), request.data(), request.size(),
                                &written, nullptr, &error)) {
    char b[65536];
    gssize n = 0;
    while ((n = g_input_stream_read(g_io_stream_get_input_stream(tls), b, sizeof b, nullptr,
                                    &error)) > 0) {
      raw.append(b, static_cast<size_t>(n));
    }
    // A peer that closes without a TLS goodbye after its answer is still an answer.
    if (!raw.empty()) g_clear_error(&error);
  }
  if (why) *why = error ? error->message : "";
  g_clear_error(&error);
  if (tls) g_object_unref(tls);
  g_object_unref(identity);
  if (trusted) g_object_unref(trusted);
  if (tcp) g_object_unref(tcp);
  g_object_unref(client);
  return ParseReply(raw);
}

std::string Request(const std::string& method, const std::string& path, uint16_t port,
                    const std::string& extra = "", const std::string& body = "") {
  std::string r = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nConnection: close\r\n" + extra;
  if (!body.empty() || method == "POST")
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return r + "\r\n" + body;
}

// The head of a WebSocket upgrade to a camera's live stream.
std::string LiveUpgrade(const std::string& camera, uint16_t port) {
  return Request("GET", "/api/live/" + camera, port,
                 "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: "
                 "13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n");
}

class RecorderWeb : public RecorderService {
 protected:
  void StartWeb(const std::string& web, const std::string& storage = "",
                const std::string& scheme = "http", qnv::devsim::SimulatorOptions options = {}) {
    qnv::devsim::Simulator& device = AddDevice(options);
    StartRecorder(storage + Camera("gate", device.Port()) + "[web]\nport = 0\n" + web);
    const std::string serving = "web: serving on " + scheme + "://127.0.0.1:";
    ASSERT_TRUE(m_recorder->WaitForStderr(serving, 10000)) << m_recorder->Stderr();
    // The page serves before the cameras are made: wait for those too.
    ASSERT_TRUE(m_recorder->WaitForStderr("started: ", 10000)) << m_recorder->Stderr();
    const std::string& err = m_recorder->Stderr();
    m_port = static_cast<uint16_t>(std::stoi(err.substr(err.find(serving) + serving.size(), 5)));
  }
  // Logs in as alice; the cookie ("qnv_session=...") and the CSRF token.
  void LogIn(std::string& cookie, std::string& csrf) {
    const SReply r =
        Http(m_port, Request("POST", "/api/login", m_port, "Content-Type: application/json\r\n",
                             R"({"user":"alice","password":"s3cret"})"));
    ASSERT_EQ(r.status, 200) << r.head << r.body;
    const std::string set = r.Header("Set-Cookie");
    EXPECT_NE(set.find("HttpOnly"), std::string::npos) << set;
    EXPECT_NE(set.find("SameSite=Strict"), std::string::npos) << set;
    cookie = set.substr(0, set.find(';'));
    const size_t at = r.body.find("\"csrf\":\"");
    ASSERT_NE(at, std::string::npos) << r.body;
    csrf = r.body.substr(at + 8, 64);
  }
  std::string UserSection() {
    std::string hash, error;
    EXPECT_TRUE(qnvrecorder::MakePasswordHash("s3cret", hash, error)) << error;
    return "[[web.user]]\nname = \"alice\"\npassword_hash = \"" + hash + "\"\n";
  }

  // The page over the camera recording into m_dir/video (VideoRoot()).
  fs::path VideoRoot() const { return m_dir / "video"; }
  void StartWebRecording(int segmentSeconds) {
    fs::create_directories(VideoRoot());
    StartWeb("", StorageSection(VideoRoot(), segmentSeconds));
  }

  uint16_t m_port = 0;
};

// The sample clip as the library delivers it: one frame per NAL unit, 40-byte
// header first, capture times 40 ms apart.
std::vector<std::string> ClipFrames() {
  std::ifstream in(QNV_SAMPLE_CLIP, std::ios::binary);
  const std::string clip((std::istreambuf_iterator<char>(in)), {});
  std::vector<std::string> frames;
  uint64_t time = 1700000000000000;
  uint32_t counter = 0;
  for (const qnvrec::SNalRef& nal :
       qnvrec::SplitAnnexB(reinterpret_cast<const uint8_t*>(clip.data()), clip.size())) {
    std::string f(40, '\0');
    f +=
        std::string("\0\0\0\1", 4) + std::string(reinterpret_cast<const char*>(nal.data), nal.size);
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) f[at + i] = static_cast<char>(v >> (8 * i));
    };
    put32(0, counter++);
    f.replace(4, 4, "QNVV");
    put32(12, static_cast<uint32_t>(nal.size + 4));
    put32(16, static_cast<uint32_t>(time));
    put32(20, static_cast<uint32_t>(time >> 32));
    f[35] = nal.Type() == qnvrec::kNalIdr || nal.Type() == qnvrec::kNalSps ||
                    nal.Type() == qnvrec::kNalPps
                ? 1
                : 2;
    if (qnvrec::IsSlice(nal.Type())) time += 40000;
    frames.push_back(std::move(f));
  }
  return frames;
}

TEST(LiveStream, ViewersStartAtAKeyPictureAndSlowOnesAreSkippedThenCut) {
  const std::vector<std::string> frames = ClipFrames();
  ASSERT_GT(frames.size(), 100u);
  qnvrecorder::CLiveStream stream("gate");
  int notified = 0;
  stream.SetNotify([&] { ++notified; });
  auto push = [&](size_t from, size_t to) {
    for (size_t i = from; i < to && i < frames.size(); ++i) {
      stream.Push(reinterpret_cast<const uint8_t*>(frames[i].data()), frames[i].size());
    }
  };
  push(0, 60);
  EXPECT_EQ(notified, 0);  // nobody watches: nothing is muxed
  EXPECT_EQ(stream.MimeType(), "");
  const auto now = std::chrono::steady_clock::now();
  const uint64_t fast = stream.AddViewer(), slow = stream.AddViewer();
  EXPECT_NE(stream.MimeType().find("avc1."), std::string::npos);
  std::vector<qnvrecorder::CLiveStream::Chunk> chunks;
  uint64_t base = 0;
  ASSERT_TRUE(stream.Take(fast, chunks, now, base));
  ASSERT_GE(chunks.size(), 2u);
  EXPECT_EQ(chunks[0]->substr(4, 4), "ftyp");  // the initialisation segment first
  EXPECT_NE(chunks[0]->find("avcC"), std::string::npos);
  EXPECT_EQ(chunks[1]->substr(4, 4), "moof");  // then fragments from the last key picture
  // The last key picture before the viewer came (the clip has one every 2 s).
  EXPECT_EQ(base, 1700000002000000u);
  uint64_t taken = 0;
  for (auto& c : chunks) taken += c->size();
  stream.Ack(fast, taken, now);

  // The slow viewer takes but never confirms: past the backlog it waits for
  // a key picture, and after the stall limit it is cut off.
  chunks.clear();
  ASSERT_TRUE(stream.Take(slow, chunks, now, base));
  uint64_t slowTaken = 0;
  for (size_t round = 0; round < 40; ++round) {
    push(60 + round * 50, 110 + round * 50);
    chunks.clear();
    ASSERT_TRUE(stream.Take(fast, chunks, now, base));
    for (auto& c : chunks) taken += c->size();
    stream.Ack(fast, taken, now);
    chunks.clear();
    ASSERT_TRUE(stream.Take(slow, chunks, now, base));
    for (auto& c : chunks) slowTaken += c->size();
  }
  EXPECT_GT(taken, slowTaken);
  EXPECT_LE(slowTaken, qnvrecorder::CLiveStream::kMaxBacklog + 2000000);
  EXPECT_TRUE(stream.Take(slow, chunks, now + 10s, base));
  EXPECT_FALSE(stream.Take(slow, chunks, now + qnvrecorder::CLiveStream::kStallCutOff + 1s, base));
  EXPECT_TRUE(stream.Take(fast, chunks, now + qnvrecorder::CLiveStream::kStallCutOff + 1s, base));

  // A camera that goes down leaves nothing stale: a new viewer waits for a
  // new key picture.
  stream.SetDown();
  const uint64_t late = stream.AddViewer();
  chunks.clear();
  ASSERT_TRUE(stream.Take(late, chunks, now, base));
  EXPECT_TRUE(chunks.empty());
  stream.RemoveViewer(fast);
  stream.RemoveViewer(slow);
  stream.RemoveViewer(late);
  EXPECT_EQ(stream.ViewerCount(), 0u);
}

// An export's unnamed file goes only into the instance's own folder, never
// through a link planted where it or the reserved folder is.
TEST(Recordings, ExportFilesAreNeverMadeThroughALink) {
  const STempDir temp("exportlinks");
  ASSERT_FALSE(temp.path.empty());
  const fs::path base = temp.path, root = base / "root", outside = base / "outside";
  fs::create_directories(root / ".qnv-recorder" / "i1");
  fs::create_directories(outside / "i1");
  std::string error;
  const qnvrecorder::CRecordings recordings(root.string(), "i1");
  int fd = recordings.TemporaryFile(error);
  ASSERT_GE(fd, 0) << error;
  struct stat st {
  }, own{};
  ASSERT_EQ(::fstat(fd, &st), 0);
  ASSERT_EQ(::stat((root / ".qnv-recorder" / "i1").c_str(), &own), 0);
  EXPECT_EQ(st.st_dev, own.st_dev);
  ::close(fd);
  fs::rename(root / ".qnv-recorder" / "i1", root / ".qnv-recorder" / "i1.moved");
  fs::create_directory_symlink(outside / "i1", root / ".qnv-recorder" / "i1");
  EXPECT_EQ(recordings.TemporaryFile(error), -1);
  EXPECT_NE(error.find("link"), std::string::npos) << error;
  fs::remove(root / ".qnv-recorder" / "i1");
  fs::rename(root / ".qnv-recorder", root / "reserved.moved");
  fs::create_directory_symlink(outside, root / ".qnv-recorder");
  EXPECT_EQ(recordings.TemporaryFile(error), -1);
  EXPECT_NE(error.find("link"), std::string::npos) << error;
}

TEST(WebAuth, HashesCheckAndSessionsExpire) {
  std::string hash, error;
  ASSERT_TRUE(qnvrecorder::MakePasswordHash("pw", hash, error)) << error;
  EXPECT_EQ(hash.rfind("$y$", 0), 0u);
  EXPECT_TRUE(qnvrecorder::CheckPasswordHash("pw", hash));
  EXPECT_FALSE(qnvrecorder::CheckPasswordHash("pW", hash));
  EXPECT_FALSE(qnvrecorder::CheckPasswordHash("pw", "*"));

  CWebSessions sessions({{"alice", hash}}, 60s);
  auto now = std::chrono::steady_clock::now();
  std::string token, csrf;
  int retry = 0;
  ASSERT_EQ(sessions.Login("10.0.0.1", "alice", "pw", now, token, csrf, retry),
            CWebSessions::LoginResult::kOk);
  EXPECT_EQ(token.size(), 64u);
  EXPECT_NE(token, csrf);
  ASSERT_NE(sessions.Find(token, now + 59s), nullptr);
  EXPECT_EQ(sessions.Find(token, now + 61s), nullptr);
  EXPECT_EQ(sessions.Find("", now), nullptr);
}

TEST(WebAuth, FailedLoginsAreLimitedPerAddressAndInAll) {
  std::string hash, error;
  ASSERT_TRUE(qnvrecorder::MakePasswordHash("pw", hash, error));
  CWebSessions sessions({{"alice", hash}}, 60s);
  const auto now = std::chrono::steady_clock::now();
  std::string token, csrf;
  int retry = 0;
  for (int i = 0; i < CWebSessions::kFailsPerAddress; ++i) {
    EXPECT_EQ(sessions.Login("a", i % 2 ? "alice" : "nobody", "x", now, token, csrf, retry),
              CWebSessions::LoginResult::kRefused);
  }
  // Even the right password waits now, from that address only.
  EXPECT_EQ(sessions.Login("a", "alice", "pw", now + 1s, token, csrf, retry),
            CWebSessions::LoginResult::kTooMany);
  EXPECT_GE(retry, 50);
  EXPECT_EQ(sessions.Login("b", "alice", "pw", now + 1s, token, csrf, retry),
            CWebSessions::LoginResult::kOk);
  EXPECT_EQ(sessions.Login("a", "alice", "pw", now + 61s, token, csrf, retry),
            CWebSessions::LoginResult::kOk);
  // Many addresses together hit the limit in all.
  int refused = 0;
  for (int i = 0; i < CWebSessions::kFailsInAll + 5; ++i) {
    if (sessions.Login("n" + std::to_string(i), "alice", "x", now + 62s, token, csrf, retry) ==
        CWebSessions::LoginResult::kTooMany) {
      ++refused;
    }
  }
  EXPECT_EQ(refused, 5);
}

TEST_F(RecorderService, WebConfigurationIsChecked) {
  auto load = [&](const std::string& web, std::string& error) {
    std::ofstream(m_dir / "r.toml") << Camera("gate", 9000) + "[web]\n" + web;
    qnvrecorder::SConfig config;
    setenv("QNVREC_PW", "admin", 1);
    return qnvrecorder::LoadConfig((m_dir / "r.toml").string(), config, error);
  };
  std::string error;
  EXPECT_TRUE(load("port = 8080\n", error)) << error;  // the quick start: no [storage] needed
  EXPECT_FALSE(load("port = 8080\naddress = \"0.0.0.0\"\n", error));
  EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
  EXPECT_FALSE(load("[[web.user]]\nname = \"a\"\npassword_hash = \"plain\"\n", error));
  EXPECT_NE(error.find("--hash-password"), std::string::npos) << error;
  EXPECT_FALSE(load("tls_cert = \"/x\"\n", error));
  EXPECT_TRUE(qnvrecorder::LoopbackAddress("127.0.0.2"));
  EXPECT_TRUE(qnvrecorder::LoopbackAddress("::1"));
  EXPECT_FALSE(qnvrecorder::LoopbackAddress("10.0.0.1"));
}

TEST_F(RecorderWeb, NothingWithoutALogin) {
  ASSERT_NO_FATAL_FAILURE(StartWeb(UserSection()));
  SReply r = Http(m_port, Request("GET", "/", m_port));
  EXPECT_EQ(r.status, 303);
  const std::string location = r.Header("Location");
  EXPECT_EQ(location.substr(location.rfind('/')), "/login.html") << location;
  for (const char* path : {"/app.js", "/live.js", "/index.html"}) {
    EXPECT_EQ(Http(m_port, Request("GET", path, m_port)).status, 303) << path;
  }
  for (const char* path : {"/api/cameras", "/api/status", "/api/session", "/api/version"}) {
    r = Http(m_port, Request("GET", path, m_port));
    EXPECT_EQ(r.status, 401) << path;
    EXPECT_EQ(r.body.find("gate"), std::string::npos) << path << r.body;
  }
  // A forged or stale cookie is no login.
  r = Http(m_port, Request("GET", "/api/cameras", m_port,
                           "Cookie: qnv_session=" + std::string(64, 'a') + "\r\n"));
  EXPECT_EQ(r.status, 401);
  // Nor is a WebSocket upgrade.
  r = Http(m_port, Request("GET", "/api/live/gate", m_port,
                           "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: "
                           "13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"));
  EXPECT_EQ(r.status, 401) << r.head;
  // The login page itself is open.
  EXPECT_EQ(Http(m_port, Request("GET", "/login.html", m_port)).status, 200);
  // A wrong password is refused and says nothing more.
  r = Http(m_port, Request("POST", "/api/login", m_port, "Content-Type: application/json\r\n",
                           R"({"user":"alice","password":"wrong"})"));
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.Header("Set-Cookie"), "");
  // A form post from elsewhere (no JSON) is refused before the password is looked at.
  r = Http(m_port, Request("POST", "/api/login", m_port,
                           "Content-Type: application/x-www-form-urlencoded\r\n",
                           "user=alice&password=s3cret"));
  EXPECT_EQ(r.status, 403);
}

TEST_F(RecorderWeb, SessionAnswersAndChangesNeedItsCsrfToken) {
  ASSERT_NO_FATAL_FAILURE(StartWeb(UserSection()));
  std::string cookie, csrf;
  ASSERT_NO_FATAL_FAILURE(LogIn(cookie, csrf));
  const std::string c = "Cookie: " + cookie + "\r\n";
  SReply r = Http(m_port, Request("GET", "/api/cameras", m_port, c));
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"name\":\"gate\""), std::string::npos) << r.body;
  r = Http(m_port, Request("GET", "/api/status", m_port, c));
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"uptime_s\""), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("\"version\""), std::string::npos) << r.body;
  EXPECT_EQ(Http(m_port, Request("GET", "/", m_port, c)).status, 200);

  // Without the token, with a wrong one, or from another origin: refused.
  EXPECT_EQ(Http(m_port, Request("POST", "/api/logout", m_port, c)).status, 403);
  EXPECT_EQ(Http(m_port, Request("POST", "/api/logout", m_port,
                                 c + "X-CSRF-Token: " + std::string(64, '0') + "\r\n"))
                .status,
            403);
  EXPECT_EQ(
      Http(m_port, Request("POST", "/api/logout", m_port,
                           c + "X-CSRF-Token: " + csrf + "\r\nOrigin: http://evil.example\r\n"))
          .status,
      403);
  EXPECT_EQ(Http(m_port, Request("GET", "/api/cameras", m_port, c)).status, 200);  // still in
  r = Http(m_port, Request("POST", "/api/logout", m_port, c + "X-CSRF-Token: " + csrf + "\r\n"));
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(Http(m_port, Request("GET", "/api/cameras", m_port, c)).status, 401);
}

TEST_F(RecorderWeb, LoginsAreRateLimited) {
  ASSERT_NO_FATAL_FAILURE(StartWeb(UserSection()));
  int last = 0;
  for (int i = 0; i <= CWebSessions::kFailsPerAddress; ++i) {
    last = Http(m_port, Request("POST", "/api/login", m_port, "Content-Type: application/json\r\n",
                                R"({"user":"alice","password":"guess"})"))
               .status;
  }
  EXPECT_EQ(last, 429);
  const SReply r =
      Http(m_port, Request("POST", "/api/login", m_port, "Content-Type: application/json\r\n",
                           R"({"user":"alice","password":"s3cret"})"));
  EXPECT_EQ(r.status, 429);
  EXPECT_FALSE(r.Header("Retry-After").empty());
}

TEST_F(RecorderWeb, HostileClientsAreBoundedAndCutOff) {
  ASSERT_NO_FATAL_FAILURE(StartWeb(""));
  // Without users: a name that is not loopback (DNS rebinding) gets nothing.
  SReply r =
      Http(m_port, "GET /api/cameras HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(r.status, 403);
  r = Http(m_port, Request("GET", "/api/cameras", m_port));
  EXPECT_EQ(r.status, 200);
  // Without [storage] the page is live only.
  r = Http(m_port, Request("GET", "/api/session", m_port));
  EXPECT_NE(r.body.find("\"storage\":false"), std::string::npos) << r.body;
  EXPECT_EQ(Http(m_port, Request("GET", "/api/play?camera=gate&from=1&to=2", m_port)).status, 404);
  // Changes need the page's token even without users.
  EXPECT_EQ(Http(m_port, Request("POST", "/api/logout", m_port)).status, 403);
  // A body announced too large is not read: the connection goes at once.
  auto before = std::chrono::steady_clock::now();
  r = Http(m_port,
           "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
           "application/json\r\nContent-Length: 100000000\r\n\r\n{");
  EXPECT_EQ(r.status, 0) << r.head;
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  // A request that never ends is cut off within its time.
  const int fd = Connect(m_port);
  ASSERT_GE(fd, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(::write(fd, "GET / HTTP/1.1\r\nHost: 127", 25), 25);
  ReadAll(fd, 15000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 9s);
  ::close(fd);
  // A head that never ends is cut off long before it could fill memory.
  const int heads = Connect(m_port);
  ASSERT_GE(heads, 0);
  const std::string line = "X-Pad: " + std::string(1000, 'a') + "\r\n";
  size_t sent = 0;
  const std::string first = "GET /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  ASSERT_EQ(::write(heads, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  while (sent < (64u << 20) && ::send(heads, line.data(), line.size(), MSG_NOSIGNAL) > 0) {
    sent += line.size();
  }
  EXPECT_LT(sent, 16u << 20);
  ::close(heads);
  // A viewer's message longer than a confirmation closes its WebSocket.
  const int viewer = Connect(m_port);
  ASSERT_GE(viewer, 0);
  const std::string hs = LiveUpgrade("gate", m_port);
  ASSERT_EQ(::write(viewer, hs.data(), hs.size()), static_cast<ssize_t>(hs.size()));
  std::string frame = "\x81\xfe";  // text, masked, 16-bit length
  frame += static_cast<char>(1000 >> 8);
  frame += static_cast<char>(1000 & 0xff);
  frame += std::string(4, '\0');  // a zero mask
  frame += std::string(1000, 'a');
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::write(viewer, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  const auto sentAt = std::chrono::steady_clock::now();
  const std::string got = ReadAll(viewer, 5000, 64u << 20);
  EXPECT_LT(std::chrono::steady_clock::now() - sentAt, 4s);  // closed, not left to time out
  EXPECT_EQ(got.rfind("HTTP/1.1 101", 0), 0u) << got.substr(0, 100);
  ::close(viewer);
  // And the server still answers.
  EXPECT_EQ(Http(m_port, Request("GET", "/api/version", m_port)).status, 200);
}

// A throw-away self-signed certificate for 127.0.0.1 and its key, made by
// the openssl tool into folder; false with its output when it failed.
bool MakeCertificate(const fs::path& folder, const std::string& name, std::string& output) {
  const std::string openssl = Tool("openssl");
  if (openssl.empty()) {
    output = "no openssl tool (scripts/deps installs it)";
    return false;
  }
  const ChildResult r = ChildProcess::Run(
      {openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
       "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
       "-keyout", (folder / (name + ".key")).string(), "-out",
       (folder / (name + ".crt")).string()});
  output = r.out + r.err;
  return r.exitCode == 0;
}

TEST_F(RecorderWeb, TlsAnswersOnlyHttpsWithASecureCookie) {
  std::string output;
  ASSERT_TRUE(MakeCertificate(m_dir, "web", output)) << output;
  const std::string cert = (m_dir / "web.crt").string();
  ASSERT_NO_FATAL_FAILURE(StartWeb("tls_cert = \"" + cert + "\"\ntls_key = \"" +
                                       (m_dir / "web.key").string() + "\"\n" + UserSection(),
                                   "", "https"));
  // A client that trusts only this certificate logs in; the cookie is kept
  // to HTTPS.
  std::string why;
  SReply r = Https(m_port,
                   Request("POST", "/api/login", m_port, "Content-Type: application/json\r\n",
                           R"({"user":"alice","password":"s3cret"})"),
                   cert, &why);
  ASSERT_EQ(r.status, 200) << why << r.head << r.body;
  const std::string set = r.Header("Set-Cookie");
  for (const char* attribute : {"; Secure", "; HttpOnly", "; SameSite=Strict"}) {
    EXPECT_NE(set.find(attribute), std::string::npos) << set;
  }
  const std::string c = "Cookie: " + set.substr(0, set.find(';')) + "\r\n";
  const std::string csrf = nlohmann::json::parse(r.body)["csrf"];
  r = Https(m_port, Request("GET", "/api/cameras", m_port, c), cert, &why);
  EXPECT_EQ(r.status, 200) << why;
  EXPECT_NE(r.body.find("\"name\":\"gate\""), std::string::npos) << r.body;
  r = Https(m_port, Request("GET", "/api/status", m_port, c), cert, &why);
  EXPECT_EQ(r.status, 200) << why;
  EXPECT_EQ(Https(m_port, Request("GET", "/api/cameras", m_port), cert).status, 401);

  // A client that does not trust it gets no answer.
  r = Https(m_port, Request("GET", "/api/version", m_port, c), "", &why);
  EXPECT_EQ(r.status, 0) << r.head;
  EXPECT_FALSE(why.empty());

  // Plain HTTP to the TLS port: no page, no API answer, no cookie, and the
  // connection is not held.
  for (const std::string& plain :
       {Request("GET", "/api/cameras", m_port, c), Request("GET", "/", m_port),
        Request("POST", "/api/login", m_port, "Content-Type: application/json\r\n",
                R"({"user":"alice","password":"s3cret"})")}) {
    const int fd = Connect(m_port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
    const auto sent = std::chrono::steady_clock::now();
    const std::string raw = ReadAll(fd, 10000);
    ::close(fd);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
    EXPECT_EQ(raw.find("HTTP/"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("gate"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("qnv_session"), std::string::npos) << raw;
  }

  // Changes over TLS come from the https origin only.
  const std::string change = c + "X-CSRF-Token: " + csrf + "\r\nOrigin: ";
  const std::string host = "127.0.0.1:" + std::to_string(m_port);
  EXPECT_EQ(Https(m_port,
                  Request("POST", "/api/logout", m_port, change + "http://" + host + "\r\n"), cert)
                .status,
            403);
  r = Https(m_port, Request("POST", "/api/logout", m_port, change + "https://" + host + "\r\n"),
            cert, &why);
  EXPECT_EQ(r.status, 200) << why << r.body;
  EXPECT_EQ(Https(m_port, Request("GET", "/api/cameras", m_port, c), cert).status, 401);
}

TEST_F(RecorderWeb, TlsFilesThatDoNotLoadRefuseTheStart) {
  std::string output;
  ASSERT_TRUE(MakeCertificate(m_dir, "web", output)) << output;
  ASSERT_TRUE(MakeCertificate(m_dir, "other", output)) << output;
  std::ofstream(m_dir / "garbage.key") << "not a key\n";
  const std::string cert = (m_dir / "web.crt").string(), key = (m_dir / "web.key").string();
  const std::string missing = (m_dir / "missing.pem").string();
  const std::string garbage = (m_dir / "garbage.key").string();
  const std::string otherKey = (m_dir / "other.key").string();
  qnv::devsim::Simulator& device = AddDevice();
  // The file that cannot be read or does not load is named, and so is a
  // key of another certificate (which would fail every client's handshake).
  for (const auto& [certFile, keyFile, named] :
       {std::tuple{cert, missing, missing}, std::tuple{missing, key, missing},
        std::tuple{cert, garbage, garbage}, std::tuple{cert, otherKey, otherKey}}) {
    StartRecorder(Camera("gate", device.Port()) + "[web]\nport = 0\ntls_cert = \"" + certFile +
                  "\"\ntls_key = \"" + keyFile + "\"\n" + UserSection());
    const ChildResult result = m_recorder->Finish(20000);
    EXPECT_NE(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("web: serving on"), std::string::npos) << result.err;
  }
}

// Bytes the recording of a camera takes so far.
uint64_t RecordedBytes(const fs::path& folder) {
  uint64_t n = 0;
  std::error_code ec;
  for (const auto& f : fs::recursive_directory_iterator(folder, ec)) {
    if (f.is_regular_file(ec)) n += f.file_size(ec);
  }
  return n;
}

TEST_F(RecorderWeb, SurplusAndSlowClientsHoldUpNeitherRecordingNorOthers) {
  const fs::path root = VideoRoot();
  ASSERT_NO_FATAL_FAILURE(StartWebRecording(2));
  ASSERT_TRUE(WaitCount("camera gate: recording ", 1, 20000)) << m_recorder->Stderr();
  std::this_thread::sleep_for(1500ms);  // a key picture has come
  // A viewer that never reads its WebSocket, with a small window to fill.
  const int viewer = Connect(m_port);
  ASSERT_GE(viewer, 0);
  const int small = 4096;
  ::setsockopt(viewer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string hs = LiveUpgrade("gate", m_port);
  ASSERT_EQ(::write(viewer, hs.data(), hs.size()), static_cast<ssize_t>(hs.size()));
  // A client that drips its request a byte at a time.
  const int drip = Connect(m_port);
  ASSERT_GE(drip, 0);
  const uint64_t before = RecordedBytes(root / "gate");
  // Every connection the server takes, and some more: the surplus is closed at once.
  constexpr size_t kSurplus = 8;
  std::vector<int> idle;
  for (size_t i = 0; i < qnvrecorder::CWebServer::kMaxConnections + kSurplus; ++i) {
    const int fd = Connect(m_port);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(500ms);
  size_t closed = 0;
  for (int fd : idle) {
    pollfd p{fd, POLLIN, 0};
    char b;
    if (::poll(&p, 1, 0) == 1 && ::recv(fd, &b, 1, MSG_DONTWAIT) <= 0) ++closed;
  }
  EXPECT_GE(closed, kSurplus);
  EXPECT_LT(closed, idle.size() / 2);
  // The drip-fed request is cut off within the request's time all the same,
  // and then a legitimate client is served.
  const auto start = std::chrono::steady_clock::now();
  bool dripCut = false;
  const std::string request = "GET /api/version HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ";
  for (size_t i = 0; !dripCut && std::chrono::steady_clock::now() - start < 12s; ++i) {
    const char c = i < request.size() ? request[i] : 'a';
    dripCut = ::send(drip, &c, 1, MSG_NOSIGNAL) != 1;
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(dripCut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  SReply r;
  for (int i = 0; i < 50 && r.status != 200; ++i) {
    r = Http(m_port, Request("GET", "/api/version", m_port));
    if (r.status != 200) std::this_thread::sleep_for(200ms);
  }
  EXPECT_EQ(r.status, 200) << m_recorder->Stderr();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  // Recording went on all along.
  EXPECT_GT(RecordedBytes(root / "gate"), before + 100000);
  EXPECT_TRUE(WaitCount("connections are open, the most it takes", 1, 1000));
  for (int fd : idle) ::close(fd);
  ::close(drip);
  ::close(viewer);
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
}

// One camera state on every surface: a second after the device's process
// goes (its connections close, so the library reports the loss at once),
// status.json, --status, /api/cameras and the MQTT state topic all say down.
TEST_F(RecorderWeb, DownReachesEverySurfaceWithinASecondOfTheLoss) {
  MqttBroker broker(m_dir / "broker", {});
  ASSERT_TRUE(broker.Start());
  MqttListener listener(broker, {"qnv/+/state"});
  ASSERT_TRUE(listener.WaitConnected(1, 10000));
  fs::create_directories(VideoRoot());
  ASSERT_NO_FATAL_FAILURE(StartWeb(UserSection() + "[mqtt]\nhost = \"127.0.0.1\"\nport = " +
                                       std::to_string(broker.Port()) + "\n",
                                   StorageSection(VideoRoot(), 60)));
  std::string cookie, csrf;
  ASSERT_NO_FATAL_FAILURE(LogIn(cookie, csrf));
  const std::string c = "Cookie: " + cookie + "\r\n";
  const fs::path statusPath = VideoRoot() / ".qnv-recorder" / "recorder" / "status.json";

  // Each surface's word on the camera: "recording", "down", ... ("" unknown).
  auto fileState = [&] {
    std::ifstream in(statusPath);
    const Json j = Json::parse(in, nullptr, false);
    if (!j.is_object() || !j["cameras"].is_array() || j["cameras"].empty()) return std::string();
    return j["cameras"][0].value("state", "");
  };
  auto commandState = [&] {
    const ChildResult r = ChildProcess::Run({QNV_RECORDER_PATH, "--status", VideoRoot().string()});
    std::istringstream lines(r.out);
    std::string line, word;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      if (fields >> word && word == "gate" && fields >> word) return word;
    }
    return std::string();
  };
  auto webState = [&] {
    const SReply r = Http(m_port, Request("GET", "/api/cameras", m_port, c));
    const Json j = Json::parse(r.body, nullptr, false);
    return j.is_array() && !j.empty() ? j[0].value("state", "") : std::string();
  };
  auto mqttState = [&](std::chrono::steady_clock::time_point by) {
    std::string last;
    for (const SReceived& m : listener.Messages("qnv/gate/state")) {
      if (m.at > by) break;
      last = Json::parse(m.payload, nullptr, false).value("state", "");
    }
    return last;
  };

  const auto up = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (fileState() != "recording" && std::chrono::steady_clock::now() < up)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(fileState(), "recording");
  EXPECT_EQ(commandState(), "recording");
  EXPECT_EQ(webState(), "recording");
  const SReceived said = listener.WaitFor(
      [](const SReceived& m) {
        return m.topic == "qnv/gate/state" &&
               Json::parse(m.payload, nullptr, false).value("state", "") == "up";
      },
      10000);
  ASSERT_FALSE(said.topic.empty());

  const auto lost = std::chrono::steady_clock::now();
  m_devices[0]->Stop();
  std::this_thread::sleep_until(lost + std::chrono::seconds(1));
  EXPECT_EQ(fileState(), "down");
  EXPECT_EQ(commandState(), "down");
  EXPECT_EQ(webState(), "down");
  EXPECT_EQ(mqttState(lost + std::chrono::seconds(1)), "down");
}

TEST_F(RecorderWeb, LiveStartsWithAnInitSegmentAndKeyPicture) {
  ASSERT_NO_FATAL_FAILURE(StartWeb(""));
  ASSERT_TRUE(m_recorder->WaitForStderr("gate", 10000));
  std::this_thread::sleep_for(1500ms);  // a key picture has come
  const int fd = Connect(m_port);
  ASSERT_GE(fd, 0);
  const std::string hs = LiveUpgrade("gate", m_port);
  ASSERT_EQ(::write(fd, hs.data(), hs.size()), static_cast<ssize_t>(hs.size()));
  const std::string got = ReadAll(fd, 3000, 200000);
  ::close(fd);
  ASSERT_EQ(got.rfind("HTTP/1.1 101", 0), 0u) << got.substr(0, 200);
  const size_t frame = got.find("\r\n\r\n") + 4;
  ASSERT_GT(got.size(), frame + 12);
  // First a text message with the capture time of media time 0, then binary ones.
  EXPECT_EQ(static_cast<uint8_t>(got[frame]), 0x81);
  EXPECT_NE(got.find("\"base_us\":"), std::string::npos);
  // With the stream's MIME type, which the page's Media Source is made with.
  EXPECT_NE(got.find(R"("mime":"video/mp4; codecs=\"avc1.)"), std::string::npos)
      << got.substr(frame, 120);
  EXPECT_NE(got.find("ftyp"), std::string::npos);
  EXPECT_NE(got.find("avcC"), std::string::npos);
  EXPECT_NE(got.find("moof"), std::string::npos);
}

TEST_F(RecorderWeb, ReloadAddsAndRemovesLiveCameras) {
  ASSERT_NO_FATAL_FAILURE(StartWeb(""));
  qnv::devsim::Simulator& second = AddDevice();
  std::ofstream(m_dir / "recorder.toml")
      << Camera("yard", second.Port()) + "[web]\nport = 0\n";  // the same [web]
  m_recorder->Signal(SIGHUP);
  ASSERT_TRUE(m_recorder->WaitForStderr("reload: 1 camera(s) started, 1 stopped", 10000))
      << m_recorder->Stderr();
  const SReply r = Http(m_port, Request("GET", "/api/cameras", m_port));
  EXPECT_NE(r.body.find("\"yard\""), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("\"gate\""), std::string::npos) << r.body;
  auto upgrade = [&](const std::string& camera) {
    return Http(m_port, Request("GET", "/api/live/" + camera, m_port,
                                "Upgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"))
        .status;
  };
  EXPECT_EQ(upgrade("gate"), 404);
}

// Descriptors the process holds on files in folder (an export's unnamed
// file among them: it is gone once none is left).
size_t OpenFilesIn(pid_t pid, const fs::path& folder) {
  size_t n = 0;
  std::error_code ec;
  const std::string prefix = folder.string() + "/";
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const fs::path target = fs::read_symlink(fd.path(), ec);
    if (!ec && target.string().rfind(prefix, 0) == 0) ++n;
  }
  return n;
}

TEST_F(RecorderWeb, ExportsAreCancelledAndTheirFilesGo) {
  const fs::path root = m_dir / "video", own = root / ".qnv-recorder" / "recorder";
  fs::create_directories(root);
  qnv::devsim::SimulatorOptions camera;
  camera.syntheticBitrate = 8000000;
  ASSERT_NO_FATAL_FAILURE(StartWeb("", StorageSection(root, 1), "http", camera));
  ASSERT_TRUE(WaitCount("camera gate: recording ", 4, 20000)) << m_recorder->Stderr();
  const std::vector<SSegmentFrames> segments = Segments(root, "gate");
  ASSERT_GE(segments.size(), 3u);
  ASSERT_GT(segments[0].frames, 0u);
  // A span that takes long to export: the first segment again and again
  // under other names (links: no room taken; its pictures are read each time).
  const fs::path first = segments[0].path;
  const std::string stem = first.stem().string();
  for (unsigned k = 1; k <= kCopies; ++k) {
    const std::string copy = stem + "-" + std::to_string(k);
    fs::create_hard_link(first, first.parent_path() / (copy + first.extension().string()));
    fs::create_hard_link(qnvrec::IndexPathFor(first.string()),
                         qnvrec::IndexPathFor((first.parent_path() / (copy + ".qnv")).string()));
  }
  const std::string csrf =
      nlohmann::json::parse(Http(m_port, Request("GET", "/api/session", m_port)).body)["csrf"];
  const std::string change = "X-CSRF-Token: " + csrf + "\r\n";
  auto start = [&](uint64_t from, uint64_t to) {
    const SReply r =
        Http(m_port,
             Request("POST", "/api/exports", m_port, change + "Content-Type: application/json\r\n",
                     nlohmann::json{{"camera", "gate"}, {"from", from}, {"to", to}}.dump()));
    EXPECT_EQ(r.status, 202) << r.body;
    return r.status == 202 ? nlohmann::json::parse(r.body)["id"].get<std::string>() : "";
  };
  auto state = [&](const std::string& id) {
    return nlohmann::json::parse(Http(m_port, Request("GET", "/api/exports/" + id, m_port)).body);
  };
  const size_t before = OpenFilesIn(m_recorder->Pid(), own);

  const std::string id = start(segments[0].firstTime, segments[0].lastTime + 1);
  ASSERT_FALSE(id.empty());
  nlohmann::json s;
  for (int i = 0; i < 200; ++i) {
    s = state(id);
    if (s["done"].get<size_t>() > 0 || s["finished"]) break;
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_FALSE(s["finished"]) << s.dump();
  EXPECT_EQ(s["total"], kCopies + 1) << s.dump();
  EXPECT_GT(OpenFilesIn(m_recorder->Pid(), own), before);  // its file, being written
  // Without the session's token nothing is cancelled.
  EXPECT_EQ(Http(m_port, Request("DELETE", "/api/exports/" + id, m_port)).status, 403);
  EXPECT_EQ(Http(m_port, Request("DELETE", "/api/exports/" + id, m_port,
                                 change + "Origin: http://evil.example\r\n"))
                .status,
            403);
  EXPECT_EQ(state(id)["cancelled"], false);
  EXPECT_EQ(Http(m_port, Request("DELETE", "/api/exports/nosuch", m_port, change)).status, 404);
  SReply r = Http(m_port, Request("DELETE", "/api/exports/" + id, m_port, change));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(nlohmann::json::parse(r.body)["cancelled"], true) << r.body;
  // The work stops at once and its file goes.
  for (int i = 0; i < 100 && !s["finished"]; ++i) {
    std::this_thread::sleep_for(20ms);
    s = state(id);
  }
  ASSERT_TRUE(s["finished"]) << s.dump();
  EXPECT_EQ(s["cancelled"], true);
  EXPECT_EQ(s["ready"], false);
  EXPECT_EQ(s["error"], "cancelled");
  EXPECT_LT(s["done"].get<size_t>(), kCopies / 2) << s.dump();
  EXPECT_EQ(OpenFilesIn(m_recorder->Pid(), own), before);
  EXPECT_EQ(Http(m_port, Request("GET", "/api/exports/" + id + "/file", m_port)).status, 410);
  EXPECT_TRUE(WaitCount("web: export of gate cancelled", 1, 2000)) << m_recorder->Stderr();

  // Another export is made as ever; made and not fetched, it is removed too.
  const std::string next = start(segments[1].firstTime, segments[1].lastTime + 1);
  for (int i = 0; i < 200 && !s["ready"]; ++i) {
    std::this_thread::sleep_for(50ms);
    s = state(next);
  }
  ASSERT_TRUE(s["ready"]) << s.dump();
  EXPECT_EQ(s["cancelled"], false);
  EXPECT_EQ(OpenFilesIn(m_recorder->Pid(), own), before + 1);
  r = Http(m_port, Request("GET", "/api/exports/" + next + "/file", m_port));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.size(), s["bytes"].get<uint64_t>());
  EXPECT_EQ(Http(m_port, Request("DELETE", "/api/exports/" + next, m_port, change)).status, 200);
  EXPECT_EQ(OpenFilesIn(m_recorder->Pid(), own), before);
  EXPECT_EQ(Http(m_port, Request("GET", "/api/exports/" + next + "/file", m_port)).status, 410);
  s = state(next);
  EXPECT_EQ(s["cancelled"], true);
  EXPECT_EQ(s["ready"], false);

  // An export under way does not hold up the service's stop: it is cancelled.
  const std::string last = start(segments[0].firstTime, segments[0].lastTime + 1);
  for (int i = 0; i < 200 && state(last)["done"].get<size_t>() == 0; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_FALSE(state(last)["finished"]);
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  // Stopped, not made to its end: the first one and this one were cancelled.
  EXPECT_EQ(Count(result.err, "web: export of gate cancelled"), 2u) << result.err;
}

TEST_F(RecorderWeb, ExportDownloadIsTheFileQnvExportWrites) {
  const fs::path root = VideoRoot();
  ASSERT_NO_FATAL_FAILURE(StartWebRecording(3));
  ASSERT_TRUE(WaitCount("camera gate: recording ", 4, 20000)) << m_recorder->Stderr();
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  SReply r =
      Http(m_port, Request("GET",
                           "/api/timeline?camera=gate&from=" + std::to_string(nowUs - 600000000) +
                               "&to=" + std::to_string(nowUs + 60000000),
                           m_port));
  ASSERT_EQ(r.status, 200) << r.body;
  const nlohmann::json timeline = nlohmann::json::parse(r.body);
  ASSERT_FALSE(timeline["spans"].empty()) << r.body;
  // Across a segment boundary, starting between key pictures.
  const int64_t fromUs = timeline["spans"][0]["from"].get<int64_t>() + 1300000;
  const int64_t toUs = fromUs + 5000000;
  ASSERT_LT(toUs, timeline["spans"][0]["to"].get<int64_t>()) << r.body;

  const nlohmann::json session =
      nlohmann::json::parse(Http(m_port, Request("GET", "/api/session", m_port)).body);
  const std::string csrf = session["csrf"];
  r = Http(m_port,
           Request("POST", "/api/exports", m_port,
                   "X-CSRF-Token: " + csrf + "\r\nContent-Type: application/json\r\n",
                   nlohmann::json{{"camera", "gate"}, {"from", fromUs}, {"to", toUs}}.dump()));
  ASSERT_EQ(r.status, 202) << r.body;
  const std::string id = nlohmann::json::parse(r.body)["id"];
  nlohmann::json state;
  for (int i = 0; i < 100; ++i) {
    state = nlohmann::json::parse(Http(m_port, Request("GET", "/api/exports/" + id, m_port)).body);
    if (state["finished"]) break;
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(state["ready"]) << state.dump();
  r = Http(m_port, Request("GET", "/api/exports/" + id + "/file", m_port));
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body.size(), state["bytes"].get<uint64_t>());
  // Nothing of it stays on disk.
  for (const auto& f : fs::recursive_directory_iterator(root)) {
    EXPECT_NE(f.path().extension(), ".mp4") << f.path();
  }

  // The same span through a catalogue of the same segments, by qnv-export.
  std::string error;
  std::vector<qnvcat::SSegmentRow> rows;
  std::string source;
  qnvrecorder::CRecordings recordings(root.string(), "recorder");
  ASSERT_TRUE(recordings.Segments("gate", fromUs, toUs, rows, source, error)) << error;
  EXPECT_EQ(source, "files");
  ASSERT_GE(rows.size(), 2u);
  qnvcat::STarget target;
  target.rootOrUrl = root.string();
  auto catalogue = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kWrite, error);
  ASSERT_TRUE(catalogue) << error;
  std::vector<qnvcat::SOp> ops;
  for (const qnvcat::SSegmentRow& row : rows) ops.push_back(qnvcat::SOp::Segment(row));
  ASSERT_TRUE(catalogue->Apply(ops, error)) << error;
  catalogue.reset();
  const fs::path out = m_dir / "cli.mp4";
  const ChildResult cli = ChildProcess::Run({QNV_EXPORT_PATH, "--catalogue", root.string(),
                                             "--camera", "gate", "--from", qnvrec::UtcText(fromUs),
                                             "--to", qnvrec::UtcText(toUs), "-q", out.string()});
  ASSERT_EQ(cli.exitCode, 0) << cli.err;
  std::ifstream in(out, std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(r.body.size(), expected.size());
  EXPECT_TRUE(r.body == expected) << "the web export differs from qnv-export's file";

  // The page's playback pieces of the same span: fragmented MP4 without an
  // edit list from the key picture at or before FROM, which X-Key-Us names;
  // X-End-Us is where its last picture ends, the next piece's FROM.
  const std::string piece = "/api/play?camera=gate&fragmented=1&from=";
  r = Http(m_port,
           Request("GET", piece + std::to_string(fromUs) + "&to=" + std::to_string(toUs), m_port));
  ASSERT_EQ(r.status, 200) << r.body;
  const int64_t keyUs = std::atoll(r.Header("X-Key-Us").c_str());
  const int64_t endUs = std::atoll(r.Header("X-End-Us").c_str());
  EXPECT_LE(keyUs, fromUs);
  EXPECT_GT(keyUs, fromUs - 3000000);
  EXPECT_GT(endUs, toUs - 200000);
  EXPECT_LE(endUs, toUs + 200000);
  EXPECT_EQ(r.Header("Content-Type").rfind("video/mp4; codecs=\"avc1.", 0), 0u)
      << r.Header("Content-Type");
  EXPECT_NE(r.body.find("mvex"), std::string::npos);
  EXPECT_NE(r.body.find("moof"), std::string::npos);
  EXPECT_EQ(r.body.find("elst"), std::string::npos);
  EXPECT_EQ(r.body.find("mfra"), std::string::npos);
  r = Http(m_port,
           Request("GET", piece + std::to_string(endUs) + "&to=" + std::to_string(endUs + 2000000),
                   m_port));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_LE(std::atoll(r.Header("X-Key-Us").c_str()), endUs);  // it overlaps, never leaves a gap
  EXPECT_GT(std::atoll(r.Header("X-End-Us").c_str()), endUs);

  // An event's thumbnail: the recorder's snapshot of it where one is stored,
  // else the picture decoded from the recording at that time.
  r = Http(m_port,
           Request("GET", "/api/thumbnail?camera=gate&time=" + std::to_string(fromUs), m_port));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Header("Content-Type"), "image/jpeg");
  ASSERT_GT(r.body.size(), 2u);
  EXPECT_EQ(r.body.substr(0, 2), "\xff\xd8");
  const fs::path snapshots = root / ".qnv-recorder" / "recorder" / "snapshots" / "gate";
  fs::create_directories(snapshots);
  const std::string planted = "\xff\xd8 the stored snapshot";
  std::ofstream(snapshots / (std::to_string(toUs / 1000 + 1500) + ".jpg")) << planted;
  r = Http(m_port,
           Request("GET", "/api/thumbnail?camera=gate&time=" + std::to_string(toUs), m_port));
  EXPECT_EQ(r.body, planted);
}

// The web server in this process, over no recorder: one camera, no storage,
// limits a test may shorten.
class CQuietSource : public qnvrecorder::IWebSource {
 public:
  std::vector<qnvrecorder::SCameraStatus> WebCameras() override {
    qnvrecorder::SCameraStatus gate;
    gate.name = "gate";
    gate.state = "recording";
    return {gate};
  }
  qnvrecorder::SWebDisk WebDisk() override { return {}; }
  qnvrecorder::SProcessStatus WebProcess() override { return {}; }
};

struct SLocalWeb {
  // tls: the folder holding web.crt and web.key ("": plain HTTP).
  explicit SLocalWeb(qnvrecorder::SWebLimits limits = {},
                     qnvrecorder::CRecordings recordings = qnvrecorder::CRecordings("", ""),
                     const fs::path& tls = {}) {
    qnvrecorder::SWebConfig config;
    config.enabled = true;
    config.port = 0;
    if (!tls.empty()) {
      config.tlsCert = (tls / "web.crt").string();
      config.tlsKey = (tls / "web.key").string();
    }
    server = std::make_unique<qnvrecorder::CWebServer>(config, source, "test",
                                                       std::move(recordings), limits);
    std::string error;
    EXPECT_TRUE(server->Start(error)) << error;
    port = server->Port();
  }
  CQuietSource source;
  std::unique_ptr<qnvrecorder::CWebServer> server;
  uint16_t port = 0;
};

// One answer on a kept-alive connection: its head, then Content-Length bytes.
SReply ReadAnswer(int fd, int timeoutMs) {
  std::string raw;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t want = std::string::npos;
  while (raw.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char b[65536];
    const ssize_t n = ::read(fd, b, sizeof b);
    if (n <= 0) break;
    raw.append(b, static_cast<size_t>(n));
    const size_t split = raw.find("\r\n\r\n");
    if (want == std::string::npos && split != std::string::npos) {
      const SReply head = ParseReply(raw);
      want = split + 4 + std::strtoull(head.Header("Content-Length").c_str(), nullptr, 10);
    }
  }
  return ParseReply(raw);
}

// Connections in CLOSE-WAIT on the local port (a peer left, this side did not close).
size_t CloseWaiting(uint16_t port) {
  size_t n = 0;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      const size_t colon = local.rfind(':');
      if (colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port &&
          state == "08") {
        ++n;
      }
    }
  }
  return n;
}

std::string KeptAlive(const std::string& path, uint16_t port) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

// Clients that ask once on a kept-alive connection and leave: each is let
// go at once, so far more than the cap come and go and the page answers.
TEST(WebServer, ClientsThatLeaveAreLetGoAtOnce) {
  qnvrecorder::SWebLimits limits;
  limits.idle = 60s;  // the peer's leaving alone frees its place
  SLocalWeb web(limits);
  ASSERT_NE(web.port, 0);
  const std::string request = KeptAlive("/login.html", web.port);
  for (size_t i = 0; i < qnvrecorder::CWebServer::kMaxConnections + 100; ++i) {
    const int fd = Connect(web.port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const SReply r = ReadAnswer(fd, 5000);
    ::close(fd);
    ASSERT_EQ(r.status, 200) << "connection " << i;
  }
  size_t waiting = CloseWaiting(web.port);
  for (int i = 0; i < 100 && waiting > 0; ++i) {
    std::this_thread::sleep_for(10ms);
    waiting = CloseWaiting(web.port);
  }
  EXPECT_EQ(waiting, 0u);
}

// An idle connection is answered at any time before the idle limit (which
// starts anew after each answer), and closed, not left silent, after it.
TEST(WebServer, IdleConnectionsAreAnsweredThenClosed) {
  qnvrecorder::SWebLimits limits;
  limits.idle = 600ms;
  SLocalWeb web(limits);
  ASSERT_NE(web.port, 0);
  const std::string request = KeptAlive("/login.html", web.port);
  const int fd = Connect(web.port);
  ASSERT_GE(fd, 0);
  for (const auto pause : {0ms, 400ms, 400ms}) {
    std::this_thread::sleep_for(pause);
    ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const SReply r = ReadAnswer(fd, 3000);
    ASSERT_EQ(r.status, 200) << "after " << pause.count() << " ms";
    EXPECT_EQ(r.Header("Keep-Alive"), "timeout=1");
  }
  const auto answered = std::chrono::steady_clock::now();
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 3000), 1);
  char b;
  EXPECT_EQ(::recv(fd, &b, 1, MSG_DONTWAIT), 0);  // an orderly close
  const auto waited = std::chrono::steady_clock::now() - answered;
  EXPECT_GT(waited, 450ms);
  EXPECT_LT(waited, 2000ms);
  ::close(fd);
  // A viewer is no idle connection: it stays.
  const int viewer = Connect(web.port);
  ASSERT_GE(viewer, 0);
  const std::string hs = LiveUpgrade("gate", web.port);
  web.server->Stream("gate");
  ASSERT_EQ(::write(viewer, hs.data(), hs.size()), static_cast<ssize_t>(hs.size()));
  std::this_thread::sleep_for(1000ms);
  const std::string got = ReadAll(viewer, 200);
  EXPECT_EQ(got.rfind("HTTP/1.1 101", 0), 0u) << got.substr(0, 100);
  pollfd v{viewer, POLLIN, 0};
  EXPECT_TRUE(::poll(&v, 1, 0) == 0 || ::recv(viewer, &b, 1, MSG_PEEK | MSG_DONTWAIT) > 0);
  ::close(viewer);
}

// Spans whose ends wrap when subtracted, or lie outside 1970..9999, are
// refused before anything is read.
TEST(WebServer, SpansAreCheckedWithoutOverflow) {
  const STempDir temp("webspans");
  ASSERT_FALSE(temp.path.empty());
  SLocalWeb web({}, qnvrecorder::CRecordings(temp.path.string(), "i1"));
  ASSERT_NE(web.port, 0);
  const std::string wide = "from=-9223372036854775808&to=9223372036854775807";
  for (const std::string& path :
       {"/api/play?camera=gate&" + wide, "/api/timeline?camera=gate&" + wide,
        std::string("/api/play?camera=gate&from=-1000000&to=1000000"),
        std::string("/api/timeline?camera=gate&from=253402300800000000&to=253402300800000001"),
        std::string("/api/thumbnail?camera=gate&time=9223372036854775807")}) {
    EXPECT_EQ(Http(web.port, Request("GET", path, web.port)).status, 400) << path;
  }
  const SReply session = Http(web.port, Request("GET", "/api/session", web.port));
  ASSERT_EQ(session.status, 200);
  const std::string csrf = nlohmann::json::parse(session.body)["csrf"];
  const SReply r =
      Http(web.port,
           Request("POST", "/api/exports", web.port,
                   "Content-Type: application/json\r\nX-CSRF-Token: " + csrf + "\r\n",
                   R"({"camera":"gate","from":-9223372036854775808,"to":9223372036854775807})"));
  EXPECT_EQ(r.status, 400) << r.body;
}

// A viewer that never reads but confirms bytes it guesses is believed no
// further than its connection delivered: it falls behind and is cut off.
TEST(WebServer, ViewersThatClaimWhatTheyNeverTookAreCutOff) {
  qnvrecorder::SWebLimits limits;
  limits.stallCutOff = 1500ms;
  SLocalWeb web(limits);
  ASSERT_NE(web.port, 0);
  const std::vector<std::string> frames = ClipFrames();
  std::shared_ptr<qnvrecorder::CLiveStream> stream = web.server->Stream("gate");
  size_t next = 0;
  auto push = [&](size_t n) {
    for (size_t i = 0; i < n; ++i, ++next) {
      const std::string& f = frames[next % frames.size()];
      stream->Push(reinterpret_cast<const uint8_t*>(f.data()), f.size());
    }
  };
  push(60);  // a key picture to start at
  const int viewer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  ::setsockopt(viewer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(web.port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(viewer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const std::string hs = LiveUpgrade("gate", web.port);
  ASSERT_EQ(::write(viewer, hs.data(), hs.size()), static_cast<ssize_t>(hs.size()));
  for (int i = 0; i < 100 && stream->ViewerCount() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(stream->ViewerCount(), 1u);
  // Confirms 500 bytes more every 40 ms (less than the stream sends), whatever
  // arrived.
  const auto start = std::chrono::steady_clock::now();
  uint64_t claimed = 0;
  while (stream->ViewerCount() > 0 && std::chrono::steady_clock::now() - start < 8s) {
    push(3);
    claimed += 500;
    const std::string text = "ack " + std::to_string(claimed);
    std::string frame = "\x81";
    frame += static_cast<char>(0x80 | text.size());
    frame += std::string(4, '\0');  // a zero mask
    frame += text;
    ::send(viewer, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    std::this_thread::sleep_for(40ms);
  }
  EXPECT_EQ(stream->ViewerCount(), 0u) << "claimed " << claimed << " bytes";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
  ::close(viewer);
}

// A segment as the writer leaves it under folder (made here): a data file
// and an index whose records span [fromUs, fromUs + 1 s].
void PlantSegment(const fs::path& folder, int64_t fromUs) {
  fs::create_directories(folder);
  std::ofstream(folder / "000000.qnv") << "data";
  constexpr size_t kRecord = qnvrec::SIndexRecord::kSize;
  std::string index(2 * kRecord, '\0');
  for (size_t r = 0; r < 2; ++r) {
    const uint64_t t = static_cast<uint64_t>(fromUs) + r * 1000000;
    for (size_t i = 0; i < 8; ++i) index[r * kRecord + 16 + i] = static_cast<char>(t >> (8 * i));
  }
  std::ofstream(folder / "000000.idx", std::ios::binary) << index;
}

constexpr int64_t kPlantedUs = 1800000000LL * 1000000;  // 2027-01-15T08:00:00Z

std::string TimelinePath(const std::string& camera, int64_t aroundUs) {
  return "/api/timeline?camera=" + camera + "&from=" + std::to_string(aroundUs - 3600000000LL) +
         "&to=" + std::to_string(aroundUs + 3600000000LL);
}

// The page serves its cameras' folders only, and none through a link.
TEST(WebServer, OnlyConfiguredCamerasAreServedAndNoLinkIsFollowed) {
  const STempDir temp("webfolders");
  ASSERT_FALSE(temp.path.empty());
  const fs::path root = temp.path / "root", outside = temp.path / "outside";
  const int64_t linkedUs = kPlantedUs + 3 * 86400LL * 1000000;
  PlantSegment(root / "gate" / qnvrecorder::DateFolderName(kPlantedUs / 1000000), kPlantedUs);
  PlantSegment(root / "othercam" / qnvrecorder::DateFolderName(kPlantedUs / 1000000), kPlantedUs);
  PlantSegment(outside, linkedUs);
  fs::create_directory_symlink(outside,
                               root / "gate" / qnvrecorder::DateFolderName(linkedUs / 1000000));
  SLocalWeb web({}, qnvrecorder::CRecordings(root.string(), "i1"));
  ASSERT_NE(web.port, 0);
  SReply r = Http(web.port, Request("GET", TimelinePath("gate", kPlantedUs), web.port));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(nlohmann::json::parse(r.body)["spans"].size(), 1u) << r.body;
  r = Http(web.port, Request("GET", TimelinePath("gate", linkedUs), web.port));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_TRUE(nlohmann::json::parse(r.body)["spans"].empty()) << r.body;
  for (const std::string& path :
       {TimelinePath("othercam", kPlantedUs),
        "/api/play?camera=othercam&from=" + std::to_string(kPlantedUs) +
            "&to=" + std::to_string(kPlantedUs + 1000000),
        "/api/thumbnail?camera=othercam&time=" + std::to_string(kPlantedUs)}) {
    EXPECT_EQ(Http(web.port, Request("GET", path, web.port)).status, 404) << path;
  }
}

// A FIFO planted where a snapshot or an index would be holds neither the
// page's worker nor the stop.
TEST(WebServer, PlantedFifosHoldNothing) {
  const STempDir temp("webfifos");
  ASSERT_FALSE(temp.path.empty());
  const fs::path root = temp.path / "root";
  const fs::path snapshots = root / ".qnv-recorder" / "i1" / "snapshots" / "gate";
  fs::create_directories(snapshots);
  const fs::path snapshot = snapshots / (std::to_string(kPlantedUs / 1000) + ".jpg");
  ASSERT_EQ(::mkfifo(snapshot.c_str(), 0600), 0);
  const fs::path day = root / "gate" / qnvrecorder::DateFolderName(kPlantedUs / 1000000);
  PlantSegment(day, kPlantedUs);
  fs::remove(day / "000000.idx");
  ASSERT_EQ(::mkfifo((day / "000000.idx").c_str(), 0600), 0);
  // Lets a reader the server left waiting go (only when the server fails).
  auto release = [](const fs::path& fifo) {
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (w >= 0) ::close(w);
  };
  {
    SLocalWeb web({}, qnvrecorder::CRecordings(root.string(), "i1"));
    ASSERT_NE(web.port, 0);
    for (const std::string& path : {"/api/thumbnail?camera=gate&time=" + std::to_string(kPlantedUs),
                                    TimelinePath("gate", kPlantedUs)}) {
      const int fd = Connect(web.port);
      ASSERT_GE(fd, 0);
      const std::string request = Request("GET", path, web.port);
      ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
      const SReply r = ParseReply(ReadAll(fd, 3000));
      ::close(fd);
      EXPECT_NE(r.status, 0) << path << ": no answer";
      release(snapshot);
      release(day / "000000.idx");
    }
    const auto stopping = std::chrono::steady_clock::now();
    web.server->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
  }
}

// Connections to the TLS port that never begin a handshake hold up no one
// else's: a client that does is answered at once.
TEST(WebServer, SilentTlsConnectionsHoldUpNoOne) {
  const STempDir temp("websilent");
  ASSERT_FALSE(temp.path.empty());
  std::string output;
  ASSERT_TRUE(MakeCertificate(temp.path, "web", output)) << output;
  SLocalWeb web({}, qnvrecorder::CRecordings("", ""), temp.path);
  ASSERT_NE(web.port, 0);
  std::vector<int> silent;
  for (int i = 0; i < 40; ++i) {
    const int fd = Connect(web.port);
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
  }
  std::this_thread::sleep_for(200ms);
  const auto asked = std::chrono::steady_clock::now();
  std::string why;
  const SReply r = Https(web.port, Request("GET", "/api/version", web.port),
                         (temp.path / "web.crt").string(), &why);
  EXPECT_EQ(r.status, 200) << why;
  // Far below the request time (5 s) the silent ones would otherwise hold it up for.
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
  for (int fd : silent) ::close(fd);

  // A connection handed over after its handshake is kept alive as any other.
  GSocketClient* client = g_socket_client_new();
  g_socket_client_set_timeout(client, 10);
  GTlsDatabase* trusted = g_tls_file_database_new((temp.path / "web.crt").c_str(), nullptr);
  ASSERT_NE(trusted, nullptr);
  GSocketConnection* tcp =
      g_socket_client_connect_to_host(client, "127.0.0.1", web.port, nullptr, nullptr);
  ASSERT_NE(tcp, nullptr);
  GSocketConnectable* identity = g_network_address_new("127.0.0.1", web.port);
  GIOStream* kept = g_tls_client_connection_new(G_IO_STREAM(tcp), identity, nullptr);
  ASSERT_NE(kept, nullptr);
  g_tls_connection_set_database(G_TLS_CONNECTION(kept), trusted);
  ASSERT_TRUE(g_tls_connection_handshake(G_TLS_CONNECTION(kept), nullptr, nullptr));
  const std::string again = KeptAlive("/api/version", web.port);
  for (int i = 0; i < 2; ++i) {
    gsize written = 0;
    ASSERT_TRUE(g_output_stream_write_all(g_io_stream_get_output_stream(kept), again.data(),
                                          again.size(), &written, nullptr, nullptr));
    std::string raw;
    while (raw.find("\"version\"") == std::string::npos) {
      char b[4096];
      const gssize n =
          g_input_stream_read(g_io_stream_get_input_stream(kept), b, sizeof b, nullptr, nullptr);
      if (n <= 0) break;
      raw.append(b, static_cast<size_t>(n));
    }
    EXPECT_EQ(ParseReply(raw).status, 200) << "request " << i << ": " << raw;
  }
  g_object_unref(kept);
  g_object_unref(identity);
  g_object_unref(tcp);
  g_object_unref(trusted);
  g_object_unref(client);
  // And let go as soon as its client leaves.
  size_t waiting = CloseWaiting(web.port);
  for (int i = 0; i < 100 && waiting > 0; ++i) {
    std::this_thread::sleep_for(10ms);
    waiting = CloseWaiting(web.port);
  }
  EXPECT_EQ(waiting, 0u);
}

}  // namespace
}  // namespace qnvrectest

// CWebServer: the recorder's web page and its JSON API (/api/), served by
// libsoup on a GLib main context and thread of its own, so no browser ever
// runs on the RTSP server's loop or a camera's thread. Owns the server, its
// thread, the sessions (WebAuth) and each camera's live stream
// (CLiveStream), which the recorder feeds. Every request is bounded: its
// head and body must arrive within kRequestSeconds, a body holds at most
// kMaxBody bytes, an idle connection is closed after the idle limit (and at
// once when its peer leaves), at most kMaxConnections are open at once (one
// more is closed as it comes), and a viewer that does not keep up is skipped
// ahead and then cut off.
// Start/Stop/Stream from the recorder's control thread; Stream's results
// from any thread. The source must outlive it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Log.h"
#include "config/Config.h"
#include "integrations/IRecorderEvents.h"
#include "qnvlocks/Locks.h"
#include "qnvtools/UniqueFd.h"
#include "web/CLiveStream.h"
#include "web/CRecordings.h"
#include "web/IWebSource.h"
#include "web/WebAuth.h"

typedef struct _GHashTable GHashTable;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GIOStream GIOStream;
typedef struct _GSocket GSocket;
typedef struct _GSource GSource;
typedef struct _GTlsCertificate GTlsCertificate;
typedef struct _SoupServer SoupServer;
typedef struct _SoupServerMessage SoupServerMessage;
typedef struct _SoupWebsocketConnection SoupWebsocketConnection;

namespace qnvrecorder {

// The web server's time limits; tests shorten them.
struct SWebLimits {
  // An HTTP connection with no request under way is closed after this.
  std::chrono::milliseconds idle{20000};
  // A viewer whose connection delivers nothing for this long is cut off.
  std::chrono::milliseconds stallCutOff{CLiveStream::kStallCutOff};
  // A TLS connection must have begun and finished its handshake by then.
  std::chrono::milliseconds handshake{3000};
};

class CWebServer : public IRecorderEvents {
 public:
  static constexpr int kRequestSeconds = 5;
  static constexpr size_t kMaxBody = 16 * 1024;
  static constexpr size_t kMaxViewers = 256;
  // Every viewer and some pages and API calls beside them; far below the
  // descriptors the service may open.
  static constexpr size_t kMaxConnections = kMaxViewers + 64;
  static constexpr int kListenBacklog = 128;  // connections the system queues for accepting
  // TLS handshakes under way from one address (a browser opens about 6).
  static constexpr size_t kMaxHandshakesPerAddress = 8;

  static constexpr int64_t kMaxPlayUs = 300LL * 1000000;     // one piece of playback
  static constexpr int64_t kMaxExportUs = 3600LL * 1000000;  // one export
  static constexpr size_t kMaxExports = 4;
  static constexpr size_t kMaxEvents = 10000;  // kept in memory

  // recordings: ROOT and instance ("" without [storage]: live only).
  CWebServer(SWebConfig config, IWebSource& source, std::string version, CRecordings recordings,
             SWebLimits limits = {});
  ~CWebServer() override;  // Stop()
  CWebServer(const CWebServer&) = delete;
  CWebServer& operator=(const CWebServer&) = delete;

  // Listens and starts the thread; false with a message (the port is taken,
  // the certificate does not load).
  bool Start(std::string& error);
  void Stop();
  uint16_t Port() const { return m_port; }
  // Connections open now, viewers included (any thread).
  size_t Connections() const { return m_peerCount.load(); }

  // The live stream of a camera, made on first use (the recorder pushes its
  // frames into it).
  std::shared_ptr<CLiveStream> Stream(const std::string& camera);
  // Cameras no longer configured: their viewers are closed.
  void KeepStreams(const std::vector<std::string>& cameras);
  // IRecorderEvents: a device's rule alarm (any thread); the timeline marks
  // it at the device's capture time where it gives one, else at its arrival.
  void AlarmEvent(const SAlarmEvent& event) override;

  struct SConnection;  // one live viewer's WebSocket
  struct SPeer;        // one open connection
  struct SHandshake;   // one TLS connection not yet handed to libsoup

 private:
  struct SRequest;
  struct SExport;
  struct SAlarm {
    std::string camera;
    int64_t timeUs;
    uint32_t rule;
  };
  // Work that takes time (reading recordings, making MP4s) runs on the
  // worker thread; msg waits paused meanwhile and finish answers it on the
  // web thread.
  void Post(SoupServerMessage* msg, std::function<void()> work,
            std::function<void(SoupServerMessage*)> finish);
  void Work();
  // Whether camera is one the recorder is configured with (the page serves
  // no other folder of ROOT).
  bool Configured(const std::string& camera);
  void Timeline(SoupServerMessage* msg, GHashTable* query);
  void Play(SoupServerMessage* msg, GHashTable* query);
  void ThumbnailOf(SoupServerMessage* msg, GHashTable* query);
  void StartExport(SoupServerMessage* msg);
  void ExportState(SoupServerMessage* msg, const std::string& rest);
  void CancelExport(SoupServerMessage* msg, const std::string& id);

  void Run(std::string* error, std::atomic<int>* started);
  static void OnRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                        void* self);
  static void OnWebsocket(SoupServer*, SoupServerMessage* msg, const char* path,
                          SoupWebsocketConnection* conn, void* self);
  static void OnRequestStarted(SoupServer*, SoupServerMessage* msg, void* self);
  // The connection's entry, made for a new one; nullptr when kMaxConnections
  // are open already.
  SPeer* AdmitConnection(GSocket* socket);
  SPeer* PeerOf(GSocket* socket);
  // A connection's request is answered (or failed): it waits idle now.
  static void OnRequestFinished(SoupServerMessage* msg, void* self);
  void WatchIdle(SPeer* peer);
  // Watches an idle connection for its peer leaving or sending.
  void ArmWatch(SPeer* peer);
  static constexpr unsigned kRewatchMs = 200;
  void StopIdle(SPeer* peer);
  // Closes the connection and forgets it (peer may be gone on return).
  void DropPeer(SPeer* peer, bool close);
  void SweepPeers();
  // The socket a request came on (libsoup names none for a connection it
  // was handed: those are looked up by their peer's address).
  GSocket* SocketOf(SoupServerMessage* msg);
  // TLS: connections are taken here and handed to libsoup once their
  // handshake is done; one that says nothing costs no TLS worker thread.
  void Accept();
  void BeginHandshake(SHandshake* h);
  void EndHandshake(SHandshake* h, GIOStream* done);
  void Handle(SoupServerMessage* msg, const std::string& path, GHashTable* query);
  void HandleApi(SoupServerMessage* msg, const std::string& path, const SWebSession* session,
                 GHashTable* query);
  void Login(SoupServerMessage* msg);
  bool HostAllowed(SoupServerMessage* msg) const;
  bool SameOrigin(SoupServerMessage* msg) const;
  const SWebSession* SessionOf(SoupServerMessage* msg);
  std::string CamerasJson();
  std::string StatusJson();
  void FlushViewers();
  void Tick();
  void CloseViewer(SConnection* c, unsigned short code, const char* why);

  const SWebConfig m_config;
  const SWebLimits m_limits;
  IWebSource& m_source;
  const std::string m_version;
  const std::chrono::steady_clock::time_point m_started;
  const int64_t m_startedUnix;
  CWebSessions m_sessions;  // web thread only
  std::string m_openCsrf;   // without users: the one token state changes need

  GMainContext* m_context = nullptr;
  GMainLoop* m_loop = nullptr;  // web thread only, after Start
  SoupServer* m_server = nullptr;
  GTlsCertificate* m_cert = nullptr;  // web thread only, while running with TLS
  GSocket* m_listener = nullptr;      // with TLS: the connections are accepted here
  GSource* m_accept = nullptr;
  std::vector<SHandshake*> m_handshakes;           // web thread only
  std::map<std::string, size_t> m_handshakesFrom;  // under way, per address
  bool m_closing = false;                          // web thread: Run is ending
  // Connections handed to libsoup after their handshake, by peer address
  // ("host port"), held weakly; web thread only.
  struct SHanded;
  std::map<std::string, std::unique_ptr<SHanded>> m_handed;
  std::thread m_thread;
  std::atomic<uint16_t> m_port{0};

  mutable qnv::locks::CMutex m_streamsMutex;
  std::map<std::string, std::shared_ptr<CLiveStream>> m_streams GUARDED_BY(m_streamsMutex);
  // Set from any thread when a viewer's queue fills; the web thread clears it.
  struct SWake;
  std::shared_ptr<SWake> m_wake;

  // Readable once the server stops: catalogue reads under way give up.
  const qnvtools::UniqueFd m_readAbort;
  const CRecordings m_recordings;  // its reads watch m_readAbort
  std::thread m_worker;
  qnv::locks::CMutex m_workMutex;
  std::condition_variable m_workWake;
  std::deque<std::function<void()>> m_work GUARDED_BY(m_workMutex);
  bool m_workStop GUARDED_BY(m_workMutex) = false;
  // Exports queued or being made: Stop cancels them, so it waits for none.
  std::vector<std::weak_ptr<SExport>> m_exportWork GUARDED_BY(m_workMutex);

  qnv::locks::CMutex m_alarmsMutex;
  std::deque<SAlarm> m_alarms GUARDED_BY(m_alarmsMutex);

  std::map<std::string, std::shared_ptr<SExport>> m_exports;  // web thread only
  std::vector<SConnection*> m_viewers;                        // web thread only
  // The open connections, held weakly (libsoup owns them); web thread only.
  std::map<GSocket*, std::unique_ptr<SPeer>> m_peers;
  std::atomic<size_t> m_peerCount{0};  // its size, for other threads
  uint64_t m_nextPeer = 1;
  CLogThrottle m_refusedLog{5, std::chrono::minutes(1)};
  std::map<std::string, std::pair<uint64_t, double>> m_bitrate;  // bytes seen, bits/s
};

}  // namespace qnvrecorder

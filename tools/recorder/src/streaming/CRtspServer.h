// CRtspServer: serves every camera as rtsp://HOST:PORT/CAMERA through
// GStreamer's RTSP server, each client with its own small pipeline
// (appsrc ! h264parse ! rtph264pay) fed by the camera's CRtspFeed, so the
// camera's channel is opened once however many clients watch. Media go over
// the client's RTSP connection (interleaved TCP). The server listens on no
// socket of its own: CRtspGate accepts, checks and bounds every connection
// and hands the ones it lets through to Adopt. Owns the server and the
// thread running its main loop. Start/Stop/Mount/Unmount are called from the
// recorder's control thread; Adopt from the gate's; the feeds from any.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "qnvlocks/Locks.h"

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GstRTSPServer GstRTSPServer;

namespace qnvrecorder {

class CRtspFeed;

class CRtspServer {
 public:
  CRtspServer() = default;
  ~CRtspServer();  // Stop()
  CRtspServer(const CRtspServer&) = delete;
  CRtspServer& operator=(const CRtspServer&) = delete;

  // Starts the server's loop; false with a message when it cannot.
  bool Start(std::string& error);
  void Stop();

  // Serves the RTSP connection fd (taken over: closed when the client goes)
  // of the client at ip:port; false (fd closed) when the server cannot.
  bool Adopt(int fd, const std::string& ip, uint16_t port);

  // The feed behind /name, made and mounted on first use; the same one again
  // later, so clients' URLs survive a camera restart.
  std::shared_ptr<CRtspFeed> Mount(const std::string& name);
  void Unmount(const std::string& name);

  // The feed mounted under a camera's name, or null.
  std::shared_ptr<CRtspFeed> Feed(const std::string& name) const;

 private:
  GMainContext* m_context = nullptr;
  GMainLoop* m_loop = nullptr;
  GstRTSPServer* m_server = nullptr;
  std::thread m_thread;
  mutable qnv::locks::CMutex m_mutex;
  std::map<std::string, std::shared_ptr<CRtspFeed>> m_feeds GUARDED_BY(m_mutex);
};

}  // namespace qnvrecorder

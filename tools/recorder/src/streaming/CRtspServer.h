// CRtspServer: serves every camera as rtsp://HOST:PORT/CAMERA through
// GStreamer's RTSP server, each client with its own small pipeline
// (appsrc ! h264parse ! rtph264pay) fed by the camera's CRtspFeed, so the
// camera's channel is opened once however many clients watch. Owns the
// server and the thread running its main loop. Start/Stop/Mount/Unmount are
// called from the recorder's control thread; the feeds may be used from any
// thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config/Config.h"

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

  // Listens on config.port (0: any free port); false with a message when the
  // port cannot be bound.
  bool Start(const SRtspConfig& config, std::string& error);
  void Stop();
  uint16_t Port() const { return port_; }

  // The feed behind /name, made and mounted on first use; the same one again
  // later, so clients' URLs survive a camera restart.
  std::shared_ptr<CRtspFeed> Mount(const std::string& name);
  void Unmount(const std::string& name);

  // For the server's signal handlers: the feed of a mount path, or null.
  std::shared_ptr<CRtspFeed> FeedForPath(const std::string& path) const;

 private:
  SRtspConfig config_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GstRTSPServer* server_ = nullptr;
  unsigned sourceId_ = 0;
  uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;  // guards feeds_
  std::map<std::string, std::shared_ptr<CRtspFeed>> feeds_;
};

}  // namespace qnvrecorder

#include "CRtspServer.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include "CRtspFeed.h"
#include "Log.h"

namespace qnvrecorder {
namespace {

constexpr const char* kRole = "viewer";
constexpr const char* kLaunch =
    "( appsrc name=src is-live=true format=time do-timestamp=false max-bytes=0 "
    "caps=video/x-h264,stream-format=byte-stream,alignment=nal "
    "! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )";
constexpr guint kSessionCleanupSeconds = 2;

// Keeps a feed alive while a factory or a media object refers to it.
struct SFeedRef {
  std::shared_ptr<CRtspFeed> feed;
};
void DeleteFeedRef(gpointer data) { delete static_cast<SFeedRef*>(data); }

void OnMediaUnprepared(GstRTSPMedia* media, gpointer data) {
  auto* ref = static_cast<SFeedRef*>(data);
  GstElement* bin = gst_rtsp_media_get_element(media);
  if (GstElement* src = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "src")) {
    ref->feed->RemoveClient(src);
    gst_object_unref(src);
    LOG_INFO("rtsp %s: client left (%zu watching)", ref->feed->Name().c_str(),
             ref->feed->ClientCount());
  }
  gst_object_unref(bin);
}

void OnMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
  const auto& feed = static_cast<SFeedRef*>(data)->feed;
  GstElement* bin = gst_rtsp_media_get_element(media);
  GstElement* src = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "src");
  gst_object_unref(bin);
  if (!src) return;
  auto* ref = new SFeedRef{feed};
  g_signal_connect_data(
      media, "unprepared", G_CALLBACK(OnMediaUnprepared), ref,
      [](gpointer d, GClosure*) { DeleteFeedRef(d); }, GConnectFlags(0));
  feed->AddClient(src);
  gst_object_unref(src);
  LOG_INFO("rtsp %s: client joined (%zu watching)", feed->Name().c_str(), feed->ClientCount());
}

// A camera that is down answers DESCRIBE with 503 at once instead of a
// client waiting for frames that do not come.
GstRTSPStatusCode OnPreDescribe(GstRTSPClient*, GstRTSPContext* context, gpointer data) {
  auto* server = static_cast<CRtspServer*>(data);
  if (!context->uri || !context->uri->abspath) return GST_RTSP_STS_OK;
  auto feed = server->FeedForPath(context->uri->abspath);
  if (feed && !feed->Playable()) {
    LOG_WARN("rtsp %s: refused a client: the camera is not connected", feed->Name().c_str());
    return GST_RTSP_STS_SERVICE_UNAVAILABLE;
  }
  return GST_RTSP_STS_OK;
}

void OnClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer data) {
  g_signal_connect(client, "pre-describe-request", G_CALLBACK(OnPreDescribe), data);
}

gboolean CleanupSessions(gpointer data) {
  GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(GST_RTSP_SERVER(data));
  gst_rtsp_session_pool_cleanup(pool);
  g_object_unref(pool);
  return G_SOURCE_CONTINUE;
}

GstRTSPFilterResult RemoveClient(GstRTSPServer*, GstRTSPClient*, gpointer) {
  return GST_RTSP_FILTER_REMOVE;
}

}  // namespace

CRtspServer::~CRtspServer() { Stop(); }

bool CRtspServer::Start(const SRtspConfig& config, std::string& error) {
  config_ = config;
  if (!gst_is_initialized()) gst_init(nullptr, nullptr);
  context_ = g_main_context_new();
  loop_ = g_main_loop_new(context_, FALSE);
  server_ = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server_, "0.0.0.0");
  gst_rtsp_server_set_service(server_, std::to_string(config.port).c_str());
  g_signal_connect(server_, "client-connected", G_CALLBACK(OnClientConnected), this);
  if (!config.user.empty()) {
    GstRTSPAuth* auth = gst_rtsp_auth_new();
    GstRTSPToken* token =
        gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
    gchar* basic = gst_rtsp_auth_make_basic(config.user.c_str(), config.password.c_str());
    gst_rtsp_auth_add_basic(auth, basic, token);
    g_free(basic);
    gst_rtsp_token_unref(token);
    gst_rtsp_server_set_auth(server_, auth);
    g_object_unref(auth);
  }
  sourceId_ = gst_rtsp_server_attach(server_, context_);
  if (sourceId_ == 0) {
    error = "RTSP port " + std::to_string(config.port) + " cannot be bound (in use?)";
    Stop();
    return false;
  }
  port_ = static_cast<uint16_t>(gst_rtsp_server_get_bound_port(server_));
  GSource* cleanup = g_timeout_source_new_seconds(kSessionCleanupSeconds);
  g_source_set_callback(cleanup, CleanupSessions, server_, nullptr);
  g_source_attach(cleanup, context_);
  g_source_unref(cleanup);
  thread_ = std::thread([this] {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
  });
  LOG_INFO("rtsp: serving on port %u%s", port_, config.user.empty() ? "" : " (with a password)");
  return true;
}

void CRtspServer::Stop() {
  if (thread_.joinable()) {
    // Clients are dropped on the server's own thread, then the loop ends.
    GSource* idle = g_idle_source_new();
    g_source_set_callback(
        idle,
        [](gpointer self) -> gboolean {
          auto* s = static_cast<CRtspServer*>(self);
          gst_rtsp_server_client_filter(s->server_, RemoveClient, nullptr);
          g_main_loop_quit(s->loop_);
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(idle, context_);
    g_source_unref(idle);
    thread_.join();
  }
  if (sourceId_ != 0) {
    if (GSource* source = g_main_context_find_source_by_id(context_, sourceId_)) {
      g_source_destroy(source);
    }
    sourceId_ = 0;
  }
  if (server_) g_object_unref(server_);
  if (loop_) g_main_loop_unref(loop_);
  if (context_) g_main_context_unref(context_);
  server_ = nullptr;
  loop_ = nullptr;
  context_ = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  feeds_.clear();
}

std::shared_ptr<CRtspFeed> CRtspServer::Mount(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = feeds_.find(name);
  if (it != feeds_.end()) return it->second;
  auto feed = std::make_shared<CRtspFeed>(name);
  feeds_[name] = feed;
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, kLaunch);
  gst_rtsp_media_factory_set_shared(factory, FALSE);
  g_signal_connect_data(
      factory, "media-configure", G_CALLBACK(OnMediaConfigure), new SFeedRef{feed},
      [](gpointer d, GClosure*) { DeleteFeedRef(d); }, GConnectFlags(0));
  if (!config_.user.empty()) {
    gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                    G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                    G_TYPE_BOOLEAN, TRUE, nullptr);
  }
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
  gst_rtsp_mount_points_add_factory(mounts, ("/" + name).c_str(), factory);
  g_object_unref(mounts);
  return feed;
}

void CRtspServer::Unmount(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (feeds_.erase(name) == 0 || !server_) return;
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
  gst_rtsp_mount_points_remove_factory(mounts, ("/" + name).c_str());
  g_object_unref(mounts);
}

std::shared_ptr<CRtspFeed> CRtspServer::FeedForPath(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = feeds_.find(path.empty() || path[0] != '/' ? path : path.substr(1));
  return it == feeds_.end() ? nullptr : it->second;
}

}  // namespace qnvrecorder

#include "streaming/CRtspServer.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtp/gstrtphdrext.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <unistd.h>

#include "base/Log.h"
#include "streaming/CRtspFeed.h"

namespace qnvrecorder {
namespace {

constexpr const char* kLaunch =
    "( appsrc name=src is-live=true format=time do-timestamp=false max-bytes=0 "
    "caps=video/x-h264,stream-format=byte-stream,alignment=nal "
    "! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )";
constexpr guint kSessionCleanupSeconds = 2;
// Each frame's capture time travels as an RFC 6051 64-bit NTP timestamp in
// this RTP header extension (announced in the SDP; clients that do not know
// it ignore it).
constexpr const char* kNtpExtensionUri = "urn:ietf:params:rtp-hdrext:ntp-64";
constexpr guint kNtpExtensionId = 1;
constexpr uint64_t kNtpFromUnixSeconds = 2208988800ull;

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

// The capture time of each buffer reaching the payloader, as the reference
// timestamp the NTP header extension writes: the client's base capture time
// plus the buffer's timestamp (the feed stamps buffers relative to that base).
// Stamped at the payloader's input, so the feed does no work for it while no
// client watches and it holds whatever the elements in front do with metas.
GstPadProbeReturn StampCaptureTime(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const uint64_t baseUs = (*static_cast<std::shared_ptr<CRtspFeed::SClientBase>*>(data))->captureUs;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (baseUs == 0 || !GST_BUFFER_PTS_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  static GstCaps* const ntpCaps = gst_caps_new_empty_simple("timestamp/x-ntp");
  if (gst_buffer_get_reference_timestamp_meta(buffer, ntpCaps)) return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  gst_buffer_add_reference_timestamp_meta(
      buffer, ntpCaps, (baseUs + kNtpFromUnixSeconds * 1000000) * 1000 + GST_BUFFER_PTS(buffer),
      GST_CLOCK_TIME_NONE);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}
void DeleteBase(gpointer data) {
  delete static_cast<std::shared_ptr<CRtspFeed::SClientBase>*>(data);
}

void OnMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
  const auto& feed = static_cast<SFeedRef*>(data)->feed;
  GstElement* bin = gst_rtsp_media_get_element(media);
  GstElement* src = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "src");
  GstElement* pay = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "pay0");
  gst_object_unref(bin);
  auto base = std::make_shared<CRtspFeed::SClientBase>();
  if (pay) {
    // Each frame's capture time goes out with every RTP packet: depayloaders
    // read it from the packet that completes a frame, the last of a fragmented one.
    if (GstRTPHeaderExtension* ext = gst_rtp_header_extension_create_from_uri(kNtpExtensionUri)) {
      gst_rtp_header_extension_set_id(ext, kNtpExtensionId);
      g_object_set(ext, "every-packet", TRUE, nullptr);
      g_signal_emit_by_name(pay, "add-extension", ext);
      gst_object_unref(ext);
      GstPad* sink = gst_element_get_static_pad(pay, "sink");
      gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, StampCaptureTime,
                        new std::shared_ptr<CRtspFeed::SClientBase>(base), DeleteBase);
      gst_object_unref(sink);
    }
    gst_object_unref(pay);
  }
  if (!src) return;
  auto* ref = new SFeedRef{feed};
  g_signal_connect_data(
      media, "unprepared", G_CALLBACK(OnMediaUnprepared), ref,
      [](gpointer d, GClosure*) { DeleteFeedRef(d); }, GConnectFlags(0));
  feed->AddClient(src, std::move(base));
  gst_object_unref(src);
  LOG_INFO("rtsp %s: client joined (%zu watching)", feed->Name().c_str(), feed->ClientCount());
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

bool CRtspServer::Start(std::string& error) {
  if (!gst_is_initialized() && !gst_init_check(nullptr, nullptr, nullptr)) {
    error = "GStreamer did not start";
    return false;
  }
  m_context = g_main_context_new();
  m_loop = g_main_loop_new(m_context, FALSE);
  m_server = gst_rtsp_server_new();
  GSource* cleanup = g_timeout_source_new_seconds(kSessionCleanupSeconds);
  g_source_set_callback(cleanup, CleanupSessions, m_server, nullptr);
  g_source_attach(cleanup, m_context);
  g_source_unref(cleanup);
  m_thread = std::thread([this] {
    g_main_context_push_thread_default(m_context);
    g_main_loop_run(m_loop);
    g_main_context_pop_thread_default(m_context);
  });
  return true;
}

bool CRtspServer::Adopt(int fd, const std::string& ip, uint16_t port) {
  GSocket* socket = g_socket_new_from_fd(fd, nullptr);
  if (socket == nullptr) {
    ::close(fd);
    return false;
  }
  // The server takes the socket over (also when it fails), and its
  // descriptor closes with it.
  return gst_rtsp_server_transfer_connection(m_server, socket, ip.c_str(), port, nullptr) == TRUE;
}

void CRtspServer::Stop() {
  if (m_thread.joinable()) {
    // Clients are dropped on the server's own thread, then the loop ends.
    GSource* idle = g_idle_source_new();
    g_source_set_callback(
        idle,
        [](gpointer self) -> gboolean {
          auto* s = static_cast<CRtspServer*>(self);
          gst_rtsp_server_client_filter(s->m_server, RemoveClient, nullptr);
          g_main_loop_quit(s->m_loop);
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(idle, m_context);
    g_source_unref(idle);
    m_thread.join();
  }
  if (m_server) g_object_unref(m_server);
  if (m_loop) g_main_loop_unref(m_loop);
  if (m_context) g_main_context_unref(m_context);
  m_server = nullptr;
  m_loop = nullptr;
  m_context = nullptr;
  qnv::locks::CLockGuard lock(m_mutex);
  m_feeds.clear();
}

std::shared_ptr<CRtspFeed> CRtspServer::Mount(const std::string& name) {
  qnv::locks::CLockGuard lock(m_mutex);
  auto it = m_feeds.find(name);
  if (it != m_feeds.end()) return it->second;
  auto feed = std::make_shared<CRtspFeed>(name);
  m_feeds[name] = feed;
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, kLaunch);
  gst_rtsp_media_factory_set_shared(factory, FALSE);
  // Media go over the RTSP connection, which the gate bounds and times out.
  gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
  g_signal_connect_data(
      factory, "media-configure", G_CALLBACK(OnMediaConfigure), new SFeedRef{feed},
      [](gpointer d, GClosure*) { DeleteFeedRef(d); }, GConnectFlags(0));
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(m_server);
  gst_rtsp_mount_points_add_factory(mounts, ("/" + name).c_str(), factory);
  g_object_unref(mounts);
  return feed;
}

void CRtspServer::Unmount(const std::string& name) {
  qnv::locks::CLockGuard lock(m_mutex);
  if (m_feeds.erase(name) == 0 || !m_server) return;
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(m_server);
  gst_rtsp_mount_points_remove_factory(mounts, ("/" + name).c_str());
  g_object_unref(mounts);
}

std::shared_ptr<CRtspFeed> CRtspServer::Feed(const std::string& name) const {
  qnv::locks::CLockGuard lock(m_mutex);
  auto it = m_feeds.find(name);
  return it == m_feeds.end() ? nullptr : it->second;
}

}  // namespace qnvrecorder

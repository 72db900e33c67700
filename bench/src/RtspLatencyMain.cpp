// qnv-bench-rtsp-latency: N RTSP clients of one qnv-recorder mount, each a
// GStreamer pipeline (rtspsrc over TCP, no jitter-buffer latency ->
// rtph264depay -> appsink that does not wait for a clock). The recorder
// sends each frame's capture time (the device's wall clock, header bytes
// 16..23) as an RFC 6051 64-bit NTP timestamp in an RTP header extension; the
// depayloader turns it into a reference-timestamp meta on the frame, and the
// frame's age when it reaches the appsink is its glass-to-client latency.
// Capture clock and client clock are the same machine's CLOCK_REALTIME, so
// run it against a device on 127.0.0.1. Frames in each client's first
// --warmup seconds (its start-up stretch: the held picture group, sent at
// once) are left out.
//
// Prints one "result rtsp_latency ..." line: clients, frames measured,
// p50/p99/max in ms, frames without a capture time. Exit 1 when no frame
// carried one.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"

namespace {

constexpr uint64_t kNtpFromUnixNs = 2208988800ull * 1000000000ull;

uint64_t RealtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// One client: its pipeline and the frame ages it measured.
// The appsink callback runs on the pipeline's streaming thread; the
// vectors are read once the pipeline is stopped.
struct SClient {
  GstElement* pipeline = nullptr;
  uint64_t firstNs = 0;  // realtime of the first frame, 0: none yet
  uint64_t warmupNs = 0;
  std::vector<double> agesMs;
  uint64_t withoutTime = 0;
};

GstFlowReturn OnSample(GstAppSink* sink, gpointer data) {
  auto* client = static_cast<SClient*>(data);
  GstSample* sample = gst_app_sink_pull_sample(sink);
  if (!sample) return GST_FLOW_EOS;
  const uint64_t now = RealtimeNs();
  if (client->firstNs == 0) client->firstNs = now;
  if (now - client->firstNs >= client->warmupNs) {
    static GstCaps* const ntpCaps = gst_caps_new_empty_simple("timestamp/x-ntp");
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buffer, ntpCaps);
    if (meta && meta->timestamp > kNtpFromUnixNs) {
      const int64_t age = int64_t(now + kNtpFromUnixNs) - int64_t(meta->timestamp);
      client->agesMs.push_back(double(age) / 1e6);
    } else {
      ++client->withoutTime;
    }
  }
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  const size_t i = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size())));
  std::nth_element(v.begin(), v.begin() + long(i), v.end());
  return v[i];
}

void Usage() {
  std::fputs(
      "usage: qnv-bench-rtsp-latency --url rtsp://127.0.0.1:PORT/CAMERA [--clients N]\n"
      "                              [--seconds S] [--warmup W]\n"
      "  N clients (default 1) watch the mount for W + S seconds (defaults 3 + 10); the\n"
      "  age of every frame after each client's first W seconds is measured from the\n"
      "  capture time the recorder sends with it (RFC 6051 NTP header extension).\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::string url;
  int clients = 1;
  double seconds = 10, warmup = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--url") {
      url = next();
    } else if (a == "--clients") {
      clients = std::atoi(next());
    } else if (a == "--seconds") {
      seconds = std::atof(next());
    } else if (a == "--warmup") {
      warmup = std::atof(next());
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (url.rfind("rtsp://127.0.0.1:", 0) != 0 || clients < 1 || clients > 64 || seconds <= 0 ||
      warmup < 0) {
    std::fputs("needs --url rtsp://127.0.0.1:PORT/..., 1..64 clients, seconds > 0\n", stderr);
    Usage();
    return 2;
  }
  gst_init(&argc, &argv);

  std::vector<std::unique_ptr<SClient>> all;
  for (int i = 0; i < clients; ++i) {
    auto client = std::make_unique<SClient>();
    client->warmupNs = uint64_t(warmup * 1e9);
    const std::string launch = "rtspsrc location=" + url +
                               " protocols=tcp latency=0 ! rtph264depay ! "
                               "appsink name=sink sync=false max-buffers=0";
    GError* error = nullptr;
    client->pipeline = gst_parse_launch(launch.c_str(), &error);
    if (!client->pipeline) {
      std::fprintf(stderr, "pipeline: %s\n", error ? error->message : "?");
      return 1;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(client->pipeline), "sink");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, client.get(), nullptr);
    gst_object_unref(sink);
    gst_element_set_state(client->pipeline, GST_STATE_PLAYING);
    all.push_back(std::move(client));
  }

  // Watch every bus for errors while the run lasts.
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(int64_t((seconds + warmup) * 1000));
  int failed = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (auto& c : all) {
      GstBus* bus = gst_element_get_bus(c->pipeline);
      while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
        GError* e = nullptr;
        gst_message_parse_error(m, &e, nullptr);
        std::fprintf(stderr, "client error: %s\n", e ? e->message : "?");
        g_clear_error(&e);
        gst_message_unref(m);
        ++failed;
      }
      gst_object_unref(bus);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  std::vector<double> ages;
  uint64_t withoutTime = 0;
  for (auto& c : all) {
    gst_element_set_state(c->pipeline, GST_STATE_NULL);
    ages.insert(ages.end(), c->agesMs.begin(), c->agesMs.end());
    withoutTime += c->withoutTime;
    gst_object_unref(c->pipeline);
  }
  const size_t frames = ages.size();
  const double p50 = Percentile(ages, 50), p99 = Percentile(ages, 99);
  const double max = frames ? *std::max_element(ages.begin(), ages.end()) : 0;
  qnv::bench::CResultLine("rtsp_latency")
      .Add("clients", uint64_t(clients))
      .Add("frames", uint64_t(frames))
      .Add("p50_ms", p50)
      .Add("p99_ms", p99)
      .Add("max_ms", max)
      .Add("frames_without_time", withoutTime)
      .Add("client_errors", uint64_t(failed))
      .Print();
  return frames > 0 ? 0 : 1;
}

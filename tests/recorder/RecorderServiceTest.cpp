// qnv-recorder as a child process against simulated devices on 127.0.0.1:
// segments that abut, retention, a device reboot, SIGTERM, a full disk, the
// command-line password refusal, RTSP clients from Debian's tools, and the
// gateway alone (no storage) with each frame's capture time.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "devsim/Simulator.h"
#include "qnvctl/ChildProcess.h"
#include "qnvrecording/CRecordingReader.h"

namespace fs = std::filesystem;
using qnvtest::ChildProcess;
using qnvtest::ChildResult;

namespace {

constexpr size_t kStreamIdOffset = 8;
constexpr size_t kCaptureOffset = 16;

struct SSegmentFrames {
  std::string path;
  bool consistent = false;
  size_t frames = 0;
  uint32_t firstStream = 0, lastStream = 0;
  uint32_t firstCounter = 0, lastCounter = 0;
  uint64_t firstTime = 0, lastTime = 0;
};

uint64_t Le64(const uint8_t* p) { return qnvrec::Le32(p) | uint64_t(qnvrec::Le32(p + 4)) << 32; }

// The segments of a camera, oldest first, with what each begins and ends with.
std::vector<SSegmentFrames> Segments(const fs::path& root, const std::string& camera) {
  std::vector<std::string> paths;
  for (const auto& day : fs::directory_iterator(root / camera)) {
    for (const auto& f : fs::directory_iterator(day.path())) {
      if (f.path().extension() == ".qnv") paths.push_back(f.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<SSegmentFrames> list;
  for (const std::string& p : paths) {
    qnvrec::CRecordingReader reader;
    std::string error;
    SSegmentFrames s;
    s.path = p;
    if (reader.Open(p, qnvrec::IndexPathFor(p), error) && reader.FrameCount() > 0) {
      s.consistent = reader.Summary().Consistent();
      s.frames = reader.FrameCount();
      // The first and the last kept record, straight from the index file.
      std::ifstream index(qnvrec::IndexPathFor(p), std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(index)), {});
      const size_t lastAt = (s.frames - 1) * qnvrec::SIndexRecord::kSize;
      EXPECT_GE(bytes.size(), lastAt + qnvrec::SIndexRecord::kSize) << p;
      bytes.resize(std::max(bytes.size(), lastAt + qnvrec::SIndexRecord::kSize));
      const uint8_t* first = reinterpret_cast<const uint8_t*>(bytes.data());
      const uint8_t* last = first + lastAt;
      s.firstStream = qnvrec::Le32(first + kStreamIdOffset);
      s.lastStream = qnvrec::Le32(last + kStreamIdOffset);
      s.firstCounter = qnvrec::Le32(first);
      s.lastCounter = qnvrec::Le32(last);
      s.firstTime = Le64(first + kCaptureOffset);
      s.lastTime = Le64(last + kCaptureOffset);
    }
    list.push_back(s);
  }
  return list;
}

// Consecutive segments of one stream continue each other: the next frame
// counter, and a capture time one picture later (a picture's parameter sets
// share its time, so one left at the end of the earlier segment shows).
void ExpectAbutting(const std::vector<SSegmentFrames>& segments, size_t& boundaries) {
  for (size_t i = 0; i < segments.size(); ++i) {
    EXPECT_TRUE(segments[i].consistent) << segments[i].path;
    if (i == 0 || segments[i].firstStream != segments[i - 1].lastStream) continue;
    ++boundaries;
    EXPECT_EQ(segments[i].firstCounter, segments[i - 1].lastCounter + 1) << segments[i].path;
    EXPECT_GT(segments[i].firstTime, segments[i - 1].lastTime) << segments[i].path;
    EXPECT_LE(segments[i].firstTime - segments[i - 1].lastTime, 100000u) << segments[i].path;
  }
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class RecorderService : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qnvrec-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    recorder_.reset();
    fs::remove_all(dir_);
  }

  qnv::devsim::Simulator& AddDevice(qnv::devsim::SimulatorOptions options = {}) {
    options.syntheticGop = 25;
    devices_.push_back(std::make_unique<qnv::devsim::Simulator>(options));
    EXPECT_TRUE(devices_.back()->Start()) << devices_.back()->LastError();
    return *devices_.back();
  }

  std::string Camera(const std::string& name, uint16_t port, const std::string& extra = "") {
    return "[[camera]]\nname = \"" + name +
           "\"\nhost = \"127.0.0.1\"\nport = " + std::to_string(port) +
           "\npassword_env = \"QNVREC_PW\"\n" + extra + "\n";
  }

  void StartRecorder(const std::string& config) {
    std::ofstream(dir_ / "recorder.toml") << config;
    recorder_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(recorder_->Start({QNV_RECORDER_PATH, "--config", (dir_ / "recorder.toml").string()},
                                 {{"QNVREC_PW", "admin"}, {"JOURNAL_STREAM", ""}}));
  }

  // Waits until `what` appears at least n times on the recorder's stderr.
  bool WaitCount(const std::string& what, size_t n, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Count(recorder_->Stderr(), what) < n) {
      if (std::chrono::steady_clock::now() >= end) return false;
      recorder_->WaitForStderr("\x01", 100);  // reads what arrives meanwhile
    }
    return true;
  }

  ChildResult Terminate() {
    recorder_->Signal(SIGTERM);
    return recorder_->Finish(20000);
  }

  fs::path dir_;
  std::vector<std::unique_ptr<qnv::devsim::Simulator>> devices_;
  std::unique_ptr<ChildProcess> recorder_;
};

TEST_F(RecorderService, SegmentsAbutRetentionKeepsLimitsRebootResumesSigtermCloses) {
  auto& one = AddDevice();
  auto& two = AddDevice();
  const fs::path root = dir_ / "store";
  // cam2 keeps about 0.4 MB: its older segments go, cam1's never.
  StartRecorder("[storage]\nroot = \"" + root.string() + "\"\nsegment_seconds = 2\n" +
                Camera("cam1", one.Port()) + Camera("cam2", two.Port(), "keep_gb = 0.0004"));
  ASSERT_TRUE(WaitCount("camera cam1: recording", 2, 10000)) << recorder_->Stderr();
  ASSERT_TRUE(WaitCount("camera cam2: recording", 2, 10000)) << recorder_->Stderr();

  // A reboot drops every connection; recording goes on within 5 s.
  one.DropAllConnections();
  const auto dropped = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitCount("camera cam1: connected", 2, 5000)) << recorder_->Stderr();
  const size_t before = Count(recorder_->Stderr(), "camera cam1: recording");
  ASSERT_TRUE(WaitCount("camera cam1: recording", before + 1, 5000)) << recorder_->Stderr();
  EXPECT_LT(std::chrono::steady_clock::now() - dropped, std::chrono::seconds(5));
  ASSERT_TRUE(WaitCount("camera cam1: recording", before + 4, 12000)) << recorder_->Stderr();

  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("stopped"), std::string::npos) << result.err;

  const auto cam1 = Segments(root, "cam1");
  const auto cam2 = Segments(root, "cam2");
  EXPECT_GE(cam1.size(), 4u) << result.err;
  size_t boundaries = 0;
  ExpectAbutting(cam1, boundaries);
  EXPECT_GE(boundaries, 2u);
  ExpectAbutting(cam2, boundaries);
  // Retention removed cam2's oldest segments only.
  EXPECT_EQ(Count(result.err, "retention: removed " + (root / "cam1").string()), 0u) << result.err;
  EXPECT_GE(Count(result.err, "retention: removed " + (root / "cam2").string()), 1u) << result.err;
  EXPECT_LT(cam2.size(), cam1.size());
  // The status summary names both cameras.
  const ChildResult status = ChildProcess::Run({QNV_RECORDER_PATH, "--status", root.string()});
  EXPECT_NE(status.out.find("cam2"), std::string::npos) << status.out << status.err;
}

TEST_F(RecorderService, FullDiskStopsWritingAndResumesWhenSpaceIsBack) {
  // A private mount namespace for a small tmpfs (needs privileges and a
  // single-threaded process: done before any device starts).
  const fs::path root = dir_ / "tiny";
  fs::create_directories(root);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", root.c_str(), "tmpfs", 0, "size=8m") != 0) {
    GTEST_SKIP() << "no private tmpfs here (needs CAP_SYS_ADMIN and one thread)";
  }
  struct SUnmount {
    fs::path at;
    ~SUnmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{root};
  qnv::devsim::SimulatorOptions fast;
  fast.syntheticBitrate = 8000000;  // 1 MB/s: the tmpfs fills in seconds
  auto& device = AddDevice(fast);
  StartRecorder("[storage]\nroot = \"" + root.string() +
                "\"\nsegment_seconds = 1\nmin_free_mb = 3\n" + Camera("cam1", device.Port()));
  ASSERT_TRUE(WaitCount("disk full", 1, 20000)) << recorder_->Stderr();
  ASSERT_TRUE(WaitCount("camera cam1: disk full", 1, 5000)) << recorder_->Stderr();

  // Room again: the oldest segments go; the camera writes a new segment.
  auto segments = Segments(root, "cam1");
  for (size_t i = 0; i + 1 < segments.size(); ++i) {
    fs::remove(segments[i].path);
    fs::remove(qnvrec::IndexPathFor(segments[i].path));
  }
  const size_t before = Count(recorder_->Stderr(), "camera cam1: recording");
  ASSERT_TRUE(WaitCount("recording resumes", 1, 5000)) << recorder_->Stderr();
  ASSERT_TRUE(WaitCount("camera cam1: recording", before + 1, 5000)) << recorder_->Stderr();
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  for (const auto& s : Segments(root, "cam1")) EXPECT_TRUE(s.consistent) << s.path;
}

TEST_F(RecorderService, AlarmRecordsAClipWithPreAndPostTime) {
  auto& device = AddDevice();
  const fs::path root = dir_ / "store";
  StartRecorder(
      "[storage]\nroot = \"" + root.string() + "\"\nsegment_seconds = 60\n" +
      Camera("cam1", device.Port(), "mode = \"events\"\npre_seconds = 1\npost_seconds = 1"));
  ASSERT_TRUE(WaitCount("camera cam1: connected", 1, 10000)) << recorder_->Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // fills the pre-record stretch
  EXPECT_EQ(Count(recorder_->Stderr(), "camera cam1: recording"), 0u);  // nothing before
  device.RaiseAlarm(7);
  ASSERT_TRUE(WaitCount("camera cam1: alarm (rule 7)", 1, 5000)) << recorder_->Stderr();
  ASSERT_TRUE(WaitCount("camera cam1: recording", 1, 5000)) << recorder_->Stderr();
  ASSERT_TRUE(WaitCount("camera cam1: closed", 1, 5000)) << recorder_->Stderr();
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto clips = Segments(root, "cam1");
  ASSERT_EQ(clips.size(), 1u) << result.err;
  EXPECT_TRUE(clips[0].consistent);
  // At least a second before the alarm and a second after it, in whole
  // groups of pictures (one a second here).
  const uint64_t spanUs = clips[0].lastTime - clips[0].firstTime;
  EXPECT_GE(spanUs, 1900000u);
  EXPECT_LE(spanUs, 4500000u);
}

TEST_F(RecorderService, SighupAppliesANewCameraListAndKeepsTheOldOnAnError) {
  auto& one = AddDevice();
  auto& two = AddDevice();
  const std::string storage = "[rtsp]\nport = 0\n";
  StartRecorder(storage + Camera("cam1", one.Port()));
  ASSERT_TRUE(WaitCount("camera cam1: connected", 1, 10000)) << recorder_->Stderr();
  std::ofstream(dir_ / "recorder.toml") << storage << Camera("cam1", one.Port()) << "[[camera\n";
  recorder_->Signal(SIGHUP);
  ASSERT_TRUE(WaitCount("reload refused", 1, 5000)) << recorder_->Stderr();
  std::ofstream(dir_ / "recorder.toml") << storage << Camera("cam2", two.Port());
  recorder_->Signal(SIGHUP);
  ASSERT_TRUE(WaitCount("camera cam2: connected", 1, 5000)) << recorder_->Stderr();
  EXPECT_TRUE(WaitCount("1 camera(s) started, 1 stopped", 1, 1000)) << recorder_->Stderr();
  // cam1 logged out: its device sees no session any more.
  for (int i = 0; i < 40 && one.SessionCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(one.SessionCount(), 0u);
  EXPECT_EQ(two.SessionCount(), 1u);
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
}

TEST_F(RecorderService, PasswordOnTheCommandLineIsRefused) {
  const ChildResult result =
      ChildProcess::Run({QNV_RECORDER_PATH, "--config", "x.toml", "--password", "secret"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("not accepted on the command line"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("password_env"), std::string::npos) << result.err;
}

// The tool's path, or "" when it is not installed.
std::string Tool(const std::string& name) {
  const ChildResult r = ChildProcess::Run({"/bin/sh", "-c", "command -v " + name});
  return r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : "";
}

TEST_F(RecorderService, RtspClientsPlayWhileRecordingAndADownCameraIsRefused) {
  const std::string ffprobe = Tool("ffprobe"), ffmpeg = Tool("ffmpeg"),
                    gstLaunch = Tool("gst-launch-1.0");
  if (ffprobe.empty() || ffmpeg.empty() || gstLaunch.empty()) {
    GTEST_SKIP() << "ffprobe, ffmpeg or gst-launch-1.0 missing";
  }
  qnv::devsim::SimulatorOptions clip;
  clip.clipPath = QNV_SAMPLE_CLIP;
  auto& device = AddDevice(clip);
  const fs::path root = dir_ / "store";
  // A camera port with no device behind it: cam2 stays down.
  StartRecorder("[storage]\nroot = \"" + root.string() +
                "\"\nsegment_seconds = 2\n[rtsp]\nport = 0\n" + Camera("cam1", device.Port()) +
                Camera("cam2", 1));
  ASSERT_TRUE(recorder_->WaitForStderr("serving on port ", 10000)) << recorder_->Stderr();
  const std::string& err = recorder_->Stderr();
  const std::string port = err.substr(err.find("serving on port ") + 16, 5);
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(std::stoi(port)) + "/";
  ASSERT_TRUE(WaitCount("camera cam1: recording", 1, 10000)) << recorder_->Stderr();

  const ChildResult probe = ChildProcess::Run(
      {ffprobe, "-v", "error", "-rtsp_transport", "tcp", "-show_entries",
       "stream=codec_name,width,height,r_frame_rate", "-of", "csv=p=0", url + "cam1"});
  EXPECT_EQ(probe.out, "h264,640,360,25/1\n") << probe.err;

  // Eight clients at once, joining wherever the picture group stands, decode
  // without an error while the camera records.
  std::vector<std::unique_ptr<ChildProcess>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<ChildProcess>());
    ASSERT_TRUE(clients.back()->Start({ffmpeg, "-nostdin", "-v", "error", "-rtsp_transport", "tcp",
                                       "-i", url + "cam1", "-t", "2", "-f", "null", "-"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(90));
  }
  // 50 RTP packets reach GStreamer's client. Its exit status is not asked:
  // at the end of stream rtspsrc may still send PAUSE after the server has
  // answered TEARDOWN and closed the connection, and then reports an error.
  const ChildResult gst =
      ChildProcess::Run({gstLaunch, "-v", "rtspsrc", "location=" + url + "cam1", "protocols=tcp",
                         "!", "fakesink", "silent=false", "num-buffers=50"},
                        20000);
  EXPECT_GE(Count(gst.out, "chain"), 50u) << gst.out << gst.err;
  for (auto& c : clients) {
    const ChildResult r = c->Finish(20000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }

  const ChildResult down =
      ChildProcess::Run({ffprobe, "-v", "error", "-rtsp_transport", "tcp", url + "cam2"}, 10000);
  EXPECT_NE(down.exitCode, 0);
  EXPECT_FALSE(down.timedOut);
  EXPECT_NE(down.err.find("503"), std::string::npos) << down.err;

  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  size_t boundaries = 0;
  ExpectAbutting(Segments(root, "cam1"), boundaries);
  EXPECT_GE(boundaries, 1u);
}

// The gateway alone: a configuration without [storage] writes nothing and
// serves the camera; each frame a GStreamer client receives carries the
// device's capture time (RFC 6051 NTP header extension) on the wall clock,
// one picture interval apart.
TEST_F(RecorderService, GatewayWithoutStorageSendsEachFramesCaptureTime) {
  gst_init(nullptr, nullptr);
  for (const char* element : {"rtspsrc", "rtph264depay"}) {
    GstElementFactory* factory = gst_element_factory_find(element);
    if (!factory) GTEST_SKIP() << element << " missing (GStreamer's good plugins)";
    gst_object_unref(factory);
  }
  auto& device = AddDevice();
  StartRecorder("[rtsp]\nport = 0\n" + Camera("cam1", device.Port()));
  ASSERT_TRUE(recorder_->WaitForStderr("serving on port ", 10000)) << recorder_->Stderr();
  ASSERT_TRUE(WaitCount("camera cam1: connected", 1, 10000)) << recorder_->Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a key frame is held
  const std::string& err = recorder_->Stderr();
  const int port = std::stoi(err.substr(err.find("serving on port ") + 16, 5));

  const std::string launch = "rtspsrc location=rtsp://127.0.0.1:" + std::to_string(port) +
                             "/cam1 protocols=tcp latency=0 ! rtph264depay ! "
                             "video/x-h264,alignment=au ! appsink name=sink sync=false";
  GstElement* pipeline = gst_parse_launch(launch.c_str(), nullptr);
  ASSERT_NE(pipeline, nullptr);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstCaps* ntp = gst_caps_new_empty_simple("timestamp/x-ntp");
  constexpr uint64_t kNtpFromUnixNs = 2208988800ull * 1000000000ull;
  std::vector<uint64_t> times;  // ns since 1970
  constexpr size_t kBurst = 25, kFrames = kBurst + 25;
  for (size_t i = 0; i < kFrames; ++i) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 5 * GST_SECOND);
    if (!sample) break;
    auto* meta = gst_buffer_get_reference_timestamp_meta(gst_sample_get_buffer(sample), ntp);
    times.push_back(meta && meta->timestamp > kNtpFromUnixNs ? meta->timestamp - kNtpFromUnixNs
                                                             : 0);
    gst_sample_unref(sample);
  }
  const uint64_t now = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count());
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  gst_caps_unref(ntp);

  ASSERT_EQ(times.size(), kFrames);
  // Frames of the start-up burst (the held group, at most 25 pictures here)
  // now and then come out of the depayloader without the time (about one run
  // in six on a loaded machine); every frame after it has it.
  for (size_t i = kBurst + 1; i < times.size(); ++i) {
    ASSERT_NE(times[i - 1], 0u) << i - 1;
    if (times[i] == times[i - 1]) continue;              // parameter sets before their picture
    EXPECT_GE(times[i] - times[i - 1], 30000000u) << i;  // 25 pictures a second
    EXPECT_LE(times[i] - times[i - 1], 50000000u) << i;
  }
  // Wall-clock times near now (the simulator's schedule lags under the sanitizers).
  EXPECT_LT(now - times.back(), 30000000000u);
  EXPECT_LT(times.back(), now + 100000000u);

  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir_))
    entries += e.path().filename() != "recorder.toml";
  EXPECT_EQ(entries, 0u);
}

}  // namespace

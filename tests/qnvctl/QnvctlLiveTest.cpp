// qnvctl's live-video commands against a simulated device: recordings are
// complete and exportable however they end (time, Ctrl-C, a lost device, a
// stalled stream, a device process stopped), a lost camera is named with its
// reason, snapshots are pictures, statistics parse, and the demo runs end to
// end.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "../player/XvfbServer.h"
#include "QnvctlFixture.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnvtest {
namespace {

// Opens a recording with the exporter's reader and checks that the index and
// the data agree to the last byte.
void ExpectCompleteRecording(const std::string& dataPath) {
  const std::string indexPath = qnvrec::IndexPathFor(dataPath);
  qnvrec::CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(dataPath, indexPath, error)) << error;
  const auto& s = reader.Summary();
  EXPECT_TRUE(s.Consistent()) << (s.problems.empty() ? "" : s.problems.front());
  EXPECT_GT(s.frames, 0u);
  EXPECT_GT(s.keyFrames, 0u);
  EXPECT_EQ(s.indexFileBytes, s.frames * qnvrec::SIndexRecord::kSize);
  EXPECT_EQ(s.bodyBytes, s.dataFileBytes);
  // Nothing missing between the pre-record part and the live part.
  EXPECT_EQ(s.holeCount, 0u) << (s.holes.empty() ? 0 : s.holes.front().frame);
}

TEST_F(QnvctlTest, RecordForSecondsThenExport) {
  const std::string data = Path("rec/clip.dat");  // the directory is created
  ChildResult r = Qnvctl({"record", data, "--seconds", "1.2", "--pre-seconds", "0.5", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  JsonValue j = Json(r.out);
  EXPECT_EQ(Text(j, "indexFile"), Path("rec/clip.idx"));
  EXPECT_FALSE(Flag(j, "interrupted"));
  EXPECT_GT(Number(j, "framesReceived"), 0);
  // The pre-record stretch comes first, so the file holds more than arrived
  // while it was open.
  EXPECT_GT(Number(j, "indexFrames"), Number(j, "framesReceived"));
  EXPECT_NE(r.err.find("recording "), std::string::npos) << r.err;
  ExpectCompleteRecording(data);

  r = Qnvctl({"export", data, Path("clip.mp4"), "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  j = Json(r.out);
  EXPECT_TRUE(Flag(j, "consistent"));
  EXPECT_GT(Number(j, "pictures"), 10);
  EXPECT_GT(ReadFile(Path("clip.mp4")).size(), 1000u);
}

TEST_F(QnvctlTest, CtrlCDuringRecordLeavesCompleteExportableFiles) {
  const std::string data = Path("ctrlc.dat");
  ChildProcess child;
  ASSERT_TRUE(child.Start(Command({"record", data})));
  ASSERT_TRUE(child.WaitForStderr("recording ", 15000));
  // Let a key frame or two into the live part.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  child.Signal(SIGINT);
  ChildResult r = child.Finish(15000);
  ASSERT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("stopped by Ctrl-C"), std::string::npos) << r.err;
  ExpectCompleteRecording(data);
  r = Qnvctl({"export", data, Path("ctrlc.mp4")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // The session and the stream were closed, not abandoned.
  EXPECT_TRUE(WaitUntil([&] { return sim->StreamCount() == 0; }));
}

TEST_F(QnvctlTest, CtrlCBeforeTheRecordingOpensCreatesNothing) {
  ChildProcess child;
  ASSERT_TRUE(child.Start(Command({"record", Path("early.dat"), "--pre-seconds", "30"})));
  ASSERT_TRUE(child.WaitForStderr("pre-record", 15000));
  child.Signal(SIGTERM);
  ChildResult r = child.Finish(15000);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("interrupted before the recording started"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(Path("early.dat")));
}

// The pictures the failure line says the file holds: "(N pictures)".
double PicturesClaimed(const std::string& err) {
  const size_t at = err.find(" pictures)");
  if (at == std::string::npos) return -1;
  const size_t open = err.rfind('(', at);
  return open == std::string::npos ? -1 : std::atof(err.c_str() + open + 1);
}

uint64_t PicturesIn(const std::string& dataPath) {
  qnvrec::CRecordingReader reader;
  std::string error;
  return reader.Open(dataPath, qnvrec::IndexPathFor(dataPath), error) ? reader.Summary().pictures
                                                                      : 0;
}

TEST_F(QnvctlTest, LostDeviceEndsTheRecordingWithCompleteFiles) {
  const std::string data = Path("lost.dat");
  ChildProcess child;
  ASSERT_TRUE(child.Start(Command({"record", data, "--seconds", "20"})));
  ASSERT_TRUE(child.WaitForStderr("recording ", 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  sim->DropAllConnections();
  ChildResult r = child.Finish(15000);
  EXPECT_EQ(r.exitCode, 1);
  // The stream's end is met first, or the session's.
  EXPECT_NE(r.err.find("qnvctl: camera 127.0.0.1:" + std::to_string(sim->Port()) + ": the "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("connection was lost; " + data + " holds "), std::string::npos) << r.err;
  ExpectCompleteRecording(data);
}

// A stream that stops: one line names the camera and the reason and says how
// much video the file holds, and the exit status is 1, soon after the stall
// time.
TEST_F(QnvctlTest, StalledStreamEndsTheRecordingWithOneLine) {
  const std::string data = Path("stall.dat");
  ChildProcess child;
  ASSERT_TRUE(child.Start(Command({"record", data, "--stall-seconds", "1"})));
  ASSERT_TRUE(child.WaitForStderr("recording ", 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  sim->Freeze(qnv::devsim::FreezeScope::kStream);
  const auto frozen = std::chrono::steady_clock::now();
  ChildResult r = child.Finish(15000);
  EXPECT_LT(std::chrono::steady_clock::now() - frozen, std::chrono::seconds(6));
  EXPECT_EQ(r.exitCode, 1);
  const std::string line = "qnvctl: camera 127.0.0.1:" + std::to_string(sim->Port()) +
                           ": the stream stalled: no frame for 1 s; " + data + " holds ";
  EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" of video ("), std::string::npos) << r.err;
  ExpectCompleteRecording(data);
  EXPECT_EQ(PicturesClaimed(r.err), double(PicturesIn(data))) << r.err;
  sim->Thaw();
}

// The device's whole process stopped (SIGSTOP): the stall time-out ends the
// recording, and closing does not wait on the silent device.
TEST_F(QnvctlTest, StoppedDeviceProcessEndsTheRecordingSoon) {
  ChildProcess device;
  ASSERT_TRUE(device.Start({QNV_DEVSIM_PATH, "--port", "0", "--clip", QNV_SAMPLE_CLIP}));
  ASSERT_TRUE(device.WaitForStdout("streams on", 10000));
  const std::string& banner = device.Stdout();
  const std::string port =
      std::to_string(std::atoi(banner.c_str() + banner.find("127.0.0.1:") + 10));
  const std::string data = Path("stopped.dat");
  ChildProcess child;
  ASSERT_TRUE(child.Start({QNVCTL_PATH, "record", data, "--stall-seconds", "2", "--port", port}));
  ASSERT_TRUE(child.WaitForStderr("recording ", 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  device.Signal(SIGSTOP);
  const auto stopped = std::chrono::steady_clock::now();
  ChildResult r = child.Finish(20000);
  const auto took = std::chrono::steady_clock::now() - stopped;
  device.Signal(SIGCONT);
  device.Signal(SIGTERM);
  device.Finish(10000);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_NE(r.err.find("camera 127.0.0.1:" + port + ": the stream stalled: no frame for 2 s"),
            std::string::npos)
      << r.err;
  ExpectCompleteRecording(data);
}

TEST_F(QnvctlTest, WatchEndsWithOneLineWhenAStreamStalls) {
  ChildProcess child;
  ASSERT_TRUE(child.Start(
      Command({"watch", "--interval", "0.2", "--channels", "2", "--stall-seconds", "1"})));
  ASSERT_TRUE(WaitUntil([&] { return sim->StreamCount() == 2; }, 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  sim->Freeze(qnv::devsim::FreezeScope::kStream);
  ChildResult r = child.Finish(15000);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("qnvctl: camera 127.0.0.1:" + std::to_string(sim->Port()) + " (channel "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("): the stream stalled: no frame for 1 s\n"), std::string::npos) << r.err;
  sim->Thaw();
}

TEST_F(QnvctlTest, SnapshotWritesAJpeg) {
  ChildResult r = Qnvctl({"snapshot", Path("snap.jpg"), "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto jpeg = ReadFile(Path("snap.jpg"));
  ASSERT_GT(jpeg.size(), 4u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
  EXPECT_EQ(Number(Json(r.out), "bytes"), jpeg.size());
}

TEST_F(QnvctlTest, WatchPrintsOneJsonObjectPerChannelAndInterval) {
  ChildResult r =
      Qnvctl({"watch", "--seconds", "1.5", "--interval", "0.5", "--channels", "2", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<JsonValue> lines;
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(Json(r.out.substr(at, end - at)));
  ASSERT_GE(lines.size(), 5u);  // >= 2 intervals x 2 channels, then the summary
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const double channel = Number(lines[i], "channel");
    EXPECT_TRUE(channel == 1 || channel == 2);
    EXPECT_GE(Number(lines[i], "framesPerSecond"), 0);
    EXPECT_EQ(Number(lines[i], "gaps"), 0);
  }
  const JsonValue& summary = lines.back();
  EXPECT_TRUE(Flag(summary, "ok"));
  const JsonValue* channels = summary.Get("channels");
  ASSERT_TRUE(channels && channels->items.size() == 2);
  for (const auto& c : channels->items) {
    EXPECT_GT(Number(c, "frames"), 10);
    EXPECT_GT(Number(c, "keyFrames"), 0);
    EXPECT_FALSE(Flag(c, "lost"));
  }
}

TEST_F(QnvctlTest, EventsPrintsOneJsonLinePerAlarm) {
  qnv::devsim::SimulatorOptions o;
  o.alarmIntervalMs = 200;
  qnv::devsim::Simulator alarms(o);
  ASSERT_TRUE(alarms.Start());
  ChildResult r = ChildProcess::Run({QNVCTL_PATH, "events", "--seconds", "1.5", "--json", "--port",
                                     std::to_string(alarms.Port())});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<JsonValue> lines;
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(Json(r.out.substr(at, end - at)));
  ASSERT_GE(lines.size(), 4u) << r.out;
  double last = 0;
  for (const auto& l : lines) {
    EXPECT_EQ(Number(l, "rule"), 1);
    EXPECT_GT(Number(l, "capture_us"), 1e15);
    EXPECT_GT(Number(l, "sequence"), last);
    last = Number(l, "sequence");
  }
}

// A clip per device event holds video from before and after the alarm's
// capture time (the simulator stamps both on the same clock).
TEST_F(QnvctlTest, RecordOnEventWritesAClipAroundTheAlarm) {
  ChildProcess child;
  ASSERT_TRUE(child.Start(Command({"record", Path("ev/clip.dat"), "--on-event", "--pre-seconds",
                                   "1", "--post-seconds", "1", "--seconds", "5"})));
  ASSERT_TRUE(child.WaitForStderr("recording a clip per device event", 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the stretch fills
  const uint64_t alarmUs = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
  ASSERT_EQ(sim->RaiseAlarm(7), 1u);
  ChildResult r = child.Finish(20000);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> clips;
  for (const auto& e : std::filesystem::directory_iterator(Path("ev")))
    if (e.path().extension() == ".dat") clips.push_back(e.path().string());
  ASSERT_EQ(clips.size(), 1u) << r.out;
  EXPECT_NE(clips[0].find("-rule7.dat"), std::string::npos) << clips[0];
  ExpectCompleteRecording(clips[0]);
  qnvrec::CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(clips[0], qnvrec::IndexPathFor(clips[0]), error)) << error;
  const auto& s = reader.Summary();
  ASSERT_TRUE(s.stampsUsable);
  EXPECT_LT(s.firstStampUs + 500000, alarmUs);
  EXPECT_GT(s.lastStampUs, alarmUs + 500000);
}

TEST_F(QnvctlTest, ViewNeedsADisplay) {
  ChildResult r = Qnvctl({"view", "--seconds", "1"}, 30000, {{"DISPLAY", ""}});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find("cannot open the X display"), std::string::npos) << r.err;
}

TEST_F(QnvctlTest, ViewShowsTheStreamInAWindow) {
  if (!XvfbServer::Available()) GTEST_SKIP() << "Xvfb not installed";
  XvfbServer x;
  ASSERT_TRUE(x.Start()) << x.error();
  ChildResult r = Qnvctl({"view", "--seconds", "1", "--size", "320x180", "--json"}, 30000,
                         {{"DISPLAY", x.display()}});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  JsonValue j = Json(r.out);
  EXPECT_GT(Number(j, "frames"), 5);
  EXPECT_FALSE(Flag(j, "windowClosed"));
}

TEST_F(QnvctlTest, ShortDemoSucceeds) {
  ChildResult r = ChildProcess::Run(
      {QNVCTL_PATH, "demo", "--out", Path("demo"), "--clip", QNV_SAMPLE_CLIP, "--seconds", "1",
       "--pre-seconds", "1", "--firmware-size", "65536", "--json"},
      60000);
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  JsonValue j = Json(r.out);
  EXPECT_EQ(Text(j, "firmwareAfter"), "1.0.1");
  EXPECT_GT(Number(j, "pictures"), 10);
  const JsonValue* files = j.Get("files");
  ASSERT_TRUE(files);
  EXPECT_EQ(files->items.size(), 5u);
  for (const auto& f : files->items) {
    EXPECT_TRUE(std::filesystem::exists(Text(f, "path"))) << Text(f, "path");
    EXPECT_GT(Number(f, "bytes"), 0);
  }
  ExpectCompleteRecording(Path("demo/recording.dat"));
}

}  // namespace
}  // namespace qnvtest

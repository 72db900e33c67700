// Segments recorded the way the recorder records them (the simulator
// streaming the sample clip, the SDK writing segments that hand over at a
// key frame, a stretch not recorded, a catalogue writer told of each step),
// then: the time-range export across the hand-over and over the hole,
// judged by ffprobe against the files' own pictures; the event export; the
// rebuild of a lost catalogue and the healing of rows a crash left open;
// and the qnv-catalogue queries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "QNVNetSdk.h"
#include "devsim/Simulator.h"
#include "qnvcatalogue/CCatalogueWriter.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvcatalogue/Maintenance.h"
#include "qnvctl/ChildProcess.h"
#include "qnvrecording/CAccessUnitBuilder.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/TimeText.h"

namespace qnvcat {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qnvtest::ChildProcess;
using qnvtest::ChildResult;

constexpr const char* kCamera = "cam1";
constexpr const char* kRecorder = "test-host/main";

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A segment's pictures as the files hold them.
struct SPicture {
  int64_t stampUs;
  bool key;
  size_t bytes;  // Annex B with 4-byte start codes: the size of its MP4 sample too
};

std::vector<SPicture> Pictures(const std::string& path) {
  std::vector<SPicture> out;
  qnvrec::CRecordingReader reader;
  std::string error;
  EXPECT_TRUE(reader.Open(path, qnvrec::IndexPathFor(path), error)) << error;
  qnvrec::CAccessUnitBuilder builder([&](qnvrec::SAccessUnit& u) {
    out.push_back(SPicture{int64_t(u.stampUs), u.key, u.annexB.size()});
    return true;
  });
  qnvrec::SFrame f;
  std::vector<uint8_t> body;
  while (reader.Next(f, body, error)) {
    const uint8_t* payload;
    size_t length;
    qnvrec::CRecordingReader::Payload(f, body, payload, length);
    for (const qnvrec::SNalRef& nal : qnvrec::SplitAnnexB(payload, length)) {
      builder.Add(nal, f.index, f.StampUs());
    }
  }
  builder.Finish();
  return out;
}

// Recorded once for the whole process.
struct SRecording {
  std::string root;
  std::string a, b, c;  // a hands over to b; c follows after a stretch not recorded
  std::vector<SPicture> pa, pb, pc;
  int64_t eventUs = 0;
  std::string error;
};

std::string SegmentPath(const std::string& root) {
  const int64_t now = NowUs();
  const std::string day = qnvrec::UtcText(now).substr(0, 10);
  const std::string t = qnvrec::UtcText(now);
  std::string stem =
      root + "/" + kCamera + "/" + day + "/" + t.substr(11, 2) + t.substr(14, 2) + t.substr(17, 2);
  std::string path = stem + ".qnv";
  for (int n = 1; fs::exists(path); ++n) path = stem + "-" + std::to_string(n) + ".qnv";
  return path;
}

SWriterOptions Options(const std::string& root) {
  SWriterOptions o;
  o.recorder = kRecorder;
  o.queueDir = root + "/.qnv-recorder/main/catalogue-queue";
  o.journalDir = root + "/.qnv-recorder/main/journal";
  o.firstRetryMs = 50;
  return o;
}

SRecording Record() {
  SRecording r;
  char pattern[] = "/tmp/qnv-catexport-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    r.error = "mkdtemp";
    return r;
  }
  r.root = pattern;
  qnv::devsim::SimulatorOptions simOptions;
  simOptions.clipPath = QNV_SAMPLE_CLIP;
  qnv::devsim::Simulator sim(simOptions);
  if (!sim.Start()) {
    r.error = sim.LastError();
    return r;
  }
  STarget target;
  target.rootOrUrl = r.root;
  CCatalogueWriter writer(target, Options(r.root));
  if (!writer.Start(r.error)) return r;
  QNVNet_InitLib();
  uint32_t client = 0, handle = 0, idA = 0, idB = 0, idC = 0;
  auto fail = [&](const char* what, uint32_t rc) {
    r.error = std::string(what) + " failed: " + std::to_string(int32_t(rc));
  };
  uint32_t rc = QNVNet_DevLogin(&client, "127.0.0.1", sim.Port(), "admin", "admin");
  if (rc != 0) {
    fail("login", rc);
  } else if ((rc = QNVNet_LiveOpen(&handle, client, nullptr)) != 0) {
    fail("live open", rc);
  } else {
    SleepMs(1500);  // a pre-record stretch to begin with, as the recorder has
    r.a = SegmentPath(r.root);
    fs::create_directories(fs::path(r.a).parent_path());
    rc = QNVNet_LiveSaveOpen(handle, r.a.c_str(), idA);
    writer.SegmentOpened(kCamera, r.a, NowUs());
    SleepMs(3000);
    r.b = SegmentPath(r.root);
    if (rc == 0) rc = QNVNet_LiveSaveRollover(handle, idA, r.b.c_str(), &idB);
    SleepMs(2000);  // the hand-over happens at the next key frame
    writer.SegmentRolled(kCamera, r.a, r.b, NowUs());
    r.eventUs = NowUs();
    SEventRow e;
    e.camera = kCamera;
    e.timeUs = r.eventUs;
    e.rule = 4;
    e.channel = 1;
    e.box = SBox{100, 50, 64, 128};
    e.sequence = 1;
    e.segment = r.b;
    writer.Event(e);
    SleepMs(1500);
    if (rc == 0) rc = QNVNet_LiveSaveClose(handle, idB);
    writer.SegmentClosed(kCamera, r.b);
    writer.StateChange(SStateRow{"", kCamera, NowUs(), ECameraState::kDown, "paused by the test"});
    // Nothing recorded for a while; the next segment holds at most one group of pictures before it.
    if (rc == 0) rc = QNVNet_LiveSetPreRecord(handle, 1, 0);
    SleepMs(3500);
    writer.StateChange(SStateRow{"", kCamera, NowUs(), ECameraState::kUp, ""});
    r.c = SegmentPath(r.root);
    if (rc == 0) rc = QNVNet_LiveSaveOpen(handle, r.c.c_str(), idC);
    writer.SegmentOpened(kCamera, r.c, NowUs());
    SleepMs(3000);
    if (rc == 0) rc = QNVNet_LiveSaveClose(handle, idC);
    writer.SegmentClosed(kCamera, r.c);
    if (rc != 0) fail("recording", rc);
    QNVNet_LiveClose(handle);
    QNVNet_DevLogout(client);
  }
  QNVNet_UnInitLib();
  if (!writer.Flush(30000))
    r.error = "catalogue writes did not arrive: " + writer.Stats().lastError;
  writer.Stop();
  if (r.error.empty()) {
    r.pa = Pictures(r.a);
    r.pb = Pictures(r.b);
    r.pc = Pictures(r.c);
  }
  return r;
}

class CatalogueExport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { m_recording = new SRecording(Record()); }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(m_recording->root, ec);
    delete m_recording;
  }
  void SetUp() override {
    ASSERT_TRUE(m_recording->error.empty()) << m_recording->error;
    ASSERT_GT(m_recording->pa.size(), 50u);
    ASSERT_GT(m_recording->pb.size(), 50u);
    ASSERT_GT(m_recording->pc.size(), 25u);
    m_out = m_recording->root + "/out-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".mp4";
  }
  const SRecording& R() const { return *m_recording; }

  ChildResult Export(std::vector<std::string> args) {
    std::vector<std::string> argv = {QNV_EXPORT_BIN, "--catalogue", R().root};
    argv.insert(argv.end(), args.begin(), args.end());
    return ChildProcess::Run(argv, 60000);
  }
  ChildResult Query(std::vector<std::string> args) {
    std::vector<std::string> argv = {QNV_CATALOGUE_BIN, R().root};
    argv.insert(argv.end(), args.begin(), args.end());
    return ChildProcess::Run(argv, 30000);
  }
  // What ffprobe says of the output's packets: times and sizes; the stream's duration.
  struct SProbe {
    std::vector<double> pts;
    std::vector<size_t> sizes;
    size_t discarded = 0;  // packets an edit list keeps from being shown
    double duration = -1;
    int decoded = -1;
    std::string creation;  // the file's creation time (whole seconds)
  };
  SProbe Probe(const std::string& path) {
    SProbe p;
    ChildResult r =
        ChildProcess::Run({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0",
                           "-show_entries", "packet=pts_time,size,flags", "-of", "csv=p=0", path});
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string pts, size, flags;
      if (!std::getline(fields, pts, ',') || !std::getline(fields, size, ',') ||
          !std::getline(fields, flags)) {
        continue;
      }
      p.pts.push_back(std::atof(pts.c_str()));
      p.sizes.push_back(size_t(std::atoll(size.c_str())));
      if (flags.find('D') != std::string::npos) ++p.discarded;
    }
    r = ChildProcess::Run({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-show_entries",
                           "format=duration:stream=nb_read_frames:format_tags=creation_time", "-of",
                           "default=nw=1", path});
    std::istringstream fields(r.out);
    for (std::string line; std::getline(fields, line);) {
      if (line.rfind("duration=", 0) == 0) p.duration = std::atof(line.c_str() + 9);
      if (line.rfind("nb_read_frames=", 0) == 0) p.decoded = std::atoi(line.c_str() + 15);
      if (line.rfind("TAG:creation_time=", 0) == 0) p.creation = line.substr(18);
    }
    return p;
  }
  static std::string T(int64_t us) { return qnvrec::UtcText(us); }

  static SRecording* m_recording;
  std::string m_out;
};
SRecording* CatalogueExport::m_recording = nullptr;

bool HaveFfprobe() { return ::access("/usr/bin/ffprobe", X_OK) == 0; }

// The pictures an export of [from, to) must hold: from the last key picture
// at or before `from` (or the first key picture after it), every picture
// once, up to the last before `to`.
std::vector<SPicture> Expected(const std::vector<std::vector<SPicture>>& segments, int64_t from,
                               int64_t to) {
  std::vector<SPicture> all;
  for (const auto& s : segments) {
    for (const SPicture& p : s) {
      if (all.empty() || p.stampUs > all.back().stampUs) all.push_back(p);
    }
  }
  size_t begin = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].key && all[i].stampUs <= from) begin = i;
  }
  std::vector<SPicture> out;
  for (size_t i = begin; i < all.size() && all[i].stampUs < to; ++i) out.push_back(all[i]);
  return out;
}

TEST_F(CatalogueExport, AcrossAHandOverEveryPictureOnceTrimmedToFrom) {
  const int64_t from = R().pa[R().pa.size() / 2].stampUs + 13000;
  const int64_t to = R().pb.front().stampUs + 1300000;
  const std::vector<SPicture> expected = Expected({R().pa, R().pb}, from, to);
  ASSERT_FALSE(expected.front().stampUs > from);
  ChildResult r = Export({"--camera", kCamera, "--from", T(from), "--to", T(to), m_out, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["pictures"], expected.size());
  EXPECT_EQ(j["firstCaptureUtc"], T(expected.front().stampUs));
  EXPECT_EQ(j["lastCaptureUtc"], T(expected.back().stampUs));
  EXPECT_EQ(j["start"], T(from));
  EXPECT_EQ(j["trimmed"], true);
  EXPECT_EQ(j["holeCount"], 0);
  EXPECT_EQ(j["repeatedPictures"], 0);
  EXPECT_EQ(j["segments"].size(), 2u);
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  const SProbe p = Probe(m_out);
  // Sample for sample the files' pictures: none missing, none twice.
  ASSERT_EQ(p.sizes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    // The muxer keeps the first picture's parameter sets in the file's header only.
    if (i == 0) {
      ASSERT_LE(p.sizes[i], expected[i].bytes);
    } else {
      ASSERT_EQ(p.sizes[i], expected[i].bytes) << "picture " << i;
    }
    ASSERT_NEAR(p.pts[i] - p.pts[0], double(expected[i].stampUs - expected[0].stampUs) / 1e6,
                2.0 / 90000)
        << "picture " << i;
  }
  // Playback starts at FROM (the edit list leaves out the pictures before it)
  // and lasts TO - FROM, within one picture interval.
  const double interval = 0.04;
  size_t before = 0;
  while (expected[before].stampUs < from) ++before;
  EXPECT_GT(before, 0u);
  EXPECT_EQ(p.discarded, before);
  EXPECT_EQ(p.creation, T(from - from % 1000000));
  EXPECT_NEAR(p.duration, double(to - from) / 1e6, interval + 0.001);
  EXPECT_GE(p.duration, double(to - from) / 1e6 - 0.001);
}

TEST_F(CatalogueExport, UntrimmedItStartsAtTheKeyPictureWithinOneGroupOfFrom) {
  const int64_t from = R().pb[R().pb.size() / 3].stampUs + 5000;
  const int64_t to = R().pb.back().stampUs - 200000;
  const std::vector<SPicture> expected = Expected({R().pb}, from, to);
  ChildResult r =
      Export({"--camera", kCamera, "--from", T(from), "--to", T(to), m_out, "--no-trim"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("first:      " + T(expected.front().stampUs) + " (key picture)"),
            std::string::npos)
      << r.out;
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  const SProbe p = Probe(m_out);
  ASSERT_EQ(p.sizes.size(), expected.size());
  EXPECT_NEAR(p.pts[0], 0, 1e-6);
  EXPECT_EQ(p.decoded, int(expected.size()));
  const double wanted = double(to - from) / 1e6;
  EXPECT_GE(p.duration, wanted - 0.001);
  EXPECT_LE(p.duration, wanted + 1.2);  // at most one group of pictures (27 at 25/s) more
}

TEST_F(CatalogueExport, AHoleStaysAHole) {
  const int64_t from = R().pb[R().pb.size() / 2].stampUs;
  const int64_t to = R().pc[R().pc.size() - 5].stampUs;
  const std::vector<SPicture> expected = Expected({R().pb, R().pc}, from, to);
  ChildResult r = Export({"--camera", kCamera, "--from", T(from), "--to", T(to), m_out, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json j = json::parse(r.out);
  ASSERT_EQ(j["holeCount"], 1);
  EXPECT_EQ(j["holes"][0]["from"], T(R().pb.back().stampUs));
  EXPECT_EQ(j["holes"][0]["to"], T(R().pc.front().stampUs));
  EXPECT_EQ(j["pictures"], expected.size());
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  const SProbe p = Probe(m_out);
  ASSERT_EQ(p.sizes.size(), expected.size());
  size_t jump = 0;
  for (size_t i = 1; i < p.pts.size(); ++i) {
    if (p.pts[i] - p.pts[i - 1] > 0.5) {
      ++jump;
      EXPECT_NEAR(p.pts[i] - p.pts[i - 1],
                  double(R().pc.front().stampUs - R().pb.back().stampUs) / 1e6, 2.0 / 90000);
    }
  }
  EXPECT_EQ(jump, 1u);
  EXPECT_NEAR(p.duration, double(to - from) / 1e6, 0.041);
}

TEST_F(CatalogueExport, AnEventWithItsSecondsBeforeAndAfter) {
  auto catalogue = [&] {
    STarget t;
    t.rootOrUrl = R().root;
    std::string error;
    return OpenCatalogue(t, EOpenMode::kRead, error);
  }();
  ASSERT_NE(catalogue, nullptr);
  SEventQuery q;
  q.fromUs = R().eventUs - 1;
  q.toUs = R().eventUs + 1;
  std::vector<SEventRow> events;
  std::string error;
  ASSERT_TRUE(catalogue->Events(q, events, error)) << error;
  ASSERT_EQ(events.size(), 1u);
  ChildResult r = Export({"--event", std::to_string(events[0].id), "--pre-seconds", "1",
                          "--post-seconds", "0.5", m_out, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["camera"], kCamera);
  EXPECT_EQ(j["from"], T(R().eventUs - 1000000));
  EXPECT_EQ(j["to"], T(R().eventUs + 500000));
  EXPECT_EQ(j["event"], events[0].id);
  EXPECT_NEAR(j["durationSeconds"].get<double>(), 1.5, 0.041);
  r = Export({"--event", "999999", m_out});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no event 999999"), std::string::npos) << r.err;
}

TEST_F(CatalogueExport, RefusalsSayWhy) {
  const int64_t t = R().pa.front().stampUs;
  // Nothing recorded then.
  ChildResult r = Export(
      {"--camera", kCamera, "--from", T(t - 3600000000LL), "--to", T(t - 1800000000LL), m_out});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("nothing of camera cam1 is recorded"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(m_out));
  // The output may not be a segment.
  r = Export({"--camera", kCamera, "--from", T(t), "--to", T(t + 1000000), R().a});
  EXPECT_EQ(r.exitCode, 2);
  r = Export({"--camera", kCamera, "--from", "14:02", "--to", T(t), m_out});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("ISO 8601"), std::string::npos) << r.err;
  r = Export({"--camera", kCamera, "--from", T(t), "--to", T(t + 1000000), "clip.avi"});
  EXPECT_EQ(r.exitCode, 2);
  // A fleet's segment on another recorder's disk is named with its recorder.
  {
    STarget target;
    target.rootOrUrl = R().root;
    std::string error;
    auto c = OpenCatalogue(target, EOpenMode::kWrite, error);
    ASSERT_NE(c, nullptr) << error;
    SSegmentRow far{"host-b/main",
                    kCamera,
                    "/srv/host-b/cam1/2000-01-01/000000.qnv",
                    946684800000000LL,
                    946684810000000LL,
                    EClock::kCapture,
                    250,
                    1000,
                    ESegmentState::kClosed};
    ASSERT_TRUE(c->Apply(std::vector<SOp>{SOp::Segment(far)}, error)) << error;
  }
  r = Export({"--camera", kCamera, "--from", "2000-01-01T00:00:01Z", "--to", "2000-01-01T00:00:05Z",
              m_out});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("/srv/host-b/cam1/2000-01-01/000000.qnv (recorder host-b/main)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("mount its storage"), std::string::npos) << r.err;
}

TEST_F(CatalogueExport, OneRecordingsSummaryGivesItsCaptureTimesInUtc) {
  ChildResult r = ChildProcess::Run({QNV_EXPORT_BIN, R().a, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["firstCaptureUtc"], T(R().pa.front().stampUs));
  EXPECT_EQ(j["lastCaptureUtc"], T(R().pa.back().stampUs));
  r = ChildProcess::Run({QNV_EXPORT_BIN, R().a});
  EXPECT_NE(r.out.find("captured:   " + T(R().pa.front().stampUs)), std::string::npos) << r.out;
}

TEST_F(CatalogueExport, QueriesOfTheToolMatchTheRecording) {
  const int64_t from = R().pa.front().stampUs - 10000000, to = R().pc.back().stampUs + 10000000;
  ChildResult r =
      Query({"coverage", "--camera", kCamera, "--from", T(from), "--to", T(to), "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json j = json::parse(r.out);
  ASSERT_EQ(j["spans"].size(), 2u);  // a and b joined at the hand-over; c after the hole
  EXPECT_EQ(j["spans"][0]["fromUs"], R().pa.front().stampUs);
  EXPECT_EQ(j["spans"][0]["toUs"], R().pb.back().stampUs);
  EXPECT_EQ(j["spans"][0]["segments"], 2);
  EXPECT_EQ(j["spans"][1]["fromUs"], R().pc.front().stampUs);

  r = Query({"gaps", "--camera", kCamera, "--from", T(R().pa.front().stampUs), "--to",
             T(R().pc.back().stampUs), "--json", "--utc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  j = json::parse(r.out);
  ASSERT_EQ(j["gaps"].size(), 1u);
  EXPECT_EQ(j["gaps"][0]["from"], T(R().pb.back().stampUs));
  EXPECT_EQ(j["gaps"][0]["to"], T(R().pc.front().stampUs));

  r = Query({"segments", "--camera", kCamera, "--from", T(from), "--to", T(to), "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  j = json::parse(r.out);
  ASSERT_EQ(j["segments"].size(), 3u);
  EXPECT_EQ(j["segments"][0]["path"], R().a);
  EXPECT_EQ(j["segments"][0]["clock"], "capture");
  EXPECT_EQ(j["segments"][0]["state"], "closed");
  EXPECT_EQ(j["segments"][2]["path"], R().c);
  EXPECT_EQ(j["segments"][2]["recorder"], kRecorder);

  r = Query(
      {"events", "--from", T(from), "--to", T(to), "--camera", kCamera, "--rule", "4", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  j = json::parse(r.out);
  ASSERT_EQ(j["events"].size(), 1u);
  EXPECT_EQ(j["events"][0]["segment"], R().b);
  EXPECT_EQ(j["events"][0]["box"], json::array({100, 50, 64, 128}));
  r = Query({"events", "--from", T(from), "--to", T(to), "--rule", "5", "--json"});
  EXPECT_EQ(json::parse(r.out)["events"].size(), 0u);

  r = Query({"cameras"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("cam1  (recorder test-host/main)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("state     up since"), std::string::npos) << r.out;

  // Text output is for people; arguments and missing catalogues are refused.
  r = Query(
      {"coverage", "--camera", kCamera, "--day", T(R().pa.front().stampUs).substr(0, 10), "--utc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("2 spans"), std::string::npos) << r.out;
  EXPECT_EQ(Query({"coverage"}).exitCode, 2);
  EXPECT_EQ(Query({"events", "--from", "noon", "--to", "later"}).exitCode, 2);
  EXPECT_EQ(Query({"explode"}).exitCode, 2);
  r = ChildProcess::Run({QNV_CATALOGUE_BIN, R().root + "/nowhere", "cameras"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("no catalogue at"), std::string::npos) << r.err;
  r = ChildProcess::Run({QNV_CATALOGUE_BIN, "--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("qnv-catalogue ", 0), 0u);
}

// People read times in whole seconds (local, or UTC named as such) and
// lengths in h/min/s; --json keeps its form. A misspelt camera is named as
// unknown, with the known ones, by both tools.
TEST_F(CatalogueExport, PeopleReadTimesAndLengthsAndUnknownCamerasAreNamed) {
  const int64_t from = R().pa.front().stampUs - 10000000, to = R().pc.back().stampUs + 10000000;
  ChildResult r =
      Query({"coverage", "--camera", kCamera, "--from", T(from), "--to", T(to), "--utc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
  const std::string length = R"((\d+ h )?(\d+ min )?\d+ s)";
  EXPECT_TRUE(std::regex_search(r.out, std::regex("cam1 from " + time + " UTC to " + time +
                                                  " UTC: " + length + " recorded in 2 spans\n")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\n  " + time + " UTC \\.\\. " + time + " UTC +" +
                                                  length + "  2 segments")))
      << r.out;
  r = Query({"gaps", "--camera", kCamera, "--from", T(from), "--to", T(to), "--utc", "--precise"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(time + R"(\.\d{6} UTC \.\. )" + time +
                                                  R"(\.\d{6} UTC +(\d+ min )?\d+\.\d{3} s\n)")))
      << r.out;
  r = Query({"events", "--from", T(from), "--to", T(to)});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(time + "  cam1 +rule 4 "))) << r.out;
  EXPECT_EQ(r.out.find("+00:00"), std::string::npos) << r.out;

  r = Query({"coverage", "--camera", "drivewy", "--from", T(from), "--to", T(to)});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("unknown camera drivewy (known: cam1)"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  r = Query({"events", "--camera", "drivewy", "--from", T(from), "--to", T(to), "--json"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("unknown camera drivewy (known: cam1)"), std::string::npos) << r.err;
  r = Export({"--camera", "drivewy", "--from", T(from), "--to", T(to), m_out});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("unknown camera drivewy (known: cam1)"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(m_out));
}

// A lost catalogue comes back from the files and the journal: the same rows.
// Rows a crash left open are brought in line with their files.
TEST_F(CatalogueExport, RebuildGivesBackTheRowsAndHealingClosesWhatACrashLeftOpen) {
  STarget target;
  target.rootOrUrl = R().root;
  std::string error;
  std::vector<SSegmentRow> segments;
  std::vector<SEventRow> events;
  std::vector<SStateRow> states;
  SEventQuery all;
  all.fromUs = 0;
  all.toUs = INT64_MAX;
  {
    auto c = OpenCatalogue(target, EOpenMode::kRead, error);
    ASSERT_NE(c, nullptr) << error;
    ASSERT_TRUE(c->RecorderSegments(kRecorder, segments, error)) << error;
    ASSERT_TRUE(c->Events(all, events, error)) << error;
    ASSERT_TRUE(c->StateChanges(kCamera, 0, INT64_MAX, states, error)) << error;
  }
  ASSERT_EQ(segments.size(), 3u);
  ASSERT_EQ(states.size(), 2u);
  for (const SSegmentRow& s : segments) {
    EXPECT_EQ(s.state, ESegmentState::kClosed);
    EXPECT_EQ(s.clock, EClock::kCapture);
  }
  // The catalogue is lost.
  const std::string file = SqlitePathFor(R().root);
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file + suffix);
  {
    auto c = OpenCatalogue(target, EOpenMode::kWrite, error);
    ASSERT_NE(c, nullptr) << error;
    SRebuildOptions options;
    options.recorder = kRecorder;
    options.root = R().root;
    options.cameras = {kCamera};
    options.journalDir = Options(R().root).journalDir;
    SRebuildResult result;
    ASSERT_TRUE(RebuildCatalogue(*c, options, result, error)) << error;
    EXPECT_EQ(result.segments, 3u);
    EXPECT_EQ(result.events, 1u);
    EXPECT_EQ(result.states, 2u);
    std::vector<SSegmentRow> rebuilt;
    std::vector<SEventRow> rebuiltEvents;
    std::vector<SStateRow> rebuiltStates;
    ASSERT_TRUE(c->RecorderSegments(kRecorder, rebuilt, error)) << error;
    ASSERT_TRUE(c->Events(all, rebuiltEvents, error)) << error;
    ASSERT_TRUE(c->StateChanges(kCamera, 0, INT64_MAX, rebuiltStates, error)) << error;
    EXPECT_EQ(rebuilt, segments);
    ASSERT_EQ(rebuiltEvents.size(), events.size());
    EXPECT_TRUE(rebuiltEvents[0].SameEvent(events[0]));
    EXPECT_EQ(rebuiltStates, states);

    // A crash: rows left open, among them one for a segment that never got
    // its first key frame (empty files) and one whose files are gone.
    const std::string empty = R().root + "/cam1/2000-01-01/000000.qnv";
    fs::create_directories(fs::path(empty).parent_path());
    std::ofstream(empty).flush();
    std::ofstream(qnvrec::IndexPathFor(empty)).flush();
    std::vector<SOp> crash;
    for (SSegmentRow s : segments) {
      s.state = ESegmentState::kOpen;
      s.lastUs = s.firstUs;
      s.frames = s.bytes = 0;
      crash.push_back(SOp::Segment(s));
    }
    for (const std::string& p : {empty, R().root + "/cam1/2000-01-01/000010.qnv"}) {
      crash.push_back(SOp::Segment(
          SSegmentRow{kRecorder, kCamera, p, 1, 1, EClock::kArrival, 0, 0, ESegmentState::kOpen}));
    }
    ASSERT_TRUE(c->Apply(crash, error)) << error;
  }
  // The next run's writer heals once the database answers.
  CCatalogueWriter writer(target, Options(R().root));
  ASSERT_TRUE(writer.Start(error)) << error;
  for (int i = 0; i < 500 && !writer.Stats().healed; ++i) SleepMs(10);
  ASSERT_TRUE(writer.Stats().healed);
  writer.Stop();
  auto c = OpenCatalogue(target, EOpenMode::kRead, error);
  ASSERT_NE(c, nullptr) << error;
  std::vector<SSegmentRow> healed;
  ASSERT_TRUE(c->RecorderSegments(kRecorder, healed, error)) << error;
  EXPECT_EQ(healed, segments);
}

}  // namespace
}  // namespace qnvcat

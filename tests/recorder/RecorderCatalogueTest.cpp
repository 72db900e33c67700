// qnv-recorder keeping its catalogue, as a child process against simulated
// devices: rows that agree with the files (segments, events with their ids
// and clips, camera states with reasons), a rebuild that gives the same rows,
// kill -9 at random points, two recorders writing into one throw-away
// PostgreSQL cluster that comes up only after they started; and retention
// through the catalogue on 10,000 segments, in this process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "RecorderFixture.h"
#include "integrations/catalogue/CRecorderCatalogue.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvcatalogue/Journal.h"
#include "qnvcatalogue/Ops.h"
#include "qnvcatalogue/SegmentFiles.h"
#include "qnvrecording/RecordingState.h"
#include "storage/SegmentNames.h"
#include "support/PgEnvironment.h"
#include "support/TcpRelay.h"
#include "web/CRecordings.h"

namespace fs = std::filesystem;
using namespace qnvrectest;
using qnvtest::ChildProcess;
using qnvtest::ChildResult;

namespace {

const qnvtest::PgEnvironment* const kPgEnvironment = qnvtest::PgEnvironment::Get();

struct SRows {
  std::vector<qnvcat::SSegmentRow> segments;  // by path
  std::vector<qnvcat::SEventRow> events;      // by time
  std::vector<qnvcat::SStateRow> states;      // by camera, then time
};

SRows ReadRows(const qnvcat::STarget& target, const std::string& recorder,
               const std::vector<std::string>& cameras) {
  SRows rows;
  std::string error;
  auto db = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kRead, error);
  EXPECT_NE(db, nullptr) << error;
  if (!db) return rows;
  EXPECT_TRUE(db->RecorderSegments(recorder, rows.segments, error)) << error;
  qnvcat::SEventQuery q;
  q.toUs = INT64_MAX;
  std::vector<qnvcat::SEventRow> events;
  EXPECT_TRUE(db->Events(q, events, error)) << error;
  for (auto& e : events) {
    if (e.recorder == recorder) rows.events.push_back(std::move(e));
  }
  for (const std::string& camera : cameras) {
    std::vector<qnvcat::SStateRow> states;
    EXPECT_TRUE(db->StateChanges(camera, 0, INT64_MAX, states, error)) << error;
    for (auto& s : states) {
      if (s.recorder == recorder) rows.states.push_back(std::move(s));
    }
  }
  return rows;
}

// The same rows, but for the rows of removed segments, whose files are gone.
void ExpectSameRows(const SRows& rebuilt, const SRows& original) {
  std::vector<qnvcat::SSegmentRow> kept;
  for (const auto& r : original.segments) {
    if (r.state != qnvcat::ESegmentState::kDeleted) kept.push_back(r);
  }
  const SRows& a = rebuilt;
  const SRows& b = original;
  EXPECT_EQ(a.segments, kept);
  ASSERT_EQ(a.events.size(), b.events.size());
  for (size_t i = 0; i < a.events.size(); ++i) {
    EXPECT_TRUE(a.events[i].SameEvent(b.events[i])) << i;
    EXPECT_EQ(a.events[i].id, b.events[i].id) << i;
  }
  EXPECT_EQ(a.states, b.states);
}

// Every segment file with a picture has a row that says what the file says
// (closed, or repaired when a note lies beside it) and is whole; every row
// not deleted has its file; no row is left open. Returns the files seen.
size_t ExpectRowsAgreeWithFiles(const fs::path& root, const std::vector<std::string>& cameras,
                                const SRows& rows) {
  std::map<std::string, qnvcat::SSegmentRow> byPath;
  for (const auto& r : rows.segments) {
    byPath[r.path] = r;
    EXPECT_NE(r.state, qnvcat::ESegmentState::kOpen) << r.path;
    if (r.state != qnvcat::ESegmentState::kDeleted) {
      EXPECT_TRUE(fs::exists(r.path)) << r.path;
    }
  }
  size_t files = 0;
  for (const std::string& path :
       qnvcat::FindSegmentFiles(root.string(), {cameras.begin(), cameras.end()})) {
    qnvcat::SSegmentRow expected;
    qnvcat::SScanResult scan;
    std::string error;
    EXPECT_TRUE(qnvcat::ScanSegment(path, expected, scan, error)) << error;
    if (scan.pictures == 0) continue;  // a hand-over cut off before its key frame: no row
    ++files;
    EXPECT_TRUE(scan.consistent) << path;
    auto it = byPath.find(path);
    if (it == byPath.end()) {
      ADD_FAILURE() << "no row for " << path;
      continue;
    }
    const qnvcat::SSegmentRow& row = it->second;
    const bool repaired = fs::exists(qnvrec::RepairNotePathFor(path));
    EXPECT_EQ(row.state,
              repaired ? qnvcat::ESegmentState::kRepaired : qnvcat::ESegmentState::kClosed)
        << path;
    EXPECT_EQ(row.firstUs, expected.firstUs) << path;
    EXPECT_EQ(row.lastUs, expected.lastUs) << path;
    EXPECT_EQ(row.clock, expected.clock) << path;
    EXPECT_EQ(row.frames, expected.frames) << path;
    EXPECT_EQ(row.bytes, expected.bytes) << path;
  }
  return files;
}

void RemoveCatalogue(const fs::path& root) {
  const std::string file = qnvcat::SqlitePathFor(root.string());
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file + suffix);
}

class RecorderCatalogue : public RecorderService {
 protected:
  std::string Config(const fs::path& root, const std::string& cameras,
                     const std::string& catalogue = "recorder = \"r1\"\n", int segmentSeconds = 2) {
    return "[storage]\nroot = \"" + root.string() +
           "\"\ninstance = \"i1\"\nsegment_seconds = " + std::to_string(segmentSeconds) +
           "\n[catalogue]\n" + catalogue + cameras;
  }
  qnvcat::STarget Sqlite(const fs::path& root) {
    qnvcat::STarget t;
    t.rootOrUrl = root.string();
    return t;
  }
  ChildResult Rebuild() {
    return ChildProcess::Run(
        {QNV_RECORDER_PATH, "--config", (m_dir / "recorder.toml").string(), "--rebuild-catalogue"},
        60000, {{"QNVREC_PW", "admin"}, {"QNVREC_DB_PW", m_dbPassword}});
  }
  std::string m_dbPassword;
};

// Two cameras, one continuous (segments handing over every 2 s, a reboot of
// its device) and one recording event clips: the rows say what the files
// say, events carry the id they were given, the clip that holds them and the
// segment being written, camera states their reasons; qnv-export finds an
// event by that id; and a rebuild from the files and the journal gives the
// same rows.
TEST_F(RecorderCatalogue, RowsAgreeWithTheFilesAndARebuildGivesThemAgain) {
  auto& gate = AddDevice();
  auto& yard = AddDevice();
  auto& lot = AddDevice();
  const fs::path root = m_dir / "store";
  StartRecorder(Config(root, Camera("gate", gate.Port()) +
                                 Camera("yard", yard.Port(),
                                        "mode = \"events\"\npre_seconds = 1\npost_seconds = 2") +
                                 Camera("lot", lot.Port(), "keep_gb = 0.0004")));
  ASSERT_TRUE(WaitCount("camera gate: recording", 2, 10000)) << m_recorder->Stderr();
  ASSERT_TRUE(WaitCount("camera yard: connected", 1, 10000)) << m_recorder->Stderr();
  EXPECT_EQ(gate.RaiseAlarm(5), 1u);
  EXPECT_EQ(yard.RaiseAlarm(3), 1u);
  ASSERT_TRUE(WaitCount("camera yard: recording", 1, 5000)) << m_recorder->Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(yard.RaiseAlarm(4), 1u);  // the same clip
  // The open row of the segment being written is there meanwhile, and
  // follows its latest picture.
  bool progressed = false;
  for (int i = 0; i < 150 && !progressed; ++i) {  // progress comes every 2 s
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string error;
    auto db = qnvcat::OpenCatalogue(Sqlite(root), qnvcat::EOpenMode::kRead, error);
    ASSERT_NE(db, nullptr) << error;
    std::vector<qnvcat::SSegmentRow> open;
    ASSERT_TRUE(db->OpenSegments("r1", open, error)) << error;
    for (const auto& r : open) progressed = progressed || r.lastUs > r.firstUs;
  }
  EXPECT_TRUE(progressed) << m_recorder->Stderr();
  const size_t before = Count(m_recorder->Stderr(), "camera gate: recording");
  gate.DropAllConnections();
  ASSERT_TRUE(WaitCount("camera gate: recording", before + 1, 10000)) << m_recorder->Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const ChildResult result = Terminate();
  ASSERT_EQ(result.exitCode, 0) << result.err;

  const std::vector<std::string> cameras{"gate", "yard", "lot"};
  const SRows rows = ReadRows(Sqlite(root), "r1", cameras);
  EXPECT_GE(ExpectRowsAgreeWithFiles(root, cameras, rows), 4u) << result.err;
  // lot's oldest segments went with retention; their rows stay, marked deleted.
  size_t deleted = 0;
  for (const auto& r : rows.segments) {
    if (r.state != qnvcat::ESegmentState::kDeleted) continue;
    ++deleted;
    EXPECT_EQ(r.camera, "lot");
    EXPECT_FALSE(fs::exists(r.path)) << r.path;
    EXPECT_NE(result.err.find("retention: removed " + r.path.substr(0, r.path.size() - 4)),
              std::string::npos)
        << r.path;
  }
  EXPECT_GE(deleted, 1u) << result.err;

  ASSERT_EQ(rows.events.size(), 3u) << result.err;
  std::map<uint32_t, qnvcat::SEventRow> byRule;
  for (const auto& e : rows.events) {
    EXPECT_GT(e.id, 0);
    byRule[e.rule] = e;
  }
  ASSERT_EQ(byRule.size(), 3u);
  EXPECT_EQ(byRule[5].camera, "gate");
  EXPECT_TRUE(byRule[5].clip.empty());
  EXPECT_EQ(fs::path(byRule[5].segment).parent_path().parent_path(), root / "gate");
  EXPECT_EQ(byRule[3].camera, "yard");
  EXPECT_FALSE(byRule[3].clip.empty());
  EXPECT_EQ(byRule[3].clip, byRule[4].clip);  // one clip holds both
  EXPECT_EQ(byRule[3].segment, byRule[3].clip);
  EXPECT_TRUE(fs::exists(byRule[3].clip));
  EXPECT_NE(byRule[3].id, byRule[4].id);

  // gate: up, down with the reason (its device dropped the connections), up.
  std::vector<qnvcat::SStateRow> gateStates;
  for (const auto& s : rows.states) {
    if (s.camera == "gate") gateStates.push_back(s);
  }
  ASSERT_GE(gateStates.size(), 4u) << result.err;  // ... and down ("stopped") at the end
  EXPECT_EQ(gateStates[0].state, qnvcat::ECameraState::kUp);
  EXPECT_EQ(gateStates[1].state, qnvcat::ECameraState::kDown);
  EXPECT_FALSE(gateStates[1].reason.empty());
  EXPECT_EQ(gateStates[2].state, qnvcat::ECameraState::kUp);
  EXPECT_EQ(gateStates.back().reason, "stopped");

  const std::string out = (m_dir / "event.mp4").string();
  const ChildResult exported = ChildProcess::Run(
      {QNV_EXPORT_PATH, "--catalogue", root.string(), "--event", std::to_string(byRule[5].id),
       "--pre-seconds", "1", "--post-seconds", "1", out, "--json"});
  EXPECT_EQ(exported.exitCode, 0) << exported.err;
  EXPECT_EQ(nlohmann::json::parse(exported.out)["camera"], "gate") << exported.out;

  // Lost: the rows come back the same from the files and the journal.
  RemoveCatalogue(root);
  const ChildResult rebuilt = Rebuild();
  ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.out << rebuilt.err;
  EXPECT_NE(rebuilt.out.find("3 events"), std::string::npos) << rebuilt.out;
  ExpectSameRows(ReadRows(Sqlite(root), "r1", cameras), rows);
}

// kill -9 at random points, again and again: after the next start every file
// with a picture has its row as its files say (the torn one repaired), no
// row is left open or stands for a file that is incomplete or gone, no event
// given before the kill is lost, and a rebuild gives the same rows.
TEST_F(RecorderCatalogue, KillNineAtRandomPointsLosesNothing) {
  auto& device = AddDevice();
  const fs::path root = m_dir / "store";
  const std::string config = Config(root, Camera("cam1", device.Port()), "recorder = \"r1\"\n", 1);
  std::mt19937 random(std::random_device{}());
  uint32_t alarms = 0;
  std::string rounds;
  for (int round = 0; round < 4; ++round) {
    StartRecorder(config);
    ASSERT_TRUE(WaitCount("camera cam1: recording", 1, 10000)) << m_recorder->Stderr();
    EXPECT_EQ(device.RaiseAlarm(++alarms), 1u);
    const int ms = 400 + int(random() % 2600);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    m_recorder->Signal(SIGKILL);
    const ChildResult killed = m_recorder->Finish(5000);
    ASSERT_EQ(killed.signal, SIGKILL) << "round " << round << " after " << ms << " ms";
    rounds += "--- round " + std::to_string(round) + ", killed after " + std::to_string(ms) +
              " ms\n" + killed.err;
  }
  StartRecorder(config);
  ASSERT_TRUE(WaitCount("camera cam1: recording", 1, 10000)) << m_recorder->Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const ChildResult result = Terminate();
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("repair: "), std::string::npos) << result.err;

  const SRows rows = ReadRows(Sqlite(root), "r1", {"cam1"});
  EXPECT_GE(ExpectRowsAgreeWithFiles(root, {"cam1"}, rows), 5u) << result.err;
  EXPECT_EQ(rows.events.size(), alarms) << result.err;
  if (HasFailure()) ADD_FAILURE() << rounds << "--- last\n" << result.err;
  std::set<int64_t> ids;
  for (const auto& e : rows.events) ids.insert(e.id);
  EXPECT_EQ(ids.size(), rows.events.size());  // ids stay unique across the restarts

  RemoveCatalogue(root);
  const ChildResult rebuilt = Rebuild();
  ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.out << rebuilt.err;
  ExpectSameRows(ReadRows(Sqlite(root), "r1", {"cam1"}), rows);
}

// Two recorders on two hosts' disks, two cameras each, one PostgreSQL
// database that is down when they start: they record regardless, queue their
// rows and write them once it is up; each row names its recorder, and the
// tools see all four cameras.
TEST_F(RecorderCatalogue, TwoRecordersWriteIntoOnePostgresThatComesUpLate) {
  std::string why;
  qnvtest::PgCluster* cluster = qnvtest::PgEnvironment::Get()->Cluster(why);
  if (!cluster && qnvtest::PgCluster::BinDir().empty()) GTEST_SKIP() << why;
  ASSERT_NE(cluster, nullptr) << why;
  std::string url;
  ASSERT_TRUE(cluster->NewDatabase(url, why)) << why;
  m_dbPassword = cluster->Password();
  ASSERT_TRUE(cluster->StopServer(why)) << why;

  std::vector<qnv::devsim::Simulator*> devices;
  for (int i = 0; i < 4; ++i) devices.push_back(&AddDevice());
  const std::string catalogue = "url = \"" + url + "\"\npassword_env = \"QNVREC_DB_PW\"\n";
  const fs::path root1 = m_dir / "host1", root2 = m_dir / "host2";
  StartRecorder(Config(root1, Camera("a1", devices[0]->Port()) + Camera("a2", devices[1]->Port()),
                       catalogue + "recorder = \"host1/rec\"\n"),
                {{"QNVREC_DB_PW", m_dbPassword}});
  ChildProcess second;
  const std::string config2 =
      Config(root2, Camera("b1", devices[2]->Port()) + Camera("b2", devices[3]->Port()),
             catalogue + "recorder = \"host2/rec\"\n");
  std::ofstream(m_dir / "second.toml") << config2;
  ASSERT_TRUE(second.Start(
      {QNV_RECORDER_PATH, "--config", (m_dir / "second.toml").string()},
      {{"QNVREC_PW", "admin"}, {"QNVREC_DB_PW", m_dbPassword}, {"JOURNAL_STREAM", ""}}));
  // Recording goes on with the database away.
  ASSERT_TRUE(WaitCount("camera a2: recording", 2, 15000)) << m_recorder->Stderr();
  ASSERT_TRUE(second.WaitForStderr("writes wait in", 15000)) << second.Stderr();
  EXPECT_EQ(devices[0]->RaiseAlarm(11), 1u);
  EXPECT_EQ(devices[2]->RaiseAlarm(12), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  ASSERT_TRUE(cluster->StartServer(why)) << why;
  qnvcat::STarget target;
  target.rootOrUrl = url;
  target.password = m_dbPassword;
  std::vector<qnvcat::SCameraInfo> cameras;
  for (int i = 0; i < 150 && cameras.size() < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string error;
    if (auto db = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kRead, error)) {
      db->Cameras(cameras, error);
    }
  }
  ASSERT_EQ(cameras.size(), 4u) << m_recorder->Stderr() << second.Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  second.Signal(SIGTERM);
  const ChildResult result2 = second.Finish(20000);
  const ChildResult result1 = Terminate();
  ASSERT_EQ(result1.exitCode, 0) << result1.err;
  ASSERT_EQ(result2.exitCode, 0) << result2.err;
  EXPECT_NE(result1.err.find("answers again"), std::string::npos) << result1.err;

  const SRows one = ReadRows(target, "host1/rec", {"a1", "a2", "b1", "b2"});
  const SRows two = ReadRows(target, "host2/rec", {"a1", "a2", "b1", "b2"});
  EXPECT_GE(ExpectRowsAgreeWithFiles(root1, {"a1", "a2"}, one), 4u) << result1.err;
  EXPECT_GE(ExpectRowsAgreeWithFiles(root2, {"b1", "b2"}, two), 4u) << result2.err;
  for (const auto& r : one.segments) EXPECT_EQ(r.path.rfind(root1.string() + "/", 0), 0u);
  for (const auto& r : two.segments) EXPECT_EQ(r.path.rfind(root2.string() + "/", 0), 0u);
  ASSERT_EQ(one.events.size(), 1u);
  ASSERT_EQ(two.events.size(), 1u);
  EXPECT_EQ(one.events[0].camera, "a1");
  EXPECT_EQ(two.events[0].camera, "b1");

  const ChildResult listed = ChildProcess::Run(
      {QNV_CATALOGUE_PATH, url, "cameras", "--json", "--password-env", "QNVREC_DB_PW"}, 20000,
      {{"QNVREC_DB_PW", m_dbPassword}});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const nlohmann::json list = nlohmann::json::parse(listed.out)["cameras"];
  ASSERT_EQ(list.size(), 4u) << listed.out;
  EXPECT_EQ(list[0]["camera"], "a1");
  EXPECT_EQ(list[0]["recorder"], "host1/rec");
  EXPECT_EQ(list[3]["recorder"], "host2/rec");
}

// Instance i1 at root and its catalogue of recorder r1 (SQLite under root).
qnvrecorder::SStorageConfig StorageI1(const fs::path& root) {
  qnvrecorder::SStorageConfig s;
  s.enabled = true;
  s.root = root.string();
  s.instance = "i1";
  return s;
}
qnvrecorder::SCatalogueConfig CatalogueR1() {
  qnvrecorder::SCatalogueConfig c;
  c.enabled = true;
  c.recorder = "r1";
  return c;
}

// Retention through the catalogue on 10,000 segments: it takes the oldest
// rows (no folder listing: an older file the catalogue does not know stays),
// keeps each camera's size and age and the overall size, at most a pass's
// worth at a time, and the rows of what it removed end up deleted.
TEST(RecorderCatalogueRetention, TenThousandSegments) {
  const STempDir temp("retention");
  ASSERT_FALSE(temp.path.empty());
  const fs::path root = temp.path;

  qnvrecorder::CStorageRoot storage;
  std::string error, note;
  ASSERT_TRUE(storage.Open(root.string(), "i1", error)) << error;
  ASSERT_TRUE(storage.ClaimCamera("cam1", error, note)) << error;
  ASSERT_TRUE(storage.ClaimCamera("cam2", error, note)) << error;
  constexpr int kSegments = 10000;
  constexpr uint64_t kBytes = 1000;
  constexpr time_t kBase = 1714521600;  // 2024-05-01T00:00:00Z
  auto pathOf = [&](const std::string& camera, time_t t) {
    return (root / camera / qnvrecorder::DateFolderName(t) /
            (qnvrecorder::StemName(t) + qnvrecorder::kSegmentExtension))
        .string();
  };
  auto makeFiles = [&](const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << std::string(kBytes, 'x');
    std::ofstream(qnvrec::IndexPathFor(path)) << "";
  };
  std::vector<qnvcat::SOp> ops;
  for (int i = 0; i < kSegments; ++i) {
    const std::string camera = i % 2 == 0 ? "cam1" : "cam2";
    const time_t t = kBase + time_t(i) * 10;
    const std::string path = pathOf(camera, t);
    makeFiles(path);
    ops.push_back(qnvcat::SOp::Segment(qnvcat::SSegmentRow{
        "r1", camera, path, int64_t(t) * 1000000, int64_t(t + 10) * 1000000 - 1,
        qnvcat::EClock::kCapture, 250, kBytes, qnvcat::ESegmentState::kClosed}));
  }
  const std::string planted = pathOf("cam1", kBase - 3600);  // older, and in no row
  makeFiles(planted);
  {
    qnvcat::STarget target;
    target.rootOrUrl = root.string();
    auto db = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kWrite, error);
    ASSERT_NE(db, nullptr) << error;
    ASSERT_TRUE(db->Apply(ops, error)) << error;
  }

  const qnvrecorder::SStorageConfig storageConfig = StorageI1(root);
  qnvrecorder::SCatalogueConfig catalogueConfig = CatalogueR1();
  qnvrecorder::CRecorderCatalogue catalogue(storageConfig, catalogueConfig, storage);
  ASSERT_TRUE(catalogue.Start(error)) << error;
  catalogue.RepairsDone();
  for (int i = 0; i < 100 && !catalogue.Stats().healed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(catalogue.Stats().healed);

  // cam1 keeps 2,000 segments' bytes; cam2 a quarter of a day before `now`.
  const time_t now = kBase + kSegments * 10;
  std::map<std::string, qnvrecorder::SRetentionLimits> limits{{"cam1", {0, 2000 * kBytes}},
                                                              {"cam2", {0.25, 0}}};
  int cam2Aged = 0;
  for (int i = 1; i < kSegments; i += 2) {
    if ((int64_t(now) * 1000000 - (int64_t(kBase + i * 10 + 10) * 1000000 - 1)) > 21600LL * 1000000)
      ++cam2Aged;
  }
  auto pass = [&](uint64_t overall, std::vector<std::string>& removed) {
    std::vector<std::string> paths;
    EXPECT_TRUE(catalogue.PlanRetention(limits, {}, overall, {}, now, paths));
    for (const std::string& p : paths) {
      qnvrecorder::SSegment s;
      EXPECT_TRUE(storage.FindSegment(p, s)) << p;
      storage.RemoveSegment(s);
      catalogue.SegmentDeleted(s, "retention");
      removed.push_back(p);
    }
    EXPECT_TRUE(catalogue.Flush(30000));
    return paths.size();
  };
  std::vector<std::string> removed;
  EXPECT_EQ(pass(0, removed), 4096u);  // a pass's worth
  EXPECT_EQ(pass(0, removed), size_t(3000 + cam2Aged - 4096));
  EXPECT_EQ(pass(0, removed), 0u);
  EXPECT_EQ(removed.front(), pathOf("cam1", kBase));  // the oldest first
  EXPECT_TRUE(fs::exists(planted));                   // never listed, never removed

  auto usage = [&] {
    qnvcat::STarget target;
    target.rootOrUrl = root.string();
    auto db = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kRead, error);
    std::vector<qnvcat::SUsage> u;
    EXPECT_TRUE(db && db->Usage("r1", u, error)) << error;
    std::map<std::string, uint64_t> segments;
    for (const auto& x : u) segments[x.camera] = x.segments;
    return segments;
  };
  auto left = usage();
  EXPECT_EQ(left["cam1"], 2000u);
  EXPECT_EQ(left["cam2"], uint64_t(kSegments / 2 - cam2Aged));
  for (const std::string& p : removed) EXPECT_FALSE(fs::exists(p)) << p;

  // All together 500 segments' bytes less: the oldest of both go.
  const uint64_t before = left["cam1"] + left["cam2"];
  removed.clear();
  EXPECT_EQ(pass((before - 500) * kBytes, removed), 500u);
  left = usage();
  EXPECT_EQ(left["cam1"] + left["cam2"], before - 500);
  EXPECT_LT(left["cam1"], 2000u);
  catalogue.Stop();
}

// A PostgreSQL that stops answering (behind a relay that stops forwarding)
// holds up neither housekeeping's retention plan, which waits for the
// reader thread at most kPlanWaitMs and lists the folders meanwhile, nor the
// stop.
TEST(RecorderCatalogueRetention, ADatabaseThatStopsAnsweringHoldsUpNeitherPlanNorStop) {
  std::string why;
  qnvtest::PgCluster* cluster = qnvtest::PgEnvironment::Get()->Cluster(why);
  if (!cluster && qnvtest::PgCluster::BinDir().empty()) GTEST_SKIP() << why;
  ASSERT_NE(cluster, nullptr) << why;
  std::string url;
  ASSERT_TRUE(cluster->NewDatabase(url, why)) << why;
  qnvtest::TcpRelay relay(cluster->Port());
  const std::string port = ":" + std::to_string(cluster->Port()) + "/";
  url.replace(url.find(port), port.size(), ":" + std::to_string(relay.Port()) + "/");
  const STempDir temp("frozen-db");
  ASSERT_FALSE(temp.path.empty());
  qnvrecorder::CStorageRoot storage;
  std::string error;
  ASSERT_TRUE(storage.Open(temp.path.string(), "i1", error)) << error;
  qnvrecorder::SCatalogueConfig catalogueConfig = CatalogueR1();
  catalogueConfig.url = url;
  catalogueConfig.password = cluster->Password();
  qnvrecorder::CRecorderCatalogue catalogue(StorageI1(temp.path), catalogueConfig, storage);
  ASSERT_TRUE(catalogue.Start(error)) << error;
  catalogue.RepairsDone();
  for (int i = 0; i < 200 && !catalogue.Stats().healed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(catalogue.Stats().healed);
  const std::map<std::string, qnvrecorder::SRetentionLimits> limits{{"cam1", {1, 0}}};
  std::vector<std::string> remove;
  // The reader's first answer (its connection made) may take longer than a wait.
  bool answered = false;
  for (int i = 0; i < 10 && !answered; ++i) {
    answered = catalogue.PlanRetention(limits, {}, 0, {}, ::time(nullptr), remove);
    if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(answered);

  using Clock = std::chrono::steady_clock;
  auto msSince = [](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
  };
  relay.Freeze();
  auto t = Clock::now();
  EXPECT_FALSE(catalogue.PlanRetention(limits, {}, 0, {}, ::time(nullptr), remove));
  EXPECT_LT(msSince(t), qnvrecorder::CRecorderCatalogue::kPlanWaitMs + 500);
  t = Clock::now();
  // The question before still waits: no second wait.
  EXPECT_FALSE(catalogue.PlanRetention(limits, {}, 0, {}, ::time(nullptr), remove));
  EXPECT_LT(msSince(t), 100);
  t = Clock::now();
  catalogue.Stop();
  EXPECT_LT(msSince(t), qnvcat::CCatalogueWriter::kStopGraceMs + 1000);
  relay.Thaw();
}

// The catalogue's journal, replay queue and SQLite file sit under ROOT where
// anyone with write access there may plant a link: none leads a write or a
// removal (journal pruning) outside.
TEST(RecorderCatalogueFiles, LinksPlantedAtItsFoldersAndDatabaseLeadNowhere) {
  const STempDir temp("catlinks");
  ASSERT_FALSE(temp.path.empty());
  const fs::path base = temp.path, root = base / "root", outside = base / "outside";
  fs::create_directories(root);
  fs::create_directories(outside);
  std::ofstream(outside / "2000-01-01.jsonl") << "{}\n";  // a day pruning would remove
  std::ofstream(outside / "victim.sqlite") << "not a database";
  auto untouched = [&] {
    std::map<std::string, uint64_t> sizes;
    for (const auto& f : fs::directory_iterator(outside))
      sizes[f.path().filename()] = f.file_size();
    return sizes == std::map<std::string, uint64_t>{{"2000-01-01.jsonl", 3}, {"victim.sqlite", 14}};
  };
  qnvrecorder::CStorageRoot storage;
  std::string error;
  ASSERT_TRUE(storage.Open(root.string(), "i1", error)) << error;
  const qnvrecorder::SStorageConfig storageConfig = StorageI1(root);
  qnvrecorder::SCatalogueConfig catalogueConfig = CatalogueR1();
  catalogueConfig.historyDays = 1;
  const fs::path own = root / ".qnv-recorder" / "i1";
  // Links where its folders go: refused at start, with the reason.
  for (const char* folder : {"journal", "catalogue-queue"}) {
    fs::create_directory_symlink(outside, own / folder);
    qnvrecorder::CRecorderCatalogue catalogue(storageConfig, catalogueConfig, storage);
    EXPECT_FALSE(catalogue.Start(error)) << folder;
    EXPECT_NE(error.find("link"), std::string::npos) << error;
    fs::remove(own / folder);
  }
  // A link at the database file: never opened through it.
  fs::create_symlink(outside / "victim.sqlite", root / ".qnv-recorder" / "catalogue.sqlite");
  {
    qnvrecorder::CRecorderCatalogue catalogue(storageConfig, catalogueConfig, storage);
    ASSERT_TRUE(catalogue.Start(error)) << error;
    qnvrecorder::SCameraStatus down;
    down.name = "cam";
    down.state = "stopped";
    catalogue.CameraState(down);
    catalogue.Flush(2000);
    catalogue.Stop();
  }
  EXPECT_TRUE(untouched());
  fs::remove(root / ".qnv-recorder" / "catalogue.sqlite");
  // Folders swapped for links while it runs: it keeps to the folders it made.
  {
    qnvrecorder::CRecorderCatalogue catalogue(storageConfig, catalogueConfig, storage);
    ASSERT_TRUE(catalogue.Start(error)) << error;
    for (const char* folder : {"journal", "catalogue-queue"}) {
      fs::rename(own / folder, own / (std::string(folder) + ".moved"));
      fs::create_directory_symlink(outside, own / folder);
    }
    qnvrecorder::SCameraStatus down;
    down.name = "cam";
    down.state = "stopped";
    catalogue.CameraState(down);
    EXPECT_TRUE(catalogue.Flush(10000));
    std::ofstream(own / "journal.moved" / "2000-01-01.jsonl") << "{}\n";
    catalogue.PruneHistory(time(nullptr));
    EXPECT_FALSE(fs::exists(own / "journal.moved" / "2000-01-01.jsonl"));  // its own, pruned
    catalogue.Stop();
  }
  EXPECT_TRUE(untouched());
  size_t journalDays = 0;
  for (const auto& f : fs::directory_iterator(own / "journal.moved"))
    journalDays += f.is_regular_file();
  EXPECT_GE(journalDays, 1u);
}

}  // namespace

// The page reads the catalogue the recorder writes, PostgreSQL too: its own
// recorder's rows only (a shared database holds other hosts' files), and a
// stop makes a read give up.
TEST(PageRecordings, ThePageReadsItsRecordersRowsFromPostgres) {
  std::string why;
  qnvtest::PgCluster* cluster = qnvtest::PgEnvironment::Get()->Cluster(why);
  if (!cluster && qnvtest::PgCluster::BinDir().empty()) GTEST_SKIP() << why;
  ASSERT_NE(cluster, nullptr) << why;
  qnvcat::STarget target;
  ASSERT_TRUE(cluster->NewDatabase(target.rootOrUrl, why)) << why;
  target.password = cluster->Password();
  constexpr int64_t kT0 = 1700000000000000, kS = 1000000;
  {
    auto db = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kWrite, why);
    ASSERT_TRUE(db) << why;
    std::vector<qnvcat::SOp> ops;
    for (const char* recorder : {"host1/rec", "host2/rec"}) {
      qnvcat::SSegmentRow row;
      row.recorder = recorder;
      row.camera = "gate";
      row.path = std::string("/video/") + recorder + "/gate.qnv";
      row.firstUs = kT0;
      row.lastUs = kT0 + 10 * kS;
      row.frames = 250;
      row.state = qnvcat::ESegmentState::kClosed;
      ops.push_back(qnvcat::SOp::Segment(row));
    }
    ASSERT_TRUE(db->Apply(ops, why)) << why;
  }
  const STempDir root("pg-page");
  qnvrecorder::CRecordings recordings(root.path.string(), "recorder");
  recordings.SetCatalogue(target, "host1/rec");
  std::vector<qnvcat::SSegmentRow> rows;
  std::string source, error;
  ASSERT_TRUE(recordings.Segments("gate", kT0 - 3600 * kS, kT0 + 3600 * kS, rows, source, error))
      << error;
  EXPECT_EQ(source, "catalogue");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].recorder, "host1/rec");

  qnvtools::UniqueFd stop(::eventfd(1, EFD_CLOEXEC));
  recordings.SetAbortFd(stop.Get());
  // The database is not waited for: the page falls back to the files.
  ASSERT_TRUE(recordings.Segments("gate", kT0 - 3600 * kS, kT0 + 3600 * kS, rows, source, error));
  EXPECT_EQ(source, "files");
}

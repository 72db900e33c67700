// The catalogue against real databases: its SQLite file, and a throw-away
// PostgreSQL cluster this process starts once (initdb, pg_ctl on a free port
// of 127.0.0.1, password authentication) and stops at the end. The same
// contract on both: schema and migrations, writes, queries, retention, a
// database that goes away and comes back, two recorders writing at once, and
// readers in another process while a writer holds its transaction open.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "TestRows.h"
#include "qnvcatalogue/CCatalogueWriter.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvctl/ChildProcess.h"
#include "support/PgEnvironment.h"
#include "support/TcpRelay.h"

namespace qnvcat {
namespace {

namespace fs = std::filesystem;

using test::kSecond;
using test::kT0;

using qnvtest::PgEnvironment;
// Registered before the tests run, so its TearDown stops the cluster.
const PgEnvironment* const kPgEnvironment = PgEnvironment::Get();

enum class EBackend { kSqlite, kPostgres };

class CatalogueDb : public ::testing::TestWithParam<EBackend> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qnv-catdb-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    m_root = pattern;
    if (GetParam() == EBackend::kSqlite) {
      m_target.rootOrUrl = m_root;
      return;
    }
    std::string why;
    m_cluster = PgEnvironment::Get()->Cluster(why);
    if (m_cluster == nullptr && qnvtest::PgCluster::BinDir().empty()) GTEST_SKIP() << why;
    ASSERT_NE(m_cluster, nullptr) << why;
    ASSERT_TRUE(m_cluster->NewDatabase(m_target.rootOrUrl, why)) << why;
    m_target.password = m_cluster->Password();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }
  std::unique_ptr<ICatalogue> Open(EOpenMode mode = EOpenMode::kWrite) {
    std::string error;
    auto c = OpenCatalogue(m_target, mode, error);
    EXPECT_NE(c, nullptr) << error;
    return c;
  }
  // Runs SQL outside the catalogue (what another program or an old version would do).
  void Raw(const std::string& sql) {
    if (GetParam() == EBackend::kSqlite) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(SqlitePathFor(m_root).c_str(), &db), SQLITE_OK);
      char* message = nullptr;
      EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
          << (message ? message : "");
      sqlite3_free(message);
      sqlite3_close(db);
    } else {
      PGconn* c = PQconnectdb((m_target.rootOrUrl + "?password=" + m_target.password).c_str());
      PGresult* r = PQexec(c, sql.c_str());
      EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
          << PQresultErrorMessage(r);
      PQclear(r);
      PQfinish(c);
    }
  }
  SSegmentRow Row(const std::string& camera, int64_t first, int64_t last,
                  ESegmentState state = ESegmentState::kClosed,
                  const std::string& recorder = "r1") {
    return test::MakeSegment(m_root + "/" + camera + "/" + std::to_string(first) + ".qnv", first,
                             last, state, camera, recorder);
  }
  static SEventRow Event(const std::string& camera, int64_t t, uint32_t rule) {
    return test::MakeEvent(camera, t, rule);
  }
  void Apply(ICatalogue& c, const std::vector<SOp>& ops) {
    std::string error;
    ASSERT_TRUE(c.Apply(ops, error)) << error;
  }
  std::vector<SSegmentRow> Query(ICatalogue& c, const std::string& camera, int64_t from,
                                 int64_t to) {
    SSegmentQuery q;
    q.camera = camera;
    q.fromUs = from;
    q.toUs = to;
    std::vector<SSegmentRow> rows;
    std::string error;
    EXPECT_TRUE(c.Segments(q, rows, error)) << error;
    return rows;
  }
  std::vector<std::string> Paths(const std::vector<SSegmentRow>& rows) {
    std::vector<std::string> p;
    for (const auto& r : rows) p.push_back(fs::path(r.path).filename().string());
    return p;
  }
  SWriterOptions WriterOptions(const std::string& recorder) {
    SWriterOptions o;
    o.recorder = recorder;
    o.queueDir = m_root + "/.qnv-recorder/" + recorder + "/catalogue-queue";
    o.journalDir = m_root + "/.qnv-recorder/" + recorder + "/journal";
    o.firstRetryMs = 50;
    o.maxRetryMs = 200;
    return o;
  }

  std::string m_root;
  STarget m_target;
  qnvtest::PgCluster* m_cluster = nullptr;
};

TEST_P(CatalogueDb, SchemaIsMadeOnceReadersCheckItAndNewerOnesAreRefused) {
  std::string error;
  EXPECT_EQ(OpenCatalogue(m_target, EOpenMode::kRead, error), nullptr);
  EXPECT_NE(error.find("catalogue"), std::string::npos) << error;
  auto writer = Open();
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->SchemaVersion(), kSchemaVersion);
  auto again = Open();
  ASSERT_NE(again, nullptr);
  auto reader = Open(EOpenMode::kRead);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->SchemaVersion(), kSchemaVersion);
  writer.reset();
  again.reset();
  reader.reset();
  // A catalogue a later version upgraded is neither read nor written.
  Raw("INSERT INTO qnv_schema (version) VALUES (" + std::to_string(kSchemaVersion + 1) + ")");
  for (EOpenMode mode : {EOpenMode::kRead, EOpenMode::kWrite}) {
    EXPECT_EQ(OpenCatalogue(m_target, mode, error), nullptr);
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
  }
}

// A catalogue of schema 1 (events numbered by the database) is brought to
// schema 2, where an event's id is its recorder's: old rows keep their
// numbers, two recorders may give the same id and each event stays once.
TEST_P(CatalogueDb, EventIdsAreTheRecordersAndSchemaOneIsUpgraded) {
  fs::create_directories(m_root + "/.qnv-recorder");
  const std::string autoId =
      GetParam() == EBackend::kSqlite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY";
  Raw("CREATE TABLE qnv_schema (version INTEGER NOT NULL);"
      "INSERT INTO qnv_schema (version) VALUES (1);"
      "CREATE TABLE events (id " +
      autoId +
      ", recorder TEXT NOT NULL, camera TEXT NOT "
      "NULL, time_us BIGINT NOT NULL, rule BIGINT NOT NULL, channel BIGINT NOT NULL, box_x "
      "BIGINT NOT NULL, box_y BIGINT NOT NULL, box_w BIGINT NOT NULL, box_h BIGINT NOT NULL, "
      "sequence BIGINT NOT NULL, clip TEXT NOT NULL, segment TEXT NOT NULL);"
      "CREATE UNIQUE INDEX events_key ON events (recorder, camera, time_us, rule, channel, "
      "sequence);"
      "INSERT INTO events VALUES (7, 'old', 'gate', " +
      std::to_string(kT0) + ", 1, 1, 0, 0, 0, 0, 0, '', '');");
  auto c = Open();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->SchemaVersion(), 2);
  std::string error;
  std::vector<SEventRow> found;
  ASSERT_TRUE(c->EventsById(7, "", found, error)) << error;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].recorder, "old");

  SEventRow a = Event("gate", kT0 + kSecond, 1), b = Event("yard", kT0 + 2 * kSecond, 2);
  a.id = b.id = 1733700000123456;
  b.recorder = "r2";
  SEventRow twin = a;  // the same content under another id: a second event
  twin.id = a.id + 1;
  Apply(*c, {SOp::Event(a), SOp::Event(b), SOp::Event(twin), SOp::Event(a)});
  ASSERT_TRUE(c->EventsById(a.id, "", found, error)) << error;
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].recorder, "r1");
  EXPECT_EQ(found[1].recorder, "r2");
  EXPECT_EQ(found[1].camera, "yard");
  ASSERT_TRUE(c->EventsById(a.id, "r2", found, error)) << error;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, a.id);
  ASSERT_TRUE(c->Events(test::FirstSeconds(3), found, error)) << error;
  EXPECT_EQ(found.size(), 4u);  // the old one, a (once), its twin, b
}

TEST_P(CatalogueDb, SegmentsAreUpsertedAndFoundByTheSpansTheyOverlap) {
  auto c = Open();
  ASSERT_NE(c, nullptr);
  const int64_t s = kSecond;
  SOp roll = SOp::Segment(Row("gate", kT0, kT0 + 10 * s));
  roll.segments.push_back(
      Row("gate", kT0 + 10 * s + 40000, kT0 + 10 * s + 40000, ESegmentState::kOpen));
  Apply(*c, {roll});
  // A long segment far back (found through the camera's longest span), a
  // deleted one, another camera, an hour-old open one.
  Apply(*c, {SOp::Segment(Row("gate", kT0 - 3600 * s, kT0 - 1800 * s)),
             SOp::Segment(Row("yard", kT0, kT0 + 10 * s)),
             SOp::Segment(Row("gate", kT0 + 20 * s, kT0 + 30 * s, ESegmentState::kDeleted))});
  Apply(*c, {SOp::Segment(Row("lobby", kT0 - 3600 * s, kT0 - 3600 * s, ESegmentState::kOpen))});

  EXPECT_EQ(Paths(Query(*c, "gate", kT0 + 5 * s, kT0 + 6 * s)),
            (std::vector<std::string>{std::to_string(kT0) + ".qnv"}));
  // The open segment is found past its last reported picture.
  EXPECT_EQ(Query(*c, "gate", kT0 + 15 * s, kT0 + 16 * s).size(), 1u);
  EXPECT_EQ(Query(*c, "gate", kT0 - 2000 * s, kT0 - 1900 * s).size(), 1u);
  EXPECT_EQ(Query(*c, "gate", kT0 - 1800 * s + 1, kT0).size(), 0u);
  // [from, to): a segment whose last picture is at from is in, one whose first is at to is out.
  EXPECT_EQ(Query(*c, "gate", kT0 + 10 * s, kT0 + 10 * s + 40000).size(), 1u);
  EXPECT_EQ(Query(*c, "yard", kT0 - 10 * s, kT0).size(), 0u);
  EXPECT_EQ(Query(*c, "lobby", kT0, kT0 + s).size(), 1u);

  // Closing the open one replaces its row; replaying the same batch changes nothing.
  SSegmentRow closed = roll.segments[1];
  closed.lastUs = kT0 + 19 * s;
  closed.state = ESegmentState::kClosed;
  closed.frames = 475;
  Apply(*c, {SOp::Segment(closed)});
  Apply(*c, {SOp::Segment(closed)});
  const auto rows = Query(*c, "gate", kT0, kT0 + 60 * s);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1], closed);
  std::vector<SSegmentRow> all;
  std::string error;
  ASSERT_TRUE(c->RecorderSegments("r1", all, error)) << error;
  EXPECT_EQ(all.size(), 6u);
}

TEST_P(CatalogueDb, EventsStatesAndCameras) {
  auto c = Open();
  ASSERT_NE(c, nullptr);
  std::vector<SOp> ops;
  for (int i = 0; i < 20; ++i) {
    ops.push_back(SOp::Event(Event(i % 2 ? "gate" : "yard", kT0 + i * kSecond, uint32_t(i % 3))));
  }
  ops.push_back(ops.front());  // the same event again is kept once
  const SStateRow down{"r1", "gate", kT0 + 5 * kSecond, ECameraState::kDown,
                       "no answer from 10.0.0.7"};
  const SStateRow up{"r1", "gate", kT0 + 9 * kSecond, ECameraState::kUp, ""};
  ops.push_back(SOp::State(down));
  ops.push_back(SOp::State(up));
  ops.push_back(SOp::State(down));  // replayed late: the newer state stays
  ops.push_back(SOp::Segment(Row("gate", kT0, kT0 + 10 * kSecond)));
  Apply(*c, ops);

  SEventQuery q = test::FirstSeconds(20);
  std::vector<SEventRow> events;
  std::string error;
  ASSERT_TRUE(c->Events(q, events, error)) << error;
  EXPECT_EQ(events.size(), 20u);
  q.camera = "gate";
  q.hasRule = true;
  q.rule = 1;
  ASSERT_TRUE(c->Events(q, events, error)) << error;
  ASSERT_EQ(events.size(), 4u);  // 1, 7, 13, 19
  EXPECT_EQ(events[1].timeUs, kT0 + 7 * kSecond);
  EXPECT_TRUE(events[1].SameEvent(Event("gate", kT0 + 7 * kSecond, 1)));
  std::vector<SEventRow> byId;
  ASSERT_TRUE(c->EventsById(events[1].id, "", byId, error)) << error;
  ASSERT_EQ(byId.size(), 1u);
  EXPECT_TRUE(byId[0].SameEvent(events[1]));
  EXPECT_EQ(byId[0].id, events[1].id);
  ASSERT_TRUE(c->EventsById(987654321, "", byId, error));
  EXPECT_TRUE(byId.empty());
  q = test::FirstSeconds(20);
  q.limit = 3;
  ASSERT_TRUE(c->Events(q, events, error));
  EXPECT_EQ(events.size(), 3u);

  std::vector<SStateRow> states;
  ASSERT_TRUE(c->StateChanges("gate", kT0, kT0 + 60 * kSecond, states, error)) << error;
  EXPECT_EQ(states, (std::vector<SStateRow>{down, up}));
  std::vector<SCameraInfo> cameras;
  ASSERT_TRUE(c->Cameras(cameras, error)) << error;
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0].camera, "gate");
  EXPECT_TRUE(cameras[0].hasState);
  EXPECT_EQ(cameras[0].state, ECameraState::kUp);
  EXPECT_EQ(cameras[0].firstUs, kT0);
  EXPECT_EQ(cameras[0].lastUs, kT0 + 10 * kSecond);
}

TEST_P(CatalogueDb, RetentionFindsTheOldestAndMarksThemDeleted) {
  auto c = Open();
  ASSERT_NE(c, nullptr);
  std::vector<SOp> ops;
  for (int i = 0; i < 10; ++i) {
    ops.push_back(SOp::Segment(Row(i % 2 ? "gate" : "yard", kT0 + i * 10 * kSecond,
                                   kT0 + i * 10 * kSecond + 9 * kSecond,
                                   i == 9 ? ESegmentState::kOpen : ESegmentState::kClosed)));
  }
  ops.push_back(SOp::Segment(Row("gate", kT0 - kSecond, kT0, ESegmentState::kClosed, "r2")));
  Apply(*c, ops);
  std::vector<SSegmentRow> oldest;
  std::string error;
  ASSERT_TRUE(c->OldestSegments("r1", "", 3, oldest, error)) << error;
  EXPECT_EQ(oldest.size(), 3u);
  EXPECT_EQ(oldest[0].firstUs, kT0);
  ASSERT_TRUE(c->OldestSegments("r1", "gate", 100, oldest, error)) << error;
  ASSERT_EQ(oldest.size(), 4u);  // 1, 3, 5, 7 (9 is open; r2's is not ours)
  EXPECT_EQ(oldest[0].firstUs, kT0 + 10 * kSecond);

  Apply(*c, {SOp::Deleted("r1", oldest[0].path), SOp::Forget("r1", oldest[1].path)});
  std::vector<SUsage> usage;
  ASSERT_TRUE(c->Usage("r1", usage, error)) << error;
  ASSERT_EQ(usage.size(), 2u);
  EXPECT_EQ(usage[0].camera, "gate");
  EXPECT_EQ(usage[0].segments, 3u);  // 5, 7 and the open 9
  EXPECT_EQ(usage[0].bytes, 3000u);
  EXPECT_EQ(usage[1].segments, 5u);
  ASSERT_TRUE(c->OldestSegments("r1", "gate", 1, oldest, error));
  EXPECT_EQ(oldest[0].firstUs, kT0 + 50 * kSecond);
  // History: the deleted row stays until purged.
  std::vector<SSegmentRow> all;
  ASSERT_TRUE(c->RecorderSegments("r1", all, error));
  EXPECT_EQ(all.size(), 9u);
  Apply(*c, {SOp::Purge("r1", kT0 + 60 * kSecond)});
  ASSERT_TRUE(c->RecorderSegments("r1", all, error));
  EXPECT_EQ(all.size(), 8u);
}

// A database that goes away (PostgreSQL stopped; SQLite locked by another
// program) and comes back: every write arrives, in the order given, also
// after the writer itself was restarted in between.
TEST_P(CatalogueDb, WritesQueuedWhileTheDatabaseIsAwayArriveInOrder) {
  ASSERT_NE(Open(), nullptr);
  std::string error;
  sqlite3* holder = nullptr;
  auto away = [&] {
    if (GetParam() == EBackend::kPostgres) {
      ASSERT_TRUE(m_cluster->StopServer(error)) << error;
    } else {
      ASSERT_EQ(sqlite3_open(SqlitePathFor(m_root).c_str(), &holder), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
  };
  auto back = [&] {
    if (GetParam() == EBackend::kPostgres) {
      ASSERT_TRUE(m_cluster->StartServer(error)) << error;
    } else {
      sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close(holder);
    }
  };
  m_target.busyTimeoutMs = 20;
  m_target.connectTimeoutSeconds = 2;
  const std::string path = m_root + "/gate/2024-05-01/140000.qnv";
  away();
  {
    CCatalogueWriter writer(m_target, WriterOptions("r1"));
    ASSERT_TRUE(writer.Start(error)) << error;
    writer.SegmentOpened("gate", path, kT0);
    for (int i = 1; i <= 300; ++i) {
      writer.SegmentProgress("gate", path, kT0, kT0 + i * 40000, uint64_t(i), uint64_t(i) * 1000);
      writer.Event(Event("gate", kT0 + i * 1000, uint32_t(i)));
    }
    writer.StateChange(SStateRow{"", "gate", kT0 + 1, ECameraState::kDown, "stalled"});
    writer.StateChange(SStateRow{"", "gate", kT0 + 2, ECameraState::kUp, ""});
    EXPECT_FALSE(writer.Flush(300));
    // The writer's thread may not have met the locked database yet on a
    // loaded machine: wait for its first failure, not for a fixed time.
    for (int i = 0; i < 600 && writer.Stats().lastError.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(writer.Stats().lastError.empty());
    EXPECT_GT(writer.Stats().queuedBytes + writer.Stats().pending, 0u);
  }  // stopped with everything queued on disk
  CCatalogueWriter writer(m_target, WriterOptions("r1"));
  ASSERT_TRUE(writer.Start(error)) << error;
  writer.SegmentDeleted(path);
  back();
  ASSERT_TRUE(writer.Flush(60000)) << writer.Stats().lastError;
  EXPECT_EQ(writer.Stats().dropped, 0u);
  writer.Stop();

  auto c = Open(EOpenMode::kRead);
  ASSERT_NE(c, nullptr);
  std::vector<SSegmentRow> rows;
  ASSERT_TRUE(c->RecorderSegments("r1", rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].state, ESegmentState::kDeleted);  // the last word, given last
  EXPECT_EQ(rows[0].lastUs, kT0 + 300 * 40000);
  EXPECT_EQ(rows[0].frames, 300u);
  std::vector<SEventRow> events;
  ASSERT_TRUE(c->Events(test::FirstSeconds(1), events, error)) << error;
  ASSERT_EQ(events.size(), 300u);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].rule, i + 1);
    if (i > 0) {
      EXPECT_GT(events[i].id, events[i - 1].id);  // stored in the order given
    }
  }
  std::vector<SCameraInfo> cameras;
  ASSERT_TRUE(c->Cameras(cameras, error));
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0].state, ECameraState::kUp);
}

// Two recorders (two hosts, or two instances sharing a ROOT) write at once;
// a reader in another process answers meanwhile.
TEST_P(CatalogueDb, TwoRecordersWriteAtOnceAndReadersInAnotherProcessGoOn) {
  ASSERT_NE(Open(), nullptr);
  std::string error;
  CCatalogueWriter a(m_target, WriterOptions("host-a/main"));
  CCatalogueWriter b(m_target, WriterOptions("host-b/main"));
  ASSERT_TRUE(a.Start(error)) << error;
  ASSERT_TRUE(b.Start(error)) << error;
  std::vector<std::thread> threads;
  for (CCatalogueWriter* w : {&a, &b}) {
    threads.emplace_back([w, this] {
      const std::string camera = "cam";  // one camera name on both recorders
      for (int i = 0; i < 500; ++i) {
        const std::string path =
            m_root + "/" + camera + "/2024-05-01/" + std::to_string(i) + ".qnv";
        w->SegmentProgress(camera, path, kT0 + i * kSecond, kT0 + i * kSecond + 900000, 25, 1000);
      }
    });
  }
  for (auto& t : threads) t.join();
  // Meanwhile a program holds a transaction open; the tool still answers.
  std::unique_ptr<ICatalogue> holding = Open();
  ASSERT_TRUE(holding != nullptr);
  ASSERT_TRUE(a.Flush(60000)) << a.Stats().lastError;
  ASSERT_TRUE(b.Flush(60000)) << b.Stats().lastError;
  std::map<std::string, std::string> env;
  if (GetParam() == EBackend::kPostgres) env["QNV_TEST_PG_PASSWORD"] = m_target.password;
  std::vector<std::string> argv = {QNV_CATALOGUE_BIN,
                                   m_target.rootOrUrl,
                                   "segments",
                                   "--camera",
                                   "cam",
                                   "--from",
                                   "2024-05-01T14:00:00Z",
                                   "--to",
                                   "2024-05-01T15:00:00Z",
                                   "--json"};
  if (GetParam() == EBackend::kPostgres) {
    argv.insert(argv.end(), {"--password-env", "QNV_TEST_PG_PASSWORD"});
  }
  if (GetParam() == EBackend::kSqlite) {
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(SqlitePathFor(m_root).c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(writer, "BEGIN IMMEDIATE; DELETE FROM events;", nullptr, nullptr, nullptr),
        SQLITE_OK);
    const qnvtest::ChildResult r = qnvtest::ChildProcess::Run(argv, 30000, env);
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '{'), 1 + 1000) << r.out.substr(0, 300);
  } else {
    const qnvtest::ChildResult r = qnvtest::ChildProcess::Run(argv, 30000, env);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '{'), 1 + 1000) << r.out.substr(0, 300);
  }
  std::vector<SCameraInfo> cameras;
  ASSERT_TRUE(holding->Cameras(cameras, error)) << error;
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].recorder, "host-a/main");
  EXPECT_EQ(cameras[1].recorder, "host-b/main");
  EXPECT_EQ(a.Stats().applied + b.Stats().applied, 1000u);
}

INSTANTIATE_TEST_SUITE_P(Backends, CatalogueDb,
                         ::testing::Values(EBackend::kSqlite, EBackend::kPostgres),
                         [](const ::testing::TestParamInfo<EBackend>& info) {
                           return info.param == EBackend::kSqlite ? "Sqlite" : "Postgres";
                         });

class CatalogueSqlite : public CatalogueDb {};

// An operator's account that may read the recorder's files but not write
// beside them still reads the catalogue once no writer is at work (WAL
// wants a shared-memory file beside the database).
TEST_P(CatalogueSqlite, AReaderThatMayNotWriteBesideTheFileReadsIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run the reader as nobody";
  {
    auto c = Open();
    ASSERT_NE(c, nullptr);
    Apply(*c, {SOp::Segment(Row("gate", kT0, kT0 + kSecond))});
  }
  ASSERT_FALSE(fs::exists(SqlitePathFor(m_root) + "-wal"));
  ASSERT_EQ(::chmod(m_root.c_str(), 0755), 0);
  const qnvtest::ChildResult r = qnvtest::ChildProcess::Run(
      {"/usr/sbin/runuser", "-u", "nobody", "--", QNV_CATALOGUE_BIN, m_root, "cameras", "--json"});
  if (r.err.find("Permission denied") != std::string::npos && r.exitCode == 126) {
    GTEST_SKIP() << "nobody may not run " << QNV_CATALOGUE_BIN;
  }
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"camera\":\"gate\""), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(SqlitePathFor(m_root) + "-shm"));
}

INSTANTIATE_TEST_SUITE_P(Backends, CatalogueSqlite, ::testing::Values(EBackend::kSqlite),
                         [](const ::testing::TestParamInfo<EBackend>&) { return "Sqlite"; });

class CataloguePostgres : public CatalogueDb {};

// Text the database cannot take (not UTF-8) is refused on its own: the rest
// of the batch lands and the writer goes on.
TEST_P(CataloguePostgres, DataTheDatabaseRefusesIsDroppedAloneAndCounted) {
  std::string error;
  std::vector<std::string> log;
  std::mutex logMutex;
  SWriterOptions options = WriterOptions("r1");
  options.log = [&](bool, const std::string& text) {
    std::lock_guard<std::mutex> lock(logMutex);
    log.push_back(text);
  };
  CCatalogueWriter writer(m_target, options);
  ASSERT_TRUE(writer.Start(error)) << error;
  writer.Event(Event("gate", kT0, 1));
  writer.Event(Event("ga\xff\xfete", kT0 + 1, 2));
  writer.Event(Event("gate", kT0 + 2, 3));
  ASSERT_TRUE(writer.Flush(30000));
  EXPECT_EQ(writer.Stats().applied, 2u);
  EXPECT_EQ(writer.Stats().rejected, 1u);
  {
    std::lock_guard<std::mutex> lock(logMutex);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("refused"), std::string::npos) << log[0];
  }
  // A wrong password is named as such.
  STarget wrong = m_target;
  wrong.password = "not-it";
  EXPECT_EQ(OpenCatalogue(wrong, EOpenMode::kRead, error), nullptr);
  EXPECT_NE(error.find("password"), std::string::npos) << error;
  EXPECT_EQ(error.find("not-it"), std::string::npos) << error;
}

// A server that keeps the connections open but stops answering (behind a
// relay that stops forwarding): a call gives up at its deadline and drops
// the connection, a connection is not made past its time-out, and a
// writer's stop ends after its grace with the write it held queued on disk.
TEST_P(CataloguePostgres, AServerThatStopsAnsweringHoldsNoCallAndNoStop) {
  using Clock = std::chrono::steady_clock;
  auto msSince = [](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
  };
  qnvtest::TcpRelay relay(m_cluster->Port());
  ASSERT_NE(relay.Port(), 0);
  STarget target = m_target;
  const std::string port = ":" + std::to_string(m_cluster->Port()) + "/";
  const size_t at = target.rootOrUrl.find(port);
  ASSERT_NE(at, std::string::npos) << target.rootOrUrl;
  target.rootOrUrl.replace(at, port.size(), ":" + std::to_string(relay.Port()) + "/");
  target.connectTimeoutSeconds = 1;
  target.callTimeoutMs = 500;
  std::string error;
  auto reader = OpenCatalogue(target, EOpenMode::kWrite, error);
  ASSERT_NE(reader, nullptr) << error;
  // The writer keeps the default deadline (15 s): only the stop ends its wait.
  STarget writerTarget = target;
  writerTarget.callTimeoutMs = STarget{}.callTimeoutMs;
  CCatalogueWriter writer(writerTarget, WriterOptions("r1"));
  ASSERT_TRUE(writer.Start(error)) << error;
  writer.Event(Event("gate", kT0, 1));
  ASSERT_TRUE(writer.Flush(10000));

  relay.Freeze();
  auto t = Clock::now();
  std::vector<SUsage> usage;
  EXPECT_FALSE(reader->Usage("r1", usage, error));
  EXPECT_LT(msSince(t), 1500);
  EXPECT_NE(error.find("no answer within 500 ms"), std::string::npos) << error;
  EXPECT_FALSE(reader->Usage("r1", usage, error));  // given up: no second wait
  EXPECT_LT(msSince(t), 1500);

  t = Clock::now();
  EXPECT_EQ(OpenCatalogue(target, EOpenMode::kRead, error), nullptr);
  EXPECT_LT(msSince(t), 2500);
  EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
  EXPECT_EQ(error.find(m_target.password), std::string::npos) << error;

  writer.Event(Event("gate", kT0 + 1, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its write waits
  t = Clock::now();
  writer.Stop();
  EXPECT_LT(msSince(t), CCatalogueWriter::kStopGraceMs + 1000);
  EXPECT_EQ(writer.Stats().spilled, 1u);
  relay.Thaw();
}

INSTANTIATE_TEST_SUITE_P(Backends, CataloguePostgres, ::testing::Values(EBackend::kPostgres),
                         [](const ::testing::TestParamInfo<EBackend>&) { return "Postgres"; });

}  // namespace
}  // namespace qnvcat

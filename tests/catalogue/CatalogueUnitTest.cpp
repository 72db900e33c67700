// The catalogue's pieces that need no database server: times as text, ops
// as JSON lines, the on-disk replay queue, the journal, coverage and gaps,
// segment names, and the writer's promise never to wait (SQLite held locked
// by another connection).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "TestRows.h"
#include "qnvcatalogue/CCatalogueWriter.h"
#include "qnvcatalogue/CReplayQueue.h"
#include "qnvcatalogue/Coverage.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvcatalogue/Journal.h"
#include "qnvcatalogue/SegmentFiles.h"
#include "qnvrecording/TimeText.h"
#include "qnvtools/SafeFile.h"

namespace qnvcat {
namespace {

namespace fs = std::filesystem;

using test::kSecond;
using test::kT0;
using test::ScratchDir;

SEventRow Event(int64_t timeUs, uint32_t rule) { return test::MakeEvent("gate", timeUs, rule); }

SSegmentRow Segment(const std::string& path, int64_t first, int64_t last,
                    ESegmentState state = ESegmentState::kClosed) {
  return test::MakeSegment(path, first, last, state);
}

class TzGuard {
 public:
  explicit TzGuard(const char* tz) {
    const char* old = std::getenv("TZ");
    m_had = old != nullptr;
    if (m_had) m_old = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TzGuard() {
    if (m_had) {
      ::setenv("TZ", m_old.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  bool m_had = false;
  std::string m_old;
};

TEST(CatalogueTime, Iso8601WithAndWithoutAZone) {
  // US Eastern as a POSIX rule, so no time zone database is needed.
  TzGuard tz("EST5EDT,M3.2.0,M11.1.0");
  int64_t us = 0;
  std::string error;
  ASSERT_TRUE(qnvrec::ParseTime("2024-05-01T14:00:00Z", us, error)) << error;
  EXPECT_EQ(us, kT0);
  ASSERT_TRUE(qnvrec::ParseTime("2024-05-01T16:00:00+02:00", us, error)) << error;
  EXPECT_EQ(us, kT0);
  ASSERT_TRUE(qnvrec::ParseTime("2024-05-01 13:30-0030", us, error)) << error;
  EXPECT_EQ(us, kT0);
  ASSERT_TRUE(qnvrec::ParseTime("2024-05-01T14:00:00.25Z", us, error)) << error;
  EXPECT_EQ(us, kT0 + kSecond / 4);
  // Without a zone: local time, here EDT (UTC-4) in May and EST (UTC-5) in January.
  ASSERT_TRUE(qnvrec::ParseTime("2024-05-01T10:00:00", us, error)) << error;
  EXPECT_EQ(us, kT0);
  ASSERT_TRUE(qnvrec::ParseTime("2024-01-01T00:00", us, error)) << error;
  EXPECT_EQ(us, 1704085200LL * kSecond);
  // The hour the change to winter time repeats: its first pass (EDT); a time
  // the change to summer time skips: an hour later.
  ASSERT_TRUE(qnvrec::ParseTime("2024-11-03T01:30:00", us, error)) << error;
  EXPECT_EQ(qnvrec::UtcText(us), "2024-11-03T05:30:00.000000Z");
  ASSERT_TRUE(qnvrec::ParseTime("2024-03-10T02:30:00", us, error)) << error;
  EXPECT_EQ(qnvrec::UtcText(us), "2024-03-10T07:30:00.000000Z");
  EXPECT_EQ(qnvrec::UtcText(kT0 + 1), "2024-05-01T14:00:00.000001Z");
  EXPECT_EQ(qnvrec::LocalText(kT0), "2024-05-01T10:00:00.000000-04:00");
  EXPECT_EQ(qnvrec::UtcText(-1), "1969-12-31T23:59:59.999999Z");

  for (const char* bad : {"", "2024-05-01T", "2024-13-01", "2024-02-30T00:00Z", "2024-05-01T24:00",
                          "2024-05-01T14:00:00+25:00", "yesterday", "2024-05-01T14:00:00Zjunk",
                          "2024-05-01T14:00:00."}) {
    EXPECT_FALSE(qnvrec::ParseTime(bad, us, error)) << bad;
    EXPECT_NE(error.find("ISO 8601"), std::string::npos) << error;
  }
  // A local day across the change to summer time has 23 hours.
  int64_t start = 0, end = 0;
  ASSERT_TRUE(qnvrec::ParseDay("2024-03-10", false, start, end, error)) << error;
  EXPECT_EQ(end - start, 23 * 3600 * kSecond);
  ASSERT_TRUE(qnvrec::ParseDay("2024-07-31", false, start, end, error)) << error;
  EXPECT_EQ(qnvrec::UtcText(start), "2024-07-31T04:00:00.000000Z");
  EXPECT_EQ(qnvrec::UtcText(end), "2024-08-01T04:00:00.000000Z");
  ASSERT_TRUE(qnvrec::ParseDay("2024-05-01", true, start, end, error)) << error;
  EXPECT_EQ(start, kT0 - 14 * 3600 * kSecond);
  EXPECT_EQ(end - start, 24 * 3600 * kSecond);
}

// Every form the client library reads a password in is shown without it,
// and what is no password stays as it was.
// What people read: whole seconds (cut) unless precise, the local time
// without a zone, UTC named; lengths in h/min/s.
TEST(CatalogueTime, HumanTimesAndLengths) {
  TzGuard tz("EST5EDT,M3.2.0,M11.1.0");
  const int64_t t = kT0 + 3 * kSecond + 999999;
  EXPECT_EQ(qnvrec::HumanTime(t, true, false), "2024-05-01 14:00:03 UTC");
  EXPECT_EQ(qnvrec::HumanTime(t, true, true), "2024-05-01 14:00:03.999999 UTC");
  EXPECT_EQ(qnvrec::HumanTime(t, false, false), "2024-05-01 10:00:03");
  EXPECT_EQ(qnvrec::HumanTime(t, false, true), "2024-05-01 10:00:03.999999");
  EXPECT_EQ(qnvrec::HumanDuration(78885753000, false), "21 h 54 min 45 s");
  EXPECT_EQ(qnvrec::HumanDuration(78885753000, true), "21 h 54 min 45.753 s");
  EXPECT_EQ(qnvrec::HumanDuration(3605 * kSecond, false), "1 h 5 s");
  EXPECT_EQ(qnvrec::HumanDuration(7200 * kSecond, false), "2 h");
  EXPECT_EQ(qnvrec::HumanDuration(60 * kSecond, true), "1 min 0.000 s");
  EXPECT_EQ(qnvrec::HumanDuration(999999, false), "0 s");
  EXPECT_EQ(qnvrec::HumanDuration(0, false), "0 s");
  EXPECT_EQ(qnvrec::HumanDuration(-90 * kSecond, false), "-1 min 30 s");
  EXPECT_EQ(qnvrec::HumanDuration(INT64_MIN, false), "-2562047788 h 54 s");
}

TEST(CatalogueTarget, PasswordsAreLeftOutInEveryFormTheClientReads) {
  const std::pair<std::string, std::string> forms[] = {
      {"postgresql://qnv:s3cret@db/qnv", "postgresql://qnv@db/qnv"},
      {"postgresql://qnv:s3%40cret@db:5432/qnv", "postgresql://qnv@db:5432/qnv"},
      {"postgres://:s3cret@db", "postgres://@db"},
      {"postgresql://qnv@db/qnv?password=s3cret", "postgresql://qnv@db/qnv"},
      {"postgresql://qnv@db/qnv?sslmode=require&password=s3cret&connect_timeout=3",
       "postgresql://qnv@db/qnv?sslmode=require&connect_timeout=3"},
      {"postgresql://qnv@db/qnv?pass%77ord=s3cret", "postgresql://qnv@db/qnv"},
      {"postgresql://qnv@db/qnv?%70%61%73%73%77%6f%72%64=s3%63ret", "postgresql://qnv@db/qnv"},
      {"postgresql://qnv@db/qnv?PASSWORD=s3cret", "postgresql://qnv@db/qnv"},
      {"postgresql://db/qnv?dbname=postgresql://x:s3cret@y", "postgresql://db/qnv"},
      {"host=db password=s3cret dbname=qnv", "host=db dbname=qnv"},
      {"host=db password = 's3 \\\' cret' dbname=qnv", "host=db dbname=qnv"},
      {"password=s3\\ cret host=db", " host=db"},
      {"host=db dbname='postgresql://x:s3cret@y'", "host=db dbname='postgresql://x@y'"},
      {"host=db dbname='user=x password=s3cret'", "host=db dbname='user=x'"},
  };
  for (const auto& [text, shown] : forms) {
    bool had = false;
    EXPECT_EQ(RedactConnectionString(text, &had), shown) << text;
    EXPECT_TRUE(had) << text;
    EXPECT_TRUE(CarriesPassword(text)) << text;
    if (IsDatabaseUrl(text)) {
      EXPECT_EQ(DescribeTarget(text).find("s3"), std::string::npos) << text;
    }
  }
  EXPECT_EQ(DescribeTarget("postgresql://qnv:s3cret@db/qnv?password=s3cret"),
            "postgresql://qnv@db/qnv");
  for (const char* clean : {"postgresql://qnv@db:5432/qnv?sslmode=require",
                            "postgresql://db/qnv?user=a%3Ab", "host=db user=qnv dbname='a b'"}) {
    EXPECT_EQ(RedactConnectionString(clean), clean);
    EXPECT_FALSE(CarriesPassword(clean)) << clean;
  }
  // The client's own error may quote a malformed part of the URL.
  EXPECT_EQ(ScrubPasswords("invalid percent-encoded token: \"s3%zz\"",
                           "postgresql://db/qnv?password=s3%zz"),
            "invalid percent-encoded token: \"***\"");
}

TEST(CatalogueOps, EveryOpSurvivesItsJsonLineAndForeignLinesAreRefused) {
  SOp roll = SOp::Segment(Segment("/r/gate/2024-05-01/140000.qnv", kT0, kT0 + 9 * kSecond));
  roll.segments.push_back(Segment("/r/gate/2024-05-01/140010.qnv", kT0 + 10 * kSecond,
                                  kT0 + 10 * kSecond, ESegmentState::kOpen));
  roll.segments.back().clock = EClock::kArrival;
  SStateRow down{"r1", "gate", kT0, ECameraState::kDown, "wrong password \"x\"\n"};
  const std::vector<SOp> ops = {roll,
                                SOp::Deleted("r1", "/r/gate/a.qnv"),
                                SOp::Forget("r1", "/r/gate/b.qnv"),
                                SOp::Event(Event(kT0 + 5, 7)),
                                SOp::State(down),
                                SOp::Purge("r1", kT0)};
  for (const SOp& op : ops) {
    const std::string line = OpToJson(op);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    SOp back;
    std::string error;
    ASSERT_TRUE(OpFromJson(line, back, error)) << line << ": " << error;
    EXPECT_EQ(OpToJson(back), line);
    EXPECT_EQ(back.kind, op.kind);
  }
  SOp back;
  std::string error;
  EXPECT_TRUE(OpFromJson(OpToJson(roll), back, error));
  EXPECT_EQ(back.segments, roll.segments);
  for (const char* bad :
       {"", "{", "[]", "{\"op\":\"segments\"}", "{\"op\":\"explode\"}",
        "{\"op\":\"state\",\"recorder\":\"r\",\"camera\":\"c\",\"timeUs\":1,\"state\":\"sideways\","
        "\"reason\":\"\"}",
        "{\"op\":\"event\",\"recorder\":\"r\",\"camera\":\"c\",\"timeUs\":\"soon\"}"}) {
    EXPECT_FALSE(OpFromJson(bad, back, error)) << bad;
  }
}

TEST(CatalogueReplayQueue, KeepsOrderAcrossChunksReopensAndHoldsItsBound) {
  ScratchDir dir;
  const std::string q = dir / "queue";
  std::vector<SOp> ops;
  // Enough for two chunks.
  for (int i = 0; i < 30000; ++i) ops.push_back(SOp::Event(Event(kT0 + i, uint32_t(i))));
  {
    CReplayQueue queue;
    std::string error;
    ASSERT_TRUE(queue.Open(q, 64u << 20, error)) << error;
    EXPECT_TRUE(queue.Empty());
    size_t taken = 0;
    ASSERT_TRUE(queue.Append(ops, taken, error)) << error;
    EXPECT_EQ(taken, ops.size());
    EXPECT_GT(queue.Bytes(), CReplayQueue::kChunkBytes);
    std::vector<SOp> got;
    ASSERT_TRUE(queue.Peek(1000, got, error)) << error;
    ASSERT_EQ(got.size(), 1000u);
    EXPECT_EQ(got.front().event.rule, 0u);
    ASSERT_TRUE(queue.Pop(error)) << error;
    // Peeked but not popped: replayed again after a restart.
    ASSERT_TRUE(queue.Peek(10, got, error)) << error;
    EXPECT_EQ(got.front().event.rule, 1000u);
  }
  // A crash in mid-append leaves a torn line, cut off on reopening.
  std::vector<std::string> chunks;
  for (const auto& e : fs::directory_iterator(q)) {
    if (e.path().extension() == ".jsonl") chunks.push_back(e.path().string());
  }
  std::sort(chunks.begin(), chunks.end());
  ASSERT_GE(chunks.size(), 2u);
  std::ofstream(chunks.back(), std::ios::app) << "{\"op\":\"event\",\"rec";
  CReplayQueue queue;
  std::string error;
  ASSERT_TRUE(queue.Open(q, 64u << 20, error)) << error;
  uint32_t next = 1000;
  std::vector<SOp> got;
  while (!queue.Empty()) {
    ASSERT_TRUE(queue.Peek(4096, got, error)) << error;
    for (const SOp& op : got) ASSERT_EQ(op.event.rule, next++);
    ASSERT_TRUE(queue.Pop(error)) << error;
  }
  EXPECT_EQ(next, 30000u);
  EXPECT_EQ(queue.Unreadable(), 0u);
  for (const std::string& c : chunks) EXPECT_FALSE(fs::exists(c)) << c;

  // The bound: what does not fit is refused, the first ops are kept.
  CReplayQueue small;
  ASSERT_TRUE(small.Open(dir / "small", 2000, error)) << error;
  size_t taken = 0;
  ASSERT_TRUE(small.Append(std::vector<SOp>(ops.begin(), ops.begin() + 100), taken, error));
  EXPECT_GT(taken, 0u);
  EXPECT_LT(taken, 100u);
  EXPECT_LE(small.Bytes(), 2000u);
  ASSERT_TRUE(small.Peek(1000, got, error));
  ASSERT_EQ(got.size(), taken);
  EXPECT_EQ(got.back().event.rule, uint32_t(taken - 1));
}

TEST(CatalogueJournal, AppendsReadsBackPassesOverTornLinesAndPrunesOldDays) {
  ScratchDir dir;
  const std::string j = dir / "journal";
  CJournalWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(j, error)) << error;
  const int64_t day2 = kT0 + 86400 * kSecond;
  ASSERT_TRUE(writer.Append(SOp::Event(Event(kT0, 1)), kT0, error)) << error;
  ASSERT_TRUE(writer.Append(
      SOp::State(SStateRow{"r1", "gate", kT0 + 1, ECameraState::kDown, "no answer"}), kT0, error));
  // A crash tore the last line of day 2; a new writer goes on after it.
  ASSERT_TRUE(writer.Append(SOp::Event(Event(day2, 2)), day2, error)) << error;
  std::ofstream(j + "/2024-05-02.jsonl", std::ios::app) << "{\"op\":\"event\",\"cam";
  std::ofstream(j + "/2024-05-02.jsonl.bak") << "not a day file\n";
  CJournalWriter again;
  ASSERT_TRUE(again.Open(j, error));
  ASSERT_TRUE(again.Append(SOp::Event(Event(day2 + 1, 3)), day2, error)) << error;
  std::ofstream(j + "/2024-05-01.jsonl", std::ios::app) << "garbage\n"
                                                        << std::string(2u << 20, 'x') << "\n";

  std::vector<SOp> read;
  SJournalStats stats;
  ASSERT_TRUE(ReadJournal(
      j, [&](SOp&& op) { read.push_back(std::move(op)); }, stats, error))
      << error;
  ASSERT_EQ(read.size(), 4u);
  EXPECT_EQ(read[0].event.rule, 1u);
  EXPECT_EQ(read[1].state.reason, "no answer");
  EXPECT_EQ(read[2].event.rule, 2u);
  EXPECT_EQ(read[3].event.rule, 3u);
  EXPECT_EQ(stats.files, 2u);
  EXPECT_EQ(stats.skipped, 2u);  // the garbage line and the overlong one

  EXPECT_EQ(PruneJournal(j, day2), 1u);
  EXPECT_FALSE(fs::exists(j + "/2024-05-01.jsonl"));
  EXPECT_TRUE(fs::exists(j + "/2024-05-02.jsonl"));
  EXPECT_TRUE(fs::exists(j + "/2024-05-02.jsonl.bak"));
}

TEST(CatalogueCoverage, HandOversJoinHolesSplitOpenSegmentsReachNow) {
  const int64_t s = kSecond;
  const std::vector<SSegmentRow> rows = {
      Segment("a", kT0 - 5 * s, kT0 + 10 * s),           // begins before the span
      Segment("b", kT0 + 10 * s + 40000, kT0 + 20 * s),  // hand-over: one picture later
      Segment("c", kT0 + 30 * s, kT0 + 40 * s),          // after a 10 s hole
      Segment("d", kT0 + 35 * s, kT0 + 38 * s),          // inside c (an event clip)
      Segment("x", kT0 + 41 * s, kT0 + 42 * s, ESegmentState::kDeleted),
      Segment("e", kT0 + 50 * s, kT0 + 51 * s, ESegmentState::kOpen),
  };
  const int64_t now = kT0 + 55 * s;
  const std::vector<SSpan> spans = CoverageOf(rows, kT0, kT0 + 60 * s, s, now);
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].fromUs, kT0);
  EXPECT_EQ(spans[0].toUs, kT0 + 20 * s);
  EXPECT_EQ(spans[0].segments, 2u);
  EXPECT_EQ(spans[1].fromUs, kT0 + 30 * s);
  EXPECT_EQ(spans[1].toUs, kT0 + 40 * s);
  EXPECT_EQ(spans[1].segments, 2u);
  EXPECT_TRUE(spans[2].open);
  EXPECT_EQ(spans[2].toUs, now);

  const std::vector<SSpan> gaps = GapsOf(spans, kT0, kT0 + 60 * s, s, now);
  ASSERT_EQ(gaps.size(), 2u);
  EXPECT_EQ(gaps[0].fromUs, kT0 + 20 * s);
  EXPECT_EQ(gaps[0].toUs, kT0 + 30 * s);
  EXPECT_EQ(gaps[1].fromUs, kT0 + 40 * s);
  EXPECT_EQ(gaps[1].toUs, kT0 + 50 * s);
  // The hand-over's 40 ms is within the tolerance: no gap even when short ones are asked for.
  EXPECT_EQ(GapsOf(spans, kT0, kT0 + 60 * s, 1000, now).size(), 2u);
  EXPECT_EQ(CoverageOf(rows, kT0, kT0 + 60 * s, 0, now).size(), 4u);
}

TEST(CatalogueSegmentFiles, NamesAreRecognisedAndNothingIsFollowedThroughALink) {
  std::string camera;
  int64_t start = 0;
  EXPECT_TRUE(ParseSegmentPath("/srv/rec/gate-2/2024-05-01/140000.qnv", camera, start));
  EXPECT_EQ(camera, "gate-2");
  EXPECT_EQ(start, kT0);
  EXPECT_TRUE(ParseSegmentPath("rec/gate/2024-05-01/140000-2.qnv", camera, start));
  for (const char* bad :
       {"/srv/rec/gate/2024-05-01/140000.mp4", "/srv/rec/ga te/2024-05-01/1400.qnv",
        "/srv/rec/gate/2024-5-1/140000.qnv", "/srv/rec/gate/2024-05-01/146000.qnv",
        "/srv/rec/gate/2024-05-01/140000-x.qnv", "140000.qnv"}) {
    EXPECT_FALSE(ParseSegmentPath(bad, camera, start)) << bad;
  }

  ScratchDir root;
  fs::create_directories(root / "gate/2024-05-01");
  fs::create_directories(root / "yard/2024-05-01");
  fs::create_directories(root / "photos/holiday");
  fs::create_directories(root / "outside/2024-05-01");
  for (const char* f : {"gate/2024-05-01/140000.qnv", "gate/2024-05-01/140000-1.qnv",
                        "gate/2024-05-01/notes.qnv", "yard/2024-05-01/150000.qnv",
                        "photos/holiday/140000.qnv", "outside/2024-05-01/160000.qnv"}) {
    std::ofstream(root / f) << "x";
  }
  fs::create_symlink(root / "outside", root / "linked");
  fs::create_symlink(root / "outside/2024-05-01", root / "gate/2024-05-02");
  fs::create_symlink(root / "outside/2024-05-01/160000.qnv", root / "gate/2024-05-01/150000.qnv");
  const std::vector<std::string> all = FindSegmentFiles(root.Path(), {});
  const std::vector<std::string> expected = {
      root / "gate/2024-05-01/140000-1.qnv", root / "gate/2024-05-01/140000.qnv",
      root / "outside/2024-05-01/160000.qnv", root / "yard/2024-05-01/150000.qnv"};
  EXPECT_EQ(all, expected);
  EXPECT_EQ(FindSegmentFiles(root.Path(), {"yard"}),
            std::vector<std::string>{root / "yard/2024-05-01/150000.qnv"});
}

// The writer's hooks return while the database is held by someone else,
// and everything arrives, in order, once it is free.
TEST(CatalogueWriter, HooksNeverWaitForABusyDatabase) {
  ScratchDir root;
  STarget target;
  target.rootOrUrl = root.Path();
  target.busyTimeoutMs = 20;
  std::string error;
  ASSERT_NE(OpenCatalogue(target, EOpenMode::kWrite, error), nullptr) << error;
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(SqlitePathFor(root.Path()).c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  SWriterOptions options;
  options.recorder = "r1";
  options.queueDir = root / ".qnv-recorder/r1/catalogue-queue";
  options.firstRetryMs = 20;
  options.maxRetryMs = 50;
  std::vector<std::string> log;
  std::mutex logMutex;
  options.log = [&](bool, const std::string& text) {
    std::lock_guard<std::mutex> lock(logMutex);
    log.push_back(text);
  };
  CCatalogueWriter writer(target, options);
  ASSERT_TRUE(writer.Start(error)) << error;
  for (int i = 0; i < 2000; ++i) writer.Event(Event(kT0 + i, uint32_t(i)));
  // All handed over while the lock is still held; the writer is queueing on disk.
  for (int i = 0; i < 200 && writer.Stats().queuedBytes == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(writer.Stats().queuedBytes, 0u);
  EXPECT_FALSE(writer.Flush(100));
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  ASSERT_TRUE(writer.Flush(30000));
  const SWriterStats stats = writer.Stats();
  EXPECT_EQ(stats.applied, 2000u);
  EXPECT_EQ(stats.dropped, 0u);
  EXPECT_EQ(stats.queuedBytes, 0u);
  writer.Stop();

  auto reader = OpenCatalogue(target, EOpenMode::kRead, error);
  ASSERT_NE(reader, nullptr) << error;
  std::vector<SEventRow> events;
  ASSERT_TRUE(reader->Events(test::FirstSeconds(1), events, error)) << error;
  ASSERT_EQ(events.size(), 2000u);
  for (size_t i = 1; i < events.size(); ++i) ASSERT_LT(events[i - 1].id, events[i].id);
  // The operator is told of both: writes waiting on disk, and replayed.
  std::lock_guard<std::mutex> lock(logMutex);
  ASSERT_GE(log.size(), 2u);
  EXPECT_NE(log.front().find("writes wait in"), std::string::npos) << log.front();
  EXPECT_NE(log.back().find("replayed"), std::string::npos) << log.back();
}

}  // namespace
}  // namespace qnvcat

namespace qnvcat {
namespace {

// Event ids are known at once, rise strictly, and go on past the ones an
// earlier run gave even when the clock now reads earlier (a clock stepped
// back across a restart): the journal's last id is the floor.
TEST(CatalogueWriter, EventIdsRiseAcrossRestartsWhateverTheClock) {
  ScratchDir root;
  STarget target;
  target.rootOrUrl = root.Path();
  SWriterOptions options;
  options.recorder = "r1";
  options.queueDir = root / ".qnv-recorder/r1/catalogue-queue";
  options.journalDir = root / ".qnv-recorder/r1/journal";
  std::string error;
  // An earlier run, a day ahead of this clock, gave ids up to `ahead`.
  const int64_t ahead = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count() +
                        86400 * kSecond;
  {
    CJournalWriter journal;
    ASSERT_TRUE(journal.Open(options.journalDir, error)) << error;
    SEventRow e = Event(kT0, 1);
    for (int i = 0; i < 5000; ++i) {  // more than the tail that is read
      e.id = ahead - 5000 + i + 1;
      ASSERT_TRUE(journal.Append(SOp::Event(e), ahead, error)) << error;
    }
  }
  CCatalogueWriter writer(target, options);
  ASSERT_TRUE(writer.Start(error)) << error;
  const int64_t first = writer.NextEventId();
  EXPECT_GT(first, ahead);
  const int64_t second = writer.Event(Event(kT0 + 1, 2));
  EXPECT_EQ(second, first + 1);
  ASSERT_TRUE(writer.Flush(10000));
  writer.Stop();
  auto reader = OpenCatalogue(target, EOpenMode::kRead, error);
  ASSERT_NE(reader, nullptr) << error;
  std::vector<SEventRow> events;
  ASSERT_TRUE(reader->EventsById(second, "r1", events, error)) << error;
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rule, 2u);
}

}  // namespace
}  // namespace qnvcat

namespace qnvcat {
namespace {

// Runs fn; should it still be running after limitMs (an open waiting on a
// FIFO, say), the test process ends at once, failed, rather than hang.
template <typename Fn>
void WithinOrDie(int limitMs, const char* what, Fn fn) {
  std::promise<void> done;
  std::thread watchdog([&, future = done.get_future()]() mutable {
    if (future.wait_for(std::chrono::milliseconds(limitMs)) == std::future_status::timeout) {
      std::fprintf(stderr, "FAILED: %s still waits after %d ms\n", what, limitMs);
      std::_Exit(1);
    }
  });
  fn();
  done.set_value();
  watchdog.join();
}

// A FIFO planted under a journal day's name (the newest, and today's) or a
// replay-queue chunk's fails its open at once: the writer starts, writes
// and stops without waiting, and says why a line could not be kept.
TEST(CatalogueWriter, PlantedFifosHoldUpNeitherTheStartNorTheStop) {
  ScratchDir root;
  STarget target;
  target.rootOrUrl = root.Path();
  SWriterOptions options;
  options.recorder = "r1";
  options.queueDir = root / ".qnv-recorder/r1/catalogue-queue";
  options.journalDir = root / ".qnv-recorder/r1/journal";
  std::vector<std::string> log;
  std::mutex logMutex;
  options.log = [&](bool, const std::string& text) {
    std::lock_guard<std::mutex> lock(logMutex);
    log.push_back(text);
  };
  fs::create_directories(options.journalDir);
  fs::create_directories(options.queueDir);
  const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const std::string today = options.journalDir + "/" + qnvrec::DayText(now, true) + ".jsonl";
  // An earlier day with an id that must still be found past the FIFOs.
  {
    CJournalWriter journal;
    std::string error;
    ASSERT_TRUE(journal.Open(options.journalDir, error)) << error;
    SEventRow e = Event(kT0, 1);
    e.id = now + 3600 * kSecond;
    ASSERT_TRUE(journal.Append(SOp::Event(e), kT0, error)) << error;
  }
  ASSERT_EQ(::mkfifo((options.journalDir + "/2099-12-31.jsonl").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(today.c_str(), 0600), 0);
  WithinOrDie(5000, "the writer with FIFOs in its journal", [&] {
    CCatalogueWriter writer(target, options);
    std::string error;
    ASSERT_TRUE(writer.Start(error)) << error;
    EXPECT_GT(writer.NextEventId(), now + 3600 * kSecond);
    for (uint32_t rule = 2; rule < 5; ++rule) writer.Event(Event(kT0, rule));
    EXPECT_TRUE(writer.Flush(3000));
    writer.Stop();
  });
  {
    std::lock_guard<std::mutex> lock(logMutex);
    ASSERT_EQ(log.size(), 1u);  // told once, not at every line
    EXPECT_NE(log.front().find(qnvtools::kNotRegular), std::string::npos) << log.front();
  }

  const std::string q = root / "queue";
  fs::create_directories(q);
  ASSERT_EQ(::mkfifo((q + "/00000000000000000001.jsonl").c_str(), 0600), 0);
  WithinOrDie(5000, "the replay queue with a FIFO for a chunk", [&] {
    CReplayQueue queue;
    std::string error;
    ASSERT_TRUE(queue.Open(q, 1u << 20, error)) << error;
    size_t taken = 0;
    EXPECT_FALSE(queue.Append(std::vector<SOp>{SOp::Event(Event(kT0, 3))}, taken, error));
    EXPECT_NE(error.find(qnvtools::kNotRegular), std::string::npos) << error;
  });
}

// Another program holding the SQLite file's lock holds the writer's stop no
// longer than its grace, however long the busy time-out: the write under
// way gives up and goes to the replay queue.
TEST(CatalogueWriter, ALockedFileHoldsTheStopNoLongerThanItsGrace) {
  ScratchDir root;
  STarget target;
  target.rootOrUrl = root.Path();
  target.busyTimeoutMs = 20000;
  std::string error;
  ASSERT_NE(OpenCatalogue(target, EOpenMode::kWrite, error), nullptr) << error;
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(SqlitePathFor(root.Path()).c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  SWriterOptions options;
  options.recorder = "r1";
  options.queueDir = root / "queue";
  {
    CCatalogueWriter writer(target, options);
    ASSERT_TRUE(writer.Start(error)) << error;
    writer.Event(Event(kT0, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its write waits
    const auto t = std::chrono::steady_clock::now();
    writer.Stop();
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
            .count(),
        CCatalogueWriter::kStopGraceMs + 1000);
    EXPECT_EQ(writer.Stats().spilled, 1u);
  }
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
}

// A catalogue that opens but refuses every write is tried again no more
// often than one that is away, and its trouble is told once, not at every try.
TEST(CatalogueWriter, ACatalogueThatOpensButRefusesWritesBacksOff) {
  ScratchDir root;
  STarget target;
  target.rootOrUrl = root.Path();
  std::string error;
  ASSERT_NE(OpenCatalogue(target, EOpenMode::kWrite, error), nullptr) << error;
  const std::string file = SqlitePathFor(root.Path());
  // Read-only to this process: immutable for root, no write bit for others.
  struct SImmutable {
    std::string file;
    ~SImmutable() {
      if (!file.empty()) (void)!std::system(("chattr -i '" + file + "'").c_str());
    }
  } undo;
  if (::geteuid() == 0) {
    if (std::system(("chattr +i '" + file + "' 2>/dev/null").c_str()) != 0) {
      GTEST_SKIP() << "chattr +i is not supported here";
    }
    undo.file = file;
  } else {
    fs::permissions(file, fs::perms::owner_read);
  }
  SWriterOptions options;
  options.recorder = "r1";
  options.queueDir = root / "queue";
  options.firstRetryMs = 10;
  options.maxRetryMs = 5000;
  std::vector<std::string> log;
  std::mutex logMutex;
  options.log = [&](bool, const std::string& text) {
    std::lock_guard<std::mutex> lock(logMutex);
    log.push_back(text);
  };
  {
    CCatalogueWriter writer(target, options);
    ASSERT_TRUE(writer.Start(error)) << error;
    for (int i = 0; i < 50; ++i) {
      writer.Event(Event(kT0 + i, uint32_t(i)));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(writer.Stats().lastError.empty());
    writer.Stop();
  }
  std::lock_guard<std::mutex> lock(logMutex);
  // 10, 20, 40, ... ms apart: a handful of tries in the half second, one line.
  EXPECT_EQ(log.size(), 1u) << (log.empty() ? std::string() : log.back());
}

}  // namespace
}  // namespace qnvcat

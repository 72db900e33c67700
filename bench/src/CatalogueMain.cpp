// qnv-bench-catalogue: what the recordings catalogue costs and how fast it
// answers, on SQLite and on PostgreSQL (a throw-away cluster started here,
// fsync on, as users run it):
//   write  CPU per row written through the catalogue writer (the recorder's
//          path: hooks, the writer thread, the database), in this process and,
//          for PostgreSQL, in the server too
//   drain  the replay queue holding 1 hour of 64 cameras' rows (10 s
//          segments, each opened and closed: 46,080 ops) written out after
//          the database comes back
//   big    ROWS generated segment rows (default 20,000,000: a year of 10 s
//          segments for about 6 cameras), then `segments` for one camera and
//          one hour and `coverage` for one camera and one day, each timed
//          over 50 random spans (median and worst), in this process and once
//          through qnv-catalogue as a program
// Prints one "result ..." line per figure. Not part of CI: `big` needs some
// 10 GB of disk and minutes to generate.
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "qnvcatalogue/CCatalogueWriter.h"
#include "qnvcatalogue/CReplayQueue.h"
#include "qnvcatalogue/Coverage.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvctl/ChildProcess.h"
#include "qnvtools/CArgReader.h"
#include "support/PgCluster.h"

namespace {

namespace fs = std::filesystem;
using qnvcat::SOp;
using qnvcat::SSegmentRow;

constexpr int64_t kSecond = 1000000;
constexpr int64_t kStartUs = 1704067200LL * kSecond;  // 2024-01-01T00:00:00Z
constexpr int64_t kSegmentUs = 10 * kSecond;

const char kUsage[] =
    "Usage: qnv-bench-catalogue [--backend sqlite|postgresql|both] [--parts write,drain,big]\n"
    "                           [--rows N] [--write-rows N] [--dir DIR] [--catalogue-bin PATH]\n"
    "  --rows N        segment rows for `big` (default 20000000)\n"
    "  --write-rows N  rows for `write` (default 50000)\n"
    "  --dir DIR       where the SQLite catalogue goes (default: a temporary folder, removed)\n"
    "  --catalogue-bin PATH  qnv-catalogue, for one timing of the program as users run it\n";

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuNow() { return qnv::bench::CpuSeconds(qnv::bench::SelfUsage()); }

struct SBackend {
  std::string name;
  qnvcat::STarget target;
  qnvtest::PgCluster* cluster = nullptr;
  std::string root;  // the SQLite ROOT, or a folder for queues
};

SSegmentRow Row(int camera, int64_t first, qnvcat::ESegmentState state) {
  char path[128];
  std::snprintf(path, sizeof path, "/var/lib/qnv-recorder/cam%d/%lld.qnv", camera,
                static_cast<long long>(first / kSecond));
  return SSegmentRow{"bench/main",
                     "cam" + std::to_string(camera),
                     path,
                     first,
                     first + kSegmentUs - 40000,
                     qnvcat::EClock::kCapture,
                     250,
                     2500000,
                     state};
}

void Write(const SBackend& b, size_t rows) {
  std::string error;
  qnvcat::SWriterOptions options;
  options.recorder = "bench/main";
  options.queueDir = b.root + "/queue-write-" + b.name;
  options.heal = false;
  qnvcat::CCatalogueWriter writer(b.target, options);
  if (!writer.Start(error) || !writer.Flush(10000)) {
    std::fprintf(stderr, "write: %s\n", error.c_str());
    return;
  }
  const double server0 = b.cluster ? b.cluster->ServerCpuSeconds() : 0;
  const double cpu0 = CpuNow(), wall0 = Now();
  // A recorder's mix: each segment's row written open, then closed.
  for (size_t i = 0; i < rows / 2; ++i) {
    const int camera = int(i % 64);
    const int64_t first = kStartUs + int64_t(i / 64) * kSegmentUs;
    SSegmentRow open = Row(camera, first, qnvcat::ESegmentState::kOpen);
    writer.SegmentProgress(open.camera, open.path, open.firstUs, open.firstUs, 0, 0);
    writer.SegmentProgress(open.camera, open.path, open.firstUs, open.lastUs, open.frames,
                           open.bytes);
  }
  writer.Flush(600000);
  const double cpu = CpuNow() - cpu0, wall = Now() - wall0;
  const double server = b.cluster ? b.cluster->ServerCpuSeconds() - server0 : 0;
  std::printf(
      "result backend=%s part=write rows=%zu cpu_us_per_row=%.2f wall_s=%.2f%s\n", b.name.c_str(),
      rows, cpu * 1e6 / double(rows), wall,
      b.cluster ? (" server_cpu_us_per_row=" + std::to_string(server * 1e6 / double(rows))).c_str()
                : "");
  std::fflush(stdout);
}

void Drain(const SBackend& b) {
  // One hour of 64 cameras: 360 segments each, every one opened and closed.
  std::vector<SOp> ops;
  for (int s = 0; s < 360; ++s) {
    for (int camera = 0; camera < 64; ++camera) {
      const int64_t first = kStartUs + 86400 * kSecond + s * kSegmentUs;
      ops.push_back(SOp::Segment(Row(camera, first, qnvcat::ESegmentState::kOpen)));
      ops.push_back(SOp::Segment(Row(camera, first, qnvcat::ESegmentState::kClosed)));
    }
  }
  qnvcat::SWriterOptions options;
  options.recorder = "bench/main";
  options.queueDir = b.root + "/queue-drain-" + b.name;
  options.heal = false;
  std::string error;
  {
    qnvcat::CReplayQueue queue;
    size_t taken = 0;
    if (!queue.Open(options.queueDir, options.queueMaxBytes, error) ||
        !queue.Append(ops, taken, error) || taken != ops.size()) {
      std::fprintf(stderr, "drain: %s\n", error.c_str());
      return;
    }
  }
  const double cpu0 = CpuNow(), wall0 = Now();
  qnvcat::CCatalogueWriter writer(b.target, options);
  if (!writer.Start(error)) {
    std::fprintf(stderr, "drain: %s\n", error.c_str());
    return;
  }
  while (writer.Stats().queuedBytes > 0 || writer.Stats().applied < ops.size()) {
    if (Now() - wall0 > 600) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double wall = Now() - wall0, cpu = CpuNow() - cpu0;
  std::printf("result backend=%s part=drain ops=%zu drain_s=%.2f cpu_s=%.2f applied=%llu\n",
              b.name.c_str(), ops.size(), wall, cpu,
              static_cast<unsigned long long>(writer.Stats().applied));
  std::fflush(stdout);
}

// Generates the rows inside the database (the path of every upsert is
// measured by `write`; here only the size matters), then analyses them.
bool Generate(const SBackend& b, uint64_t rows, std::string& error) {
  const int cameras = 6;
  const uint64_t perCamera = rows / cameras;
  auto catalogue = qnvcat::OpenCatalogue(b.target, qnvcat::EOpenMode::kWrite, error);
  if (!catalogue) return false;
  catalogue.reset();
  const double t0 = Now();
  if (b.cluster == nullptr) {
    sqlite3* db = nullptr;
    sqlite3_open(qnvcat::SqlitePathFor(b.root).c_str(), &db);
    const std::string sql =
        "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF; PRAGMA cache_size = -1000000;"
        "BEGIN;"
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(perCamera - 1) +
        "), c(k) AS (SELECT 0 UNION ALL SELECT k + 1 FROM c WHERE k < " +
        std::to_string(cameras - 1) +
        ") INSERT INTO segments (recorder, camera, path, first_us, last_us, clock, frames, bytes, "
        "state) SELECT 'bench/main', 'cam' || k, '/var/lib/qnv-recorder/cam' || k || '/' || "
        "strftime('%Y-%m-%d/%H%M%S', " +
        std::to_string(kStartUs / kSecond) + " + i * 10, 'unixepoch') || '.qnv', " +
        std::to_string(kStartUs) + " + i * 10000000, " + std::to_string(kStartUs) +
        " + i * 10000000 + 9960000, 'capture', 250, 2500000, 'closed' FROM n, c ORDER BY i, k;"
        "INSERT OR REPLACE INTO cameras (recorder, camera, max_span_us) SELECT 'bench/main', "
        "'cam' || k, 9960000 FROM (WITH RECURSIVE c(k) AS (SELECT 0 UNION ALL SELECT k + 1 FROM "
        "c WHERE k < 5) SELECT k FROM c);"
        "COMMIT; ANALYZE;";
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) error = message ? message : "sqlite failed";
    sqlite3_free(message);
    sqlite3_close(db);
    if (rc != SQLITE_OK) return false;
  } else {
    PGconn* c = PQconnectdb((b.target.rootOrUrl + "?password=" + b.target.password).c_str());
    const std::string sql =
        "INSERT INTO segments (recorder, camera, path, first_us, last_us, clock, frames, bytes, "
        "state) SELECT 'bench/main', 'cam' || k, '/var/lib/qnv-recorder/cam' || k || '/' || "
        "to_char(to_timestamp(" +
        std::to_string(kStartUs / kSecond) +
        " + i * 10) AT TIME ZONE 'UTC', 'YYYY-MM-DD/HH24MISS') || '.qnv', " +
        std::to_string(kStartUs) + " + i * 10000000, " + std::to_string(kStartUs) +
        " + i * 10000000 + 9960000, 'capture', 250, 2500000, 'closed' FROM "
        "generate_series(0::bigint, " +
        std::to_string(perCamera - 1) + ") i, generate_series(0, " + std::to_string(cameras - 1) +
        ") k ORDER BY i, k;"
        "INSERT INTO cameras (recorder, camera, max_span_us) SELECT 'bench/main', 'cam' || k, "
        "9960000 FROM generate_series(0, 5) k ON CONFLICT (recorder, camera) DO UPDATE SET "
        "max_span_us = excluded.max_span_us;";
    for (const std::string& statement :
         {std::string("SET maintenance_work_mem = '512MB'"), sql, std::string("VACUUM ANALYZE")}) {
      PGresult* r = PQexec(c, statement.c_str());
      const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
      if (!ok) error = PQresultErrorMessage(r);
      PQclear(r);
      if (!ok) {
        PQfinish(c);
        return false;
      }
    }
    PQfinish(c);
  }
  std::printf("result backend=%s part=generate rows=%llu generate_s=%.1f\n", b.name.c_str(),
              static_cast<unsigned long long>(perCamera * cameras), Now() - t0);
  std::fflush(stdout);
  return true;
}

struct STimes {
  double median = 0, worst = 0;
};

STimes Summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return STimes{ms[ms.size() / 2], ms.back()};
}

void Big(const SBackend& b, uint64_t rows, const std::string& catalogueBin) {
  std::string error;
  if (!Generate(b, rows, error)) {
    std::fprintf(stderr, "big: %s\n", error.c_str());
    return;
  }
  auto catalogue = qnvcat::OpenCatalogue(b.target, qnvcat::EOpenMode::kRead, error);
  if (!catalogue) {
    std::fprintf(stderr, "big: %s\n", error.c_str());
    return;
  }
  const int64_t days = int64_t(rows / 6 / 8640);
  std::mt19937_64 random(42);
  std::vector<double> hourMs, dayMs;
  size_t hourRows = 0, daySpans = 0;
  for (int i = 0; i < 50; ++i) {
    const std::string camera = "cam" + std::to_string(random() % 6);
    const int64_t day = int64_t(random() % uint64_t(std::max<int64_t>(1, days - 1)));
    const int64_t hour = kStartUs + day * 86400 * kSecond + int64_t(random() % 24) * 3600 * kSecond;
    qnvcat::SSegmentQuery q;
    q.camera = camera;
    q.fromUs = hour;
    q.toUs = hour + 3600 * kSecond;
    std::vector<SSegmentRow> out;
    double t0 = Now();
    catalogue->Segments(q, out, error);
    hourMs.push_back((Now() - t0) * 1000);
    hourRows += out.size();
    q.fromUs = kStartUs + day * 86400 * kSecond;
    q.toUs = q.fromUs + 86400 * kSecond;
    t0 = Now();
    catalogue->Segments(q, out, error);
    const auto spans = qnvcat::CoverageOf(out, q.fromUs, q.toUs, kSecond, q.toUs);
    dayMs.push_back((Now() - t0) * 1000);
    daySpans += spans.size();
  }
  const STimes hour = Summarise(hourMs), day = Summarise(dayMs);
  std::printf(
      "result backend=%s part=big rows=%llu segments_hour_ms_median=%.2f "
      "segments_hour_ms_worst=%.2f "
      "rows_per_hour=%.0f coverage_day_ms_median=%.2f coverage_day_ms_worst=%.2f\n",
      b.name.c_str(), static_cast<unsigned long long>(rows), hour.median, hour.worst,
      double(hourRows) / 50, day.median, day.worst);
  if (!catalogueBin.empty()) {
    // The program as users run it: start, open, query, print.
    std::vector<std::string> argv = {catalogueBin,
                                     b.target.rootOrUrl,
                                     "segments",
                                     "--camera",
                                     "cam3",
                                     "--from",
                                     "2024-03-01T10:00:00Z",
                                     "--to",
                                     "2024-03-01T11:00:00Z",
                                     "--json"};
    std::map<std::string, std::string> env;
    if (b.cluster) {
      argv.insert(argv.end(), {"--password-env", "QNV_BENCH_PG_PASSWORD"});
      env["QNV_BENCH_PG_PASSWORD"] = b.target.password;
    }
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
      const double t0 = Now();
      const qnvtest::ChildResult r = qnvtest::ChildProcess::Run(argv, 60000, env);
      ms.push_back((Now() - t0) * 1000);
      if (r.exitCode != 0) std::fprintf(stderr, "qnv-catalogue: %s\n", r.err.c_str());
    }
    argv[2] = "coverage";
    argv[6] = "2024-03-01T00:00:00Z";
    argv[8] = "2024-03-02T00:00:00Z";
    std::vector<double> coverageMs;
    for (int i = 0; i < 5; ++i) {
      const double t0 = Now();
      qnvtest::ChildProcess::Run(argv, 60000, env);
      coverageMs.push_back((Now() - t0) * 1000);
    }
    std::printf(
        "result backend=%s part=program segments_hour_ms_median=%.1f coverage_day_ms_median=%.1f\n",
        b.name.c_str(), Summarise(ms).median, Summarise(coverageMs).median);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string backend = "both", parts = "write,drain,big", dir, catalogueBin;
  uint64_t rows = 20000000, writeRows = 50000;
  qnvtools::CArgReader args(argc, argv, "qnv-bench-catalogue");
  while (args.Next()) {
    const std::string& arg = args.Arg();
    if (arg == "--backend") {
      backend = args.ValueOrExit();
    } else if (arg == "--parts") {
      parts = args.ValueOrExit();
    } else if (arg == "--rows") {
      rows = std::strtoull(args.ValueOrExit(), nullptr, 10);
    } else if (arg == "--write-rows") {
      writeRows = std::strtoull(args.ValueOrExit(), nullptr, 10);
    } else if (arg == "--dir") {
      dir = args.ValueOrExit();
    } else if (arg == "--catalogue-bin") {
      catalogueBin = args.ValueOrExit();
    } else {
      std::fputs(kUsage, arg == "--help" || arg == "-h" ? stdout : stderr);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  bool removeDir = false;
  if (dir.empty()) {
    char pattern[] = "/tmp/qnv-bench-catalogue-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    dir = pattern;
    removeDir = true;
  }
  auto has = [&](const char* part) { return parts.find(part) != std::string::npos; };
  std::vector<std::string> names;
  if (backend == "sqlite" || backend == "both") names.push_back("sqlite");
  if (backend == "postgresql" || backend == "both") names.push_back("postgresql");
  int status = 0;
  for (const std::string& name : names) {
    SBackend b;
    b.name = name;
    b.root = dir + "/" + name;
    fs::create_directories(b.root);
    std::unique_ptr<qnvtest::PgCluster> cluster;
    if (name == "postgresql") {
      cluster = std::make_unique<qnvtest::PgCluster>();
      std::string error;
      if (!cluster->Start(error, /*durable=*/true)) {
        std::fprintf(stderr, "postgresql: %s\n", error.c_str());
        status = 1;
        continue;
      }
      b.cluster = cluster.get();
      b.target.password = cluster->Password();
      std::string url;
      if (!cluster->NewDatabase(url, error)) {
        std::fprintf(stderr, "postgresql: %s\n", error.c_str());
        status = 1;
        continue;
      }
      b.target.rootOrUrl = url;
    } else {
      b.target.rootOrUrl = b.root;
    }
    if (has("write")) Write(b, writeRows);
    if (has("drain")) Drain(b);
    if (has("big")) {
      // A database of its own: only the generated rows.
      SBackend big = b;
      big.root = b.root + "/big";
      fs::create_directories(big.root);
      std::string error;
      if (big.cluster != nullptr && !big.cluster->NewDatabase(big.target.rootOrUrl, error)) {
        std::fprintf(stderr, "postgresql: %s\n", error.c_str());
        status = 1;
        continue;
      }
      if (big.cluster == nullptr) big.target.rootOrUrl = big.root;
      Big(big, rows, catalogueBin);
    }
  }
  if (removeDir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return status;
}

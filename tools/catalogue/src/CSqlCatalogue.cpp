// The catalogue over a SQL connection: the schema and its migrations, the
// writes of SOp and the queries, written once for SQLite and PostgreSQL.
#include <algorithm>
#include <map>

#include "SqlConnection.h"

namespace qnvcat {
namespace {

// Schema steps; step n brings a catalogue from version n - 1 to n. {ID} is
// the dialect's auto-numbered key. Only append: a released step never changes.
// Partial indexes leave deleted rows (history) out of what queries walk.
const char* const kMigrations[] = {
    // 1: segments, events, camera state changes, and one row per recorder and
    // camera with what its queries need at hand (longest segment, last state).
    "CREATE TABLE segments ("
    " id {ID}, recorder TEXT NOT NULL, camera TEXT NOT NULL, path TEXT NOT NULL,"
    " first_us BIGINT NOT NULL, last_us BIGINT NOT NULL, clock TEXT NOT NULL,"
    " frames BIGINT NOT NULL, bytes BIGINT NOT NULL, state TEXT NOT NULL);"
    "CREATE UNIQUE INDEX segments_by_path ON segments (recorder, path);"
    "CREATE INDEX segments_by_camera ON segments (camera, first_us) WHERE state <> 'deleted';"
    "CREATE INDEX segments_by_recorder ON segments (recorder, first_us) WHERE state <> 'deleted';"
    "CREATE INDEX segments_open ON segments (camera) WHERE state = 'open';"
    "CREATE TABLE events ("
    " id {ID}, recorder TEXT NOT NULL, camera TEXT NOT NULL, time_us BIGINT NOT NULL,"
    " rule BIGINT NOT NULL, channel BIGINT NOT NULL, box_x BIGINT NOT NULL,"
    " box_y BIGINT NOT NULL, box_w BIGINT NOT NULL, box_h BIGINT NOT NULL,"
    " sequence BIGINT NOT NULL, clip TEXT NOT NULL, segment TEXT NOT NULL);"
    "CREATE UNIQUE INDEX events_key ON events (recorder, camera, time_us, rule, channel, sequence);"
    "CREATE INDEX events_by_time ON events (time_us);"
    "CREATE INDEX events_by_camera ON events (camera, time_us);"
    "CREATE TABLE camera_states ("
    " id {ID}, recorder TEXT NOT NULL, camera TEXT NOT NULL, time_us BIGINT NOT NULL,"
    " state TEXT NOT NULL, reason TEXT NOT NULL);"
    "CREATE UNIQUE INDEX camera_states_key ON camera_states (recorder, camera, time_us, state);"
    "CREATE INDEX camera_states_by_camera ON camera_states (camera, time_us);"
    "CREATE TABLE cameras ("
    " recorder TEXT NOT NULL, camera TEXT NOT NULL, max_span_us BIGINT NOT NULL DEFAULT 0,"
    " state TEXT, state_us BIGINT NOT NULL DEFAULT 0, reason TEXT NOT NULL DEFAULT '',"
    " PRIMARY KEY (recorder, camera));",
    // 2: an event's id is its recorder's (known the moment the alarm comes, so
    // other systems can name it at once), unique with the recorder's name;
    // events are kept once by it. Earlier rows keep their numbers.
    "ALTER TABLE events ADD COLUMN event_id BIGINT NOT NULL DEFAULT 0;"
    "UPDATE events SET event_id = id;"
    "DROP INDEX events_key;"
    "CREATE UNIQUE INDEX events_by_id ON events (event_id, recorder);",
};
constexpr int kMigrationCount = int(sizeof kMigrations / sizeof kMigrations[0]);
static_assert(kMigrationCount == kSchemaVersion, "one migration step per schema version");

const char kSegmentColumns[] =
    "recorder, camera, path, first_us, last_us, clock, frames, bytes, state";
const char kEventColumns[] =
    "event_id, recorder, camera, time_us, rule, channel, box_x, box_y, box_w, box_h, sequence, "
    "clip, segment";

// Every statement has a slot, so each connection prepares it once.
enum ESlot : int {
  kSlotTableExists,
  kSlotVersion,
  kSlotSetVersion,
  kSlotUpsertSegment,
  kSlotCameraSpan,
  kSlotDeleted,
  kSlotForget,
  kSlotEvent,
  kSlotState,
  kSlotCameraState,
  kSlotPurge,
  kSlotCameras,
  kSlotCameraFirst,
  kSlotCameraLast,
  kSlotMaxSpan,
  kSlotSegments,
  kSlotOpenOfCamera,
  kSlotEvents,  // 4 variants: + camera, + rule
  kSlotEventsEnd = kSlotEvents + 4,
  kSlotEventById = kSlotEventsEnd,
  kSlotStates,
  kSlotOldestOfCamera,
  kSlotOldest,
  kSlotOpen,
  kSlotRecorderSegments,
  kSlotUsage,
};

std::string Replace(std::string text, const std::string& token, const std::string& with) {
  for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
    text.replace(at, token.size(), with);
    at += with.size();
  }
  return text;
}

SSegmentRow SegmentFrom(const IRow& r) {
  SSegmentRow s;
  s.recorder = r.Text(0);
  s.camera = r.Text(1);
  s.path = r.Text(2);
  s.firstUs = r.Int(3);
  s.lastUs = r.Int(4);
  ParseClock(r.Text(5), s.clock);
  s.frames = uint64_t(r.Int(6));
  s.bytes = uint64_t(r.Int(7));
  ParseState(r.Text(8), s.state);
  return s;
}

// An event written without an id (by a program from before ids were the
// recorder's) is keyed by its time, so replaying it keeps it once.
int64_t EventKey(const SEventRow& e) { return e.id != 0 ? e.id : e.timeUs; }

SEventRow EventFrom(const IRow& r) {
  SEventRow e;
  e.id = r.Int(0);
  e.recorder = r.Text(1);
  e.camera = r.Text(2);
  e.timeUs = r.Int(3);
  e.rule = uint32_t(r.Int(4));
  e.channel = uint32_t(r.Int(5));
  e.box = SBox{uint32_t(r.Int(6)), uint32_t(r.Int(7)), uint32_t(r.Int(8)), uint32_t(r.Int(9))};
  e.sequence = uint64_t(r.Int(10));
  e.clip = r.Text(11);
  e.segment = r.Text(12);
  return e;
}

class CSqlCatalogue : public ICatalogue {
 public:
  CSqlCatalogue(std::unique_ptr<ISqlConnection> db, std::string where)
      : m_db(std::move(db)), m_where(std::move(where)) {}

  const char* Backend() const override { return m_db->Backend(); }
  const std::string& Where() const override { return m_where; }
  int SchemaVersion() const override { return m_version; }
  EFailure LastFailure() const override { return m_failure; }

  bool Prepare(EOpenMode mode, std::string& error) {
    if (mode == EOpenMode::kWrite) return Migrate(error);
    bool exists = false;
    if (!Run(
            kSlotTableExists, m_db->Dialect().tableExists, {SValue::Text("qnv_schema")},
            [&](const IRow&) { exists = true; }, error)) {
      return false;
    }
    if (!exists) {
      error =
          m_where + " holds no catalogue (the recorder makes it when [catalogue] is configured)";
      return false;
    }
    if (!ReadVersion(error)) return false;
    if (m_version != kSchemaVersion) {
      error = m_where + ": catalogue schema version " + std::to_string(m_version) +
              (m_version > kSchemaVersion ? " is newer than this program's (" : " is older than ") +
              std::to_string(kSchemaVersion) +
              (m_version > kSchemaVersion ? "): update the tools"
                                          : ": start the recorder once, which upgrades it");
      return false;
    }
    return true;
  }

  bool Apply(std::span<const SOp> ops, std::string& error) override {
    m_failure = EFailure::kNone;
    m_pendingSpans.clear();
    if (!m_db->Begin(true, error)) return Fail();
    for (const SOp& op : ops) {
      if (!ApplyOne(op, error)) {
        Fail();
        m_db->Rollback();
        return false;
      }
    }
    if (!m_db->Commit(error)) {
      Fail();
      m_db->Rollback();
      return false;
    }
    for (const auto& [key, span] : m_pendingSpans) m_spans[key] = std::max(m_spans[key], span);
    return true;
  }

  bool Cameras(std::vector<SCameraInfo>& out, std::string& error) override {
    out.clear();
    if (!Run(
            kSlotCameras,
            "SELECT camera, recorder, state, state_us, reason FROM cameras ORDER BY camera, "
            "recorder",
            {},
            [&](const IRow& r) {
              SCameraInfo c;
              c.camera = r.Text(0);
              c.recorder = r.Text(1);
              c.hasState = !r.IsNull(2) && ParseCameraState(r.Text(2), c.state);
              c.stateUs = r.Int(3);
              c.reason = r.Text(4);
              out.push_back(std::move(c));
            },
            error)) {
      return false;
    }
    for (SCameraInfo& c : out) {
      const std::vector<SValue> key{SValue::Text(c.camera), SValue::Text(c.recorder)};
      if (!Run(
              kSlotCameraFirst,
              "SELECT first_us FROM segments WHERE camera = $1 AND state <> 'deleted' AND "
              "recorder = $2 ORDER BY first_us LIMIT 1",
              key, [&](const IRow& r) { c.firstUs = r.Int(0); }, error) ||
          !Run(
              kSlotCameraLast,
              "SELECT last_us FROM segments WHERE camera = $1 AND state <> 'deleted' AND "
              "recorder = $2 ORDER BY first_us DESC LIMIT 1",
              key, [&](const IRow& r) { c.lastUs = r.Int(0); }, error)) {
        return false;
      }
    }
    return true;
  }

  bool Segments(const SSegmentQuery& q, std::vector<SSegmentRow>& out,
                std::string& error) override {
    out.clear();
    // A segment overlapping [from, to) begins at most the camera's longest
    // segment before `from`: that bound keeps the walk to the span's rows.
    int64_t maxSpan = 0;
    if (!Run(
            kSlotMaxSpan, "SELECT max(max_span_us) FROM cameras WHERE camera = $1",
            {SValue::Text(q.camera)}, [&](const IRow& r) { maxSpan = r.Int(0); }, error)) {
      return false;
    }
    const std::vector<SValue> range{SValue::Text(q.camera), SValue::Int(q.toUs),
                                    SValue::Int(q.fromUs - maxSpan), SValue::Int(q.fromUs)};
    std::map<std::pair<std::string, std::string>, size_t> seen;
    auto add = [&](const IRow& r) {
      SSegmentRow s = SegmentFrom(r);
      if (!q.recorder.empty() && s.recorder != q.recorder) return;
      if (!seen.emplace(std::make_pair(s.recorder, s.path), out.size()).second) return;
      out.push_back(std::move(s));
    };
    if (!Run(kSlotSegments,
             std::string("SELECT ") + kSegmentColumns +
                 " FROM segments WHERE camera = $1 AND state <> 'deleted' AND first_us < $2 AND "
                 "first_us >= $3 AND (last_us >= $4 OR state = 'open') ORDER BY first_us",
             range, add, error)) {
      return false;
    }
    // Open segments that began before the bound (their span is still growing).
    const size_t before = out.size();
    if (!Run(kSlotOpenOfCamera,
             std::string("SELECT ") + kSegmentColumns +
                 " FROM segments WHERE camera = $1 AND state = 'open' AND first_us < $2",
             {SValue::Text(q.camera), SValue::Int(q.toUs)}, add, error)) {
      return false;
    }
    if (out.size() != before) {
      std::stable_sort(out.begin(), out.end(), [](const SSegmentRow& a, const SSegmentRow& b) {
        return a.firstUs < b.firstUs;
      });
    }
    return true;
  }

  bool Events(const SEventQuery& q, std::vector<SEventRow>& out, std::string& error) override {
    out.clear();
    std::string sql = std::string("SELECT ") + kEventColumns +
                      " FROM events WHERE time_us >= $1 AND time_us < $2";
    std::vector<SValue> values{SValue::Int(q.fromUs), SValue::Int(q.toUs)};
    int variant = 0;
    if (!q.camera.empty()) {
      values.push_back(SValue::Text(q.camera));
      sql += " AND camera = $" + std::to_string(values.size());
      variant |= 1;
    }
    if (q.hasRule) {
      values.push_back(SValue::Int(q.rule));
      sql += " AND rule = $" + std::to_string(values.size());
      variant |= 2;
    }
    values.push_back(SValue::Int(int64_t(q.limit)));
    sql += " ORDER BY time_us, id LIMIT $" + std::to_string(values.size());
    return Run(
        kSlotEvents + variant, sql, values, [&](const IRow& r) { out.push_back(EventFrom(r)); },
        error);
  }

  bool EventsById(int64_t id, const std::string& recorder, std::vector<SEventRow>& out,
                  std::string& error) override {
    out.clear();
    return Run(
        kSlotEventById,
        std::string("SELECT ") + kEventColumns +
            " FROM events WHERE event_id = $1 ORDER BY recorder",
        {SValue::Int(id)},
        [&](const IRow& r) {
          SEventRow e = EventFrom(r);
          if (recorder.empty() || e.recorder == recorder) out.push_back(std::move(e));
        },
        error);
  }

  bool StateChanges(const std::string& camera, int64_t fromUs, int64_t toUs,
                    std::vector<SStateRow>& out, std::string& error) override {
    out.clear();
    return Run(
        kSlotStates,
        "SELECT recorder, camera, time_us, state, reason FROM camera_states WHERE camera = "
        "$1 AND time_us >= $2 AND time_us < $3 ORDER BY time_us, id",
        {SValue::Text(camera), SValue::Int(fromUs), SValue::Int(toUs)},
        [&](const IRow& r) {
          SStateRow s;
          s.recorder = r.Text(0);
          s.camera = r.Text(1);
          s.timeUs = r.Int(2);
          ParseCameraState(r.Text(3), s.state);
          s.reason = r.Text(4);
          out.push_back(std::move(s));
        },
        error);
  }

  bool OldestSegments(const std::string& recorder, const std::string& camera, size_t limit,
                      std::vector<SSegmentRow>& out, std::string& error) override {
    out.clear();
    auto add = [&](const IRow& r) { out.push_back(SegmentFrom(r)); };
    if (camera.empty()) {
      return Run(kSlotOldest,
                 std::string("SELECT ") + kSegmentColumns +
                     " FROM segments WHERE recorder = $1 AND state <> 'deleted' AND state <> "
                     "'open' ORDER BY first_us LIMIT $2",
                 {SValue::Text(recorder), SValue::Int(int64_t(limit))}, add, error);
    }
    return Run(kSlotOldestOfCamera,
               std::string("SELECT ") + kSegmentColumns +
                   " FROM segments WHERE camera = $1 AND state <> 'deleted' AND recorder = $2 AND "
                   "state <> 'open' ORDER BY first_us LIMIT $3",
               {SValue::Text(camera), SValue::Text(recorder), SValue::Int(int64_t(limit))}, add,
               error);
  }

  bool OpenSegments(const std::string& recorder, std::vector<SSegmentRow>& out,
                    std::string& error) override {
    out.clear();
    return Run(
        kSlotOpen,
        std::string("SELECT ") + kSegmentColumns +
            " FROM segments WHERE state = 'open' AND recorder = $1 ORDER BY first_us",
        {SValue::Text(recorder)}, [&](const IRow& r) { out.push_back(SegmentFrom(r)); }, error);
  }

  bool RecorderSegments(const std::string& recorder, std::vector<SSegmentRow>& out,
                        std::string& error) override {
    out.clear();
    return Run(
        kSlotRecorderSegments,
        std::string("SELECT ") + kSegmentColumns +
            " FROM segments WHERE recorder = $1 ORDER BY path",
        {SValue::Text(recorder)}, [&](const IRow& r) { out.push_back(SegmentFrom(r)); }, error);
  }

  bool Usage(const std::string& recorder, std::vector<SUsage>& out, std::string& error) override {
    out.clear();
    return Run(
        kSlotUsage,
        "SELECT camera, count(*), sum(bytes), min(first_us) FROM segments WHERE recorder = "
        "$1 AND state <> 'deleted' GROUP BY camera ORDER BY camera",
        {SValue::Text(recorder)},
        [&](const IRow& r) {
          out.push_back(SUsage{r.Text(0), uint64_t(r.Int(1)), uint64_t(r.Int(2)), r.Int(3)});
        },
        error);
  }

 private:
  bool Run(int slot, const std::string& sql, const std::vector<SValue>& values,
           const ISqlConnection::RowFn& row, std::string& error) {
    return m_db->Exec(slot, sql, values, row, error);
  }
  bool Fail() {
    m_failure = m_db->LastFailure();
    if (m_failure == EFailure::kNone) m_failure = EFailure::kTransient;
    return false;
  }

  bool ReadVersion(std::string& error) {
    m_version = 0;
    return Run(
        kSlotVersion, "SELECT max(version) FROM qnv_schema", {},
        [&](const IRow& r) { m_version = int(r.Int(0)); }, error);
  }

  bool Migrate(std::string& error) {
    const SDialect& d = m_db->Dialect();
    if (!m_db->Begin(true, error) || !m_db->LockSchema(error) ||
        !m_db->Script("CREATE TABLE IF NOT EXISTS qnv_schema (version INTEGER NOT NULL)", error) ||
        !ReadVersion(error)) {
      m_db->Rollback();
      return false;
    }
    if (m_version > kSchemaVersion) {
      m_db->Rollback();
      error = m_where + ": catalogue schema version " + std::to_string(m_version) +
              " is newer than this program's (" + std::to_string(kSchemaVersion) +
              "): update it before it writes here";
      return false;
    }
    for (int step = m_version; step < kMigrationCount; ++step) {
      if (!m_db->Script(Replace(kMigrations[step], "{ID}", d.autoId), error) ||
          !Run(kSlotSetVersion, "INSERT INTO qnv_schema (version) VALUES ($1)",
               {SValue::Int(step + 1)}, nullptr, error)) {
        m_db->Rollback();
        error = "cannot bring the catalogue to schema version " + std::to_string(step + 1) + ": " +
                error;
        return false;
      }
    }
    if (!m_db->Commit(error)) {
      m_db->Rollback();
      return false;
    }
    m_version = kSchemaVersion;
    return true;
  }

  bool ApplyOne(const SOp& op, std::string& error) {
    switch (op.kind) {
      case SOp::EKind::kSegments:
        for (const SSegmentRow& s : op.segments) {
          if (!UpsertSegment(s, error)) return false;
        }
        return true;
      case SOp::EKind::kDeleted:
        return Run(kSlotDeleted,
                   "UPDATE segments SET state = 'deleted' WHERE recorder = $1 AND path = $2",
                   {SValue::Text(op.recorder), SValue::Text(op.path)}, nullptr, error);
      case SOp::EKind::kForget:
        return Run(kSlotForget, "DELETE FROM segments WHERE recorder = $1 AND path = $2",
                   {SValue::Text(op.recorder), SValue::Text(op.path)}, nullptr, error);
      case SOp::EKind::kEvent: {
        const SEventRow& e = op.event;
        return Run(kSlotEvent,
                   "INSERT INTO events (event_id, recorder, camera, time_us, rule, channel, box_x, "
                   "box_y, box_w, box_h, sequence, clip, segment) VALUES ($13, $1, $2, $3, $4, $5, "
                   "$6, $7, $8, $9, $10, $11, $12) ON CONFLICT (event_id, recorder) DO NOTHING",
                   {SValue::Text(e.recorder), SValue::Text(e.camera), SValue::Int(e.timeUs),
                    SValue::Int(e.rule), SValue::Int(e.channel), SValue::Int(e.box.x),
                    SValue::Int(e.box.y), SValue::Int(e.box.width), SValue::Int(e.box.height),
                    SValue::Int(int64_t(e.sequence)), SValue::Text(e.clip), SValue::Text(e.segment),
                    SValue::Int(EventKey(e))},
                   nullptr, error);
      }
      case SOp::EKind::kState: {
        const SStateRow& s = op.state;
        const std::vector<SValue> values{
            SValue::Text(s.recorder), SValue::Text(s.camera), SValue::Int(s.timeUs),
            SValue::Text(CameraStateName(s.state)), SValue::Text(s.reason)};
        return Run(kSlotState,
                   "INSERT INTO camera_states (recorder, camera, time_us, state, reason) VALUES "
                   "($1, $2, $3, $4, $5) ON CONFLICT (recorder, camera, time_us, state) DO "
                   "NOTHING",
                   values, nullptr, error) &&
               Run(kSlotCameraState,
                   "INSERT INTO cameras (recorder, camera, state, state_us, reason) VALUES ($1, "
                   "$2, $4, $3, $5) ON CONFLICT (recorder, camera) DO UPDATE SET state = "
                   "excluded.state, state_us = excluded.state_us, reason = excluded.reason "
                   "WHERE cameras.state_us <= excluded.state_us",
                   values, nullptr, error);
      }
      case SOp::EKind::kPurge:
        return Run(kSlotPurge,
                   "DELETE FROM segments WHERE recorder = $1 AND state = 'deleted' AND last_us < "
                   "$2",
                   {SValue::Text(op.recorder), SValue::Int(op.beforeUs)}, nullptr, error);
    }
    return true;
  }

  bool UpsertSegment(const SSegmentRow& s, std::string& error) {
    if (!Run(kSlotUpsertSegment,
             std::string("INSERT INTO segments (") + kSegmentColumns +
                 ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT (recorder, path) DO "
                 "UPDATE SET camera = excluded.camera, first_us = excluded.first_us, last_us = "
                 "excluded.last_us, clock = excluded.clock, frames = excluded.frames, bytes = "
                 "excluded.bytes, state = excluded.state",
             {SValue::Text(s.recorder), SValue::Text(s.camera), SValue::Text(s.path),
              SValue::Int(s.firstUs), SValue::Int(s.lastUs), SValue::Text(ClockName(s.clock)),
              SValue::Int(int64_t(s.frames)), SValue::Int(int64_t(s.bytes)),
              SValue::Text(StateName(s.state))},
             nullptr, error)) {
      return false;
    }
    // The camera's longest segment bounds the range queries. It only grows,
    // so a span this connection has written and committed is not written
    // again (what a rolled-back transaction wrote is forgotten with it).
    const int64_t span = s.lastUs > s.firstUs ? s.lastUs - s.firstUs : 0;
    const auto key = std::make_pair(s.recorder, s.camera);
    const auto committed = m_spans.find(key);
    const auto pending = m_pendingSpans.find(key);
    if ((committed != m_spans.end() && span <= committed->second) ||
        (pending != m_pendingSpans.end() && span <= pending->second)) {
      return true;
    }
    if (!Run(kSlotCameraSpan,
             std::string("INSERT INTO cameras (recorder, camera, max_span_us) VALUES ($1, $2, $3) "
                         "ON CONFLICT (recorder, camera) DO UPDATE SET max_span_us = ") +
                 m_db->Dialect().greatest + "(cameras.max_span_us, excluded.max_span_us)",
             {SValue::Text(s.recorder), SValue::Text(s.camera), SValue::Int(span)}, nullptr,
             error)) {
      return false;
    }
    m_pendingSpans[key] = span;
    return true;
  }

  std::unique_ptr<ISqlConnection> m_db;
  std::string m_where;
  int m_version = 0;
  EFailure m_failure = EFailure::kNone;
  // Longest segment per recorder and camera written by this connection.
  std::map<std::pair<std::string, std::string>, int64_t> m_spans, m_pendingSpans;
};

}  // namespace

std::unique_ptr<ICatalogue> MakeSqlCatalogue(std::unique_ptr<ISqlConnection> connection,
                                             std::string where, EOpenMode mode,
                                             std::string& error) {
  auto catalogue = std::make_unique<CSqlCatalogue>(std::move(connection), std::move(where));
  if (!catalogue->Prepare(mode, error)) return nullptr;
  return catalogue;
}

}  // namespace qnvcat

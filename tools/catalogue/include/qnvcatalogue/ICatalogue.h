// ICatalogue: one connection to a recordings catalogue, SQLite (one file under
// a recorder's ROOT) or PostgreSQL (one database for a fleet), behind one
// interface with one schema. Writes come as batches of SOp, each batch in one
// transaction; queries answer what people and tools ask. An object is one
// connection: one thread at a time. Nothing must outlive it.
#ifndef QNVCATALOGUE_ICATALOGUE_H
#define QNVCATALOGUE_ICATALOGUE_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qnvcatalogue/Ops.h"
#include "qnvcatalogue/Rows.h"

namespace qnvcat {

// Where the catalogue is: a recorder's ROOT (its SQLite file) or a
// postgresql:// (or postgres://) URL, with the password kept out of the URL.
struct STarget {
  std::string rootOrUrl;
  std::string password;  // PostgreSQL; empty: the URL's, PGPASSWORD or ~/.pgpass
  int connectTimeoutSeconds = 5;
  // PostgreSQL: statements running longer fail (the writer then queues).
  int statementTimeoutMs = 10000;
  // PostgreSQL: any call (a statement, or the connection's making past
  // connectTimeoutSeconds) with no answer this long fails and the connection
  // is dropped: a server that stopped answering holds no thread for longer.
  // The same bounds unsent bytes on its socket (TCP user time-out).
  int callTimeoutMs = 15000;
  // A descriptor (an eventfd, say) that, once readable, makes every call
  // under way or to come give up at once (a stop): PostgreSQL's waits for
  // the server, SQLite's for another writer's lock. -1: none.
  int abortFd = -1;
  // SQLite: how long a write waits for another writer's lock.
  int busyTimeoutMs = 5000;
  std::string applicationName = "qnvcatalogue";
};

bool IsDatabaseUrl(const std::string& rootOrUrl);
// A password from the environment variable `env`, else from the first line
// of `file`, which must be a regular file of this user that no one else may
// read or write (chmod 600). Neither given: empty. False with a message.
bool LoadPassword(const std::string& env, const std::string& file, std::string& password,
                  std::string& error);
// The SQLite file of a ROOT, shared by every recorder instance writing there.
std::string SqlitePathFor(const std::string& root);
// The URL without a password, for messages.
std::string DescribeTarget(const std::string& rootOrUrl);
// A PostgreSQL URL or key=value connection string with every password left
// out, in each form the client library reads (user:pw@, ?password=, escaped
// names, password='...', a URI given as dbname); *hadPassword says whether
// there was one.
std::string RedactConnectionString(const std::string& text, bool* hadPassword = nullptr);
bool CarriesPassword(const std::string& text);
// message with any password of the connection string text masked (the
// client library may quote a malformed part of it in its errors).
std::string ScrubPasswords(std::string message, const std::string& text);

enum class EOpenMode {
  kRead,   // queries only; the catalogue must exist
  kWrite,  // creates it and brings its schema up to date
};

// What a failed write means: try again later on this connection (busy,
// timed out, disk full), make the connection again (lost), or never (the
// database refused the data itself).
enum class EFailure { kNone, kTransient, kBroken, kRejected };

// The schema this code writes and reads.
inline constexpr int kSchemaVersion = 2;

struct SSegmentQuery {
  std::string camera;
  int64_t fromUs = 0;  // segments with a picture in [fromUs, toUs), and open ones begun before toUs
  int64_t toUs = 0;
  std::string recorder;  // empty: any
  bool withDeleted = false;
};

struct SEventQuery {
  int64_t fromUs = 0;  // events in [fromUs, toUs)
  int64_t toUs = 0;
  std::string camera;  // empty: any
  bool hasRule = false;
  uint32_t rule = 0;
  size_t limit = 10000;
};

class ICatalogue {
 public:
  virtual ~ICatalogue() = default;

  virtual const char* Backend() const = 0;  // "sqlite" or "postgresql"
  // The file or the URL without its password.
  virtual const std::string& Where() const = 0;

  // Applies every op in order in one transaction: all or nothing. False with
  // a message; LastFailure() then says whether to try again.
  virtual bool Apply(std::span<const SOp> ops, std::string& error) = 0;
  virtual EFailure LastFailure() const = 0;

  // Cameras, each with each recorder that holds it, by name.
  virtual bool Cameras(std::vector<SCameraInfo>& out, std::string& error) = 0;
  // Segments of a camera overlapping a span, oldest first.
  virtual bool Segments(const SSegmentQuery& query, std::vector<SSegmentRow>& out,
                        std::string& error) = 0;
  virtual bool Events(const SEventQuery& query, std::vector<SEventRow>& out,
                      std::string& error) = 0;
  // The events with this id (one per recorder that gave it; of `recorder`
  // only, unless it is empty), by recorder; none when no event has it.
  virtual bool EventsById(int64_t id, const std::string& recorder, std::vector<SEventRow>& out,
                          std::string& error) = 0;
  // State changes of a camera in [fromUs, toUs), oldest first.
  virtual bool StateChanges(const std::string& camera, int64_t fromUs, int64_t toUs,
                            std::vector<SStateRow>& out, std::string& error) = 0;

  // Retention: the oldest closed or repaired segments of a recorder (of one
  // camera, or of all when camera is empty), oldest first, at most limit.
  virtual bool OldestSegments(const std::string& recorder, const std::string& camera, size_t limit,
                              std::vector<SSegmentRow>& out, std::string& error) = 0;
  // Segments of a recorder whose rows are open (to heal after a crash).
  virtual bool OpenSegments(const std::string& recorder, std::vector<SSegmentRow>& out,
                            std::string& error) = 0;
  // Every segment row of a recorder, deleted ones included (rebuild).
  virtual bool RecorderSegments(const std::string& recorder, std::vector<SSegmentRow>& out,
                                std::string& error) = 0;
  // Per camera: the segments of a recorder not deleted, and their bytes.
  virtual bool Usage(const std::string& recorder, std::vector<SUsage>& out, std::string& error) = 0;

  virtual int SchemaVersion() const = 0;
};

// Opens (kWrite: creates and migrates) the catalogue. Null with a message
// naming the file or URL and the cause.
std::unique_ptr<ICatalogue> OpenCatalogue(const STarget& target, EOpenMode mode,
                                          std::string& error);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_ICATALOGUE_H

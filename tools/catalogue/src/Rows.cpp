#include "qnvcatalogue/Rows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "SqlConnection.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvtools/UniqueFd.h"

namespace qnvcat {
namespace {

template <typename E, size_t N>
bool ParseName(std::string_view text, const char* const (&names)[N], E& out) {
  for (size_t i = 0; i < N; ++i) {
    if (text == names[i]) {
      out = E(i);
      return true;
    }
  }
  return false;
}

// In the order of the enums; these are the texts the database holds.
const char* const kStateNames[] = {"open", "closed", "repaired", "deleted"};
const char* const kClockNames[] = {"capture", "arrival"};
const char* const kCameraStateNames[] = {"up", "down"};

}  // namespace

const char* StateName(ESegmentState state) { return kStateNames[size_t(state)]; }
const char* ClockName(EClock clock) { return kClockNames[size_t(clock)]; }
const char* CameraStateName(ECameraState state) { return kCameraStateNames[size_t(state)]; }
bool ParseState(std::string_view text, ESegmentState& state) {
  return ParseName(text, kStateNames, state);
}
bool ParseClock(std::string_view text, EClock& clock) {
  return ParseName(text, kClockNames, clock);
}
bool ParseCameraState(std::string_view text, ECameraState& state) {
  return ParseName(text, kCameraStateNames, state);
}

bool IsDatabaseUrl(const std::string& rootOrUrl) {
  return rootOrUrl.rfind("postgresql://", 0) == 0 || rootOrUrl.rfind("postgres://", 0) == 0;
}

bool LoadPassword(const std::string& env, const std::string& file, std::string& password,
                  std::string& error) {
  password.clear();
  if (!env.empty()) {
    const char* value = std::getenv(env.c_str());
    if (value == nullptr) {
      error = "the environment variable " + env + " (the password) is not set";
      return false;
    }
    password = value;
    return true;
  }
  if (file.empty()) return true;
  qnvtools::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
    error = "password file " + file + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    error = "password file " + file +
            " must be a regular file owned by this user that no one else may read (chmod 600)";
    return false;
  }
  char buffer[1024];
  const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
  if (n < 0) {
    error = "password file " + file + ": " + std::strerror(errno);
    return false;
  }
  password.assign(buffer, size_t(n));
  password = password.substr(0, password.find_first_of("\r\n"));
  return true;
}

std::string SqlitePathFor(const std::string& root) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r + "/.qnv-recorder/catalogue.sqlite";
}

std::string DescribeTarget(const std::string& rootOrUrl) {
  if (!IsDatabaseUrl(rootOrUrl)) return SqlitePathFor(rootOrUrl);
  return RedactConnectionString(rootOrUrl);
}

std::unique_ptr<ICatalogue> OpenCatalogue(const STarget& target, EOpenMode mode,
                                          std::string& error) {
  std::unique_ptr<ISqlConnection> connection;
  if (IsDatabaseUrl(target.rootOrUrl)) {
    connection = OpenPostgres(target, error);
  } else {
    connection = OpenSqlite(SqlitePathFor(target.rootOrUrl), target, mode, error);
  }
  if (!connection) return nullptr;
  return MakeSqlCatalogue(std::move(connection), DescribeTarget(target.rootOrUrl), mode, error);
}

}  // namespace qnvcat

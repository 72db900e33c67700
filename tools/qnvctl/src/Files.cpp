#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace qnvctl {

namespace {

struct SFdCloser {
  int fd;
  ~SFdCloser() {
    if (fd >= 0) close(fd);
  }
};

std::string Reason(const char* verb, const std::string& path) {
  return std::string(verb) + " " + path + ": " + std::strerror(errno);
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

std::string NotRegular(const char* verb, const std::string& path, mode_t mode) {
  const char* kind = KindOf(mode);
  return std::string(verb) + " " + path + ": " +
         (std::strcmp(kind, "not a regular file") == 0
              ? kind
              : std::string("not a regular file but ") + kind);
}

}  // namespace

bool CheckOutputPath(const std::string& path, std::string& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;  // absent: created later
  error = NotRegular("cannot write", path, st.st_mode);
  return false;
}

bool RegularFileSize(const std::string& path, uint64_t& size, std::string& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = Reason("cannot read", path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = NotRegular("cannot read", path, st.st_mode);
    return false;
  }
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>& out,
                   std::string& error) {
  // Non-blocking, so a FIFO without a writer cannot hold the open; checked
  // on the descriptor, so what is read is what was checked.
  SFdCloser file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
  if (file.fd < 0) {
    error = Reason("cannot read", path);
    return false;
  }
  struct stat st;
  if (fstat(file.fd, &st) != 0) {
    error = Reason("cannot read", path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = NotRegular("cannot read", path, st.st_mode);
    return false;
  }
  fcntl(file.fd, F_SETFL, fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    error = path + " is too large: " + std::to_string(st.st_size) + " bytes, at most " +
            std::to_string(maxBytes) + " allowed";
    return false;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = read(file.fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? Reason("cannot read", path)
                    : "cannot read " + path + ": the file shrank while being read";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string& error) {
  // Opened without blocking and checked before anything is truncated: a
  // FIFO nobody reads would block for ever, a device is no file.
  SFdCloser file{open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644)};
  if (file.fd < 0) {
    error = errno == ENXIO ? "cannot write " + path + ": not a regular file but a FIFO or device"
                           : Reason("cannot write", path);
    return false;
  }
  struct stat st;
  if (fstat(file.fd, &st) != 0) {
    error = Reason("cannot write", path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = NotRegular("cannot write", path, st.st_mode);
    return false;
  }
  if (fcntl(file.fd, F_SETFL, fcntl(file.fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      ftruncate(file.fd, 0) != 0) {
    error = Reason("cannot write", path);
    return false;
  }
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(file.fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("cannot write", path);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  // A full disk may only show at close.
  const int fd = file.fd;
  file.fd = -1;
  if (close(fd) != 0) {
    error = Reason("cannot write", path);
    return false;
  }
  return true;
}

bool MakeDirectories(const std::string& path, std::string& error) {
  if (path.empty()) return true;
  for (size_t at = 1;; ++at) {
    at = path.find('/', at);
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = Reason("cannot create directory", part);
      return false;
    }
    if (at == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "cannot create directory " + path + ": not a directory";
    return false;
  }
  return true;
}

std::string ExecutableDirectory() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  const std::string exe(buffer, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "" : exe.substr(0, slash);
}

}  // namespace qnvctl

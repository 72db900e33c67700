#include "LineFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qnvtools/SafeFile.h"
#include "qnvtools/UniqueFd.h"

namespace qnvcat {
namespace {

constexpr size_t kReadBytes = 64 * 1024;

std::string Errno(const std::string& path) { return path + ": " + std::strerror(errno); }

// A failed qnvtools::OpenRegular in words.
std::string OpenError(const std::string& path) {
  if (errno == ENXIO) return path + ": " + qnvtools::kNotRegular;
  if (errno == ELOOP) return path + ": a link, which is not followed";
  return Errno(path);
}

}  // namespace

CLineReader::~CLineReader() {
  if (m_fd >= 0) ::close(m_fd);
}

bool CLineReader::Open(const std::string& path, uint64_t from, std::string& error) {
  if (m_fd >= 0) ::close(m_fd);
  m_path = path;
  // A FIFO or link planted in the file's place fails at once (never waits).
  m_fd = qnvtools::OpenRegular(path, O_RDONLY).Release();
  if (m_fd < 0) {
    error = OpenError(path);
    return false;
  }
  if (::lseek(m_fd, off_t(from), SEEK_SET) < 0) {
    error = Errno(path);
    return false;
  }
  m_buffer.resize(kReadBytes);
  m_start = m_end = 0;
  m_offset = from;
  m_eof = false;
  return true;
}

bool CLineReader::Fill(std::string& error) {
  if (m_eof) return false;
  if (m_start > 0) {
    std::memmove(m_buffer.data(), m_buffer.data() + m_start, m_end - m_start);
    m_end -= m_start;
    m_start = 0;
  }
  if (m_end == m_buffer.size()) m_buffer.resize(std::min(m_buffer.size() * 2, kMaxLineBytes + 1));
  if (m_end == m_buffer.size()) return false;
  ssize_t n;
  do {
    n = ::read(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error = Errno(m_path);
    return false;
  }
  if (n == 0) m_eof = true;
  m_end += size_t(n);
  return n > 0;
}

bool CLineReader::Next(std::string& line, std::string& error) {
  error.clear();
  bool skipping = false;
  for (;;) {
    const char* begin = m_buffer.data() + m_start;
    const char* nl = static_cast<const char*>(std::memchr(begin, '\n', m_end - m_start));
    if (nl != nullptr) {
      const size_t length = size_t(nl - begin);
      const bool keep = !skipping;
      if (keep) line.assign(begin, length);
      m_start += length + 1;
      m_offset += length + 1;
      if (keep) return true;
      skipping = false;
      continue;
    }
    if (m_end - m_start > kMaxLineBytes) {
      // Too long to be ours: drop what is buffered and the rest of the line.
      if (!skipping) ++m_tooLong;
      skipping = true;
      m_offset += m_end - m_start;
      m_start = m_end = 0;
    }
    if (!Fill(error)) return false;
  }
}

bool AppendLines(const std::string& path, const std::string& text, bool sync, std::string& error,
                 unsigned mode) {
  const qnvtools::UniqueFd file =
      qnvtools::OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, mode_t(mode));
  const int fd = file.Get();
  if (fd < 0) {
    error = OpenError(path);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = Errno(path);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = Errno(path);
      // No torn line stays behind.
      if (::ftruncate(fd, st.st_size) != 0) error += " (and it could not be cut back)";
      return false;
    }
    done += size_t(n);
  }
  if (sync && ::fdatasync(fd) != 0) {
    error = Errno(path);
    return false;
  }
  return true;
}

bool DropTornTail(const std::string& path, std::string& error) {
  const qnvtools::UniqueFd file = qnvtools::OpenRegular(path, O_RDWR);
  const int fd = file.Get();
  if (fd < 0) {
    error = OpenError(path);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = Errno(path);
    return false;
  }
  // Walk back from the end to the last newline.
  off_t end = st.st_size;
  char buf[4096];
  off_t keep = 0;
  while (end > 0) {
    const off_t from = std::max<off_t>(0, end - off_t(sizeof buf));
    const ssize_t n = ::pread(fd, buf, size_t(end - from), from);
    if (n <= 0) break;
    const char* nl = static_cast<const char*>(memrchr(buf, '\n', size_t(n)));
    if (nl != nullptr) {
      keep = from + (nl - buf) + 1;
      break;
    }
    end = from;
  }
  bool ok = true;
  if (keep != st.st_size && ::ftruncate(fd, keep) != 0) {
    error = Errno(path);
    ok = false;
  }
  return ok;
}

bool MakeFolder(const std::string& dir, std::string& error) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    error =
        dir + ": not a folder" + (S_ISLNK(st.st_mode) ? " (a link, which is not followed)" : "");
    return false;
  }
  const size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolder(dir.substr(0, slash), error)) {
    return false;
  }
  if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
    error = "cannot create " + Errno(dir);
    return false;
  }
  return true;
}

}  // namespace qnvcat

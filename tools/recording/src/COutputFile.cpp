#include "qnvrecording/COutputFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qnvrec {

COutputFile::~COutputFile() {
  if (!m_committed && !m_temp.empty() && StillOurs()) ::unlink(m_temp.c_str());
}

bool COutputFile::StillOurs() const {
  struct stat st;
  return ::lstat(m_temp.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         SFileId{st.st_dev, st.st_ino, true} == m_tempId;
}

bool COutputFile::CheckTarget(std::string& error) const {
  struct stat st;
  if (::stat(m_path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    error = "cannot write " + m_path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "cannot write " + m_path + ": " +
            (S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
    return false;
  }
  const SFileId id{st.st_dev, st.st_ino, true};
  for (const SFileId& input : m_inputs) {
    if (id == input) {
      error = "the output " + m_path + " is the recording itself (one of its input files)";
      return false;
    }
  }
  return true;
}

bool COutputFile::Prepare(const std::string& path, const std::vector<SFileId>& inputs,
                          std::string& error) {
  m_path = path;
  m_inputs = inputs;
  if (path.empty() || path.back() == '/') {
    error = "the output \"" + path + "\" names no file";
    return false;
  }
  if (!CheckTarget(error)) return false;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = dir + "." + name + ".part-XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(pattern.c_str());
    return false;
  }
  ::close(fd);
  m_temp = pattern;
  m_tempId = SFileId{st.st_dev, st.st_ino, true};
  return true;
}

bool COutputFile::Commit(std::string& error) {
  if (!StillOurs()) {
    error = "the output being written, " + m_temp + ", was replaced or removed meanwhile";
    return false;
  }
  // Checked again: the path may have changed since the export began.
  if (!CheckTarget(error)) return false;
  // mkstemp made the file private; the result gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(m_temp.c_str(), 0666 & ~mask);
  if (::rename(m_temp.c_str(), m_path.c_str()) != 0) {
    error = "cannot put the output in place at " + m_path + ": " + std::strerror(errno);
    return false;
  }
  m_committed = true;
  return true;
}

}  // namespace qnvrec

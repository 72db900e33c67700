#include "record/COpenPathSet.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "record/SavePath.h"

namespace qnv {

bool COpenPathSet::ReserveIds(const platform::SFileIdentity& a, const platform::SFileIdentity& b) {
  platform::CLockGuard lock(m_mutex);
  if (a == b || m_ids.count(a) != 0 || m_ids.count(b) != 0) return false;
  m_ids.insert(a);
  m_ids.insert(b);
  return true;
}

bool COpenPathSet::HasId(const platform::SFileIdentity& a) {
  platform::CLockGuard lock(m_mutex);
  return m_ids.count(a) != 0;
}

void COpenPathSet::ReleaseIds(const platform::SFileIdentity& a, const platform::SFileIdentity& b) {
  platform::CLockGuard lock(m_mutex);
  m_ids.erase(a);
  m_ids.erase(b);
}

bool COpenPathSet::Reserve(const std::string& a, const std::string& b) {
  platform::CLockGuard lock(m_mutex);
  if (m_paths.count(a) != 0 || m_paths.count(b) != 0) return false;
  m_paths.insert(a);
  m_paths.insert(b);
  return true;
}

void COpenPathSet::Release(const std::string& a, const std::string& b) {
  platform::CLockGuard lock(m_mutex);
  m_paths.erase(a);
  m_paths.erase(b);
}

std::string COpenPathSet::CanonicalPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) != nullptr) return buf;
  SSplitPath parts = SplitPath(path);
  std::string leaf = parts.name + parts.ext;
  std::string dir = parts.drive + parts.dir;
  if (::realpath(dir.empty() ? "." : dir.c_str(), buf) != nullptr) {
    std::string result = buf;
    if (result.empty() || result.back() != '/') result.push_back('/');
    return result + leaf;
  }
  // The directory is missing, so the files cannot be opened anyway.
  if (!path.empty() && path[0] == '/') return path;
  if (::getcwd(buf, sizeof buf) == nullptr) return path;
  return std::string(buf) + "/" + path;
}

COpenPathSet& OpenPaths() {
  static COpenPathSet set;
  return set;
}

}  // namespace qnv

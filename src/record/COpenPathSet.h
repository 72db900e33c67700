// COpenPathSet: every data and index file that an open recording of this
// process writes, by canonical path and by identity (device and inode: a hard
// link or a second mount reaches the same file under another path), across
// all channels: two recordings writing one file would interleave their bytes
// into garbage. One set per process (OpenPaths); any thread (its own mutex).
#ifndef QNV_RECORD_COPENPATHSET_H
#define QNV_RECORD_COPENPATHSET_H

#include <mutex>
#include <set>
#include <string>

#include "platform/File.h"
#include "platform/ThreadAnnotations.h"

namespace qnv {

class COpenPathSet {
 public:
  // Both identities, unless either is taken or they are one file.
  bool ReserveIds(const platform::SFileIdentity& a, const platform::SFileIdentity& b);
  bool HasId(const platform::SFileIdentity& a);
  void ReleaseIds(const platform::SFileIdentity& a, const platform::SFileIdentity& b);
  // Both canonical paths, unless either is taken.
  bool Reserve(const std::string& a, const std::string& b);
  void Release(const std::string& a, const std::string& b);

  // The path with its directory resolved (symbolic links, "..", relative
  // paths); an existing file is resolved whole, so a link to an open file is
  // caught too.
  static std::string CanonicalPath(const std::string& path);

 private:
  platform::CMutex m_mutex;
  std::set<std::string> m_paths GUARDED_BY(m_mutex);
  std::set<platform::SFileIdentity> m_ids GUARDED_BY(m_mutex);
};

// The process's one set.
COpenPathSet& OpenPaths();

}  // namespace qnv

#endif  // QNV_RECORD_COPENPATHSET_H

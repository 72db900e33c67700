#include "record/SaveDir.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Debug.h"

namespace qnv {

namespace {

// Stands in for a modal message box: the user of a library without a window
// sees the text on stderr, a developer on the debug channel.
void ShowErrorText(const std::string& level, const std::string& text) {
  std::string line = "QNVNetSdk: cannot create directory \"" + level + "\": " + text;
  std::fprintf(stderr, "%s\n", line.c_str());
  platform::DebugOutput(line.c_str());
}

// Makes one level whose parent exists. A level that another thread or process
// made between the test and the creation counts as made.
bool MakeLevel(const std::string& level) {
  if (DirExists(level)) return true;
  if (::mkdir(level.c_str(), 0777) == 0) return true;
  int err = errno;
  if (err == EEXIST && DirExists(level)) return true;
  errno = err;
  ShowErrorText(level, SystemErrorText());
  return false;
}

}  // namespace

bool DirExists(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirs(std::string path) {
  std::string built;
  std::string rest = std::move(path);
  size_t slash;
  while (!rest.empty() && (slash = rest.find('/')) != std::string::npos) {
    built.append(rest, 0, slash);
    // An absolute path's empty first component is the root, which exists; an
    // empty component further on ("a//b") names the level already made.
    if (!built.empty() && !MakeLevel(built)) return false;
    built.push_back('/');
    rest.erase(0, slash + 1);
  }
  built += rest;
  return MakeLevel(built);
}

std::string SystemErrorText() {
  int err = errno;
  if (err == 0) return std::string();
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  std::string result = text != nullptr ? text : "";
  errno = err;
  return result;
}

}  // namespace qnv

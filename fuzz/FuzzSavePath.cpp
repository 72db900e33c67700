// Fuzzes the recording path rules on arbitrary strings: SplitPath must cut a
// path into parts that rebuild it, the index path must be what the recording
// reader looks for, and CreateDirs must report exactly whether the directory
// exists afterwards. Directory creation is confined to a private temporary
// root, emptied after every run; inputs with a ".." component are not used
// for creation, so nothing outside the root is touched.
//
// Input: the path text. Byte 0x01 stands for a regular file placed in the way
// at that point of the path, so creation meets levels that cannot be made.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "FuzzInput.h"
#include "platform/Debug.h"
#include "qnvrecording/CRecordingReader.h"
#include "record/SaveDir.h"
#include "record/SavePath.h"

namespace qnv::fuzz {

using namespace protocol;
namespace {

std::string g_root;

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
  ::remove(path);
  return 0;
}

void EmptyRoot() {
  ::nftw(g_root.c_str(), &RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  ::mkdir(g_root.c_str(), 0700);
}

bool HasDotDot(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    size_t end = slash == std::string::npos ? path.size() : slash;
    if (path.compare(start, end - start, "..") == 0) return true;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return false;
}

void CheckSplit(const std::string& path) {
  SSplitPath parts = SplitPath(path);
  QNV_FUZZ_CHECK(parts.drive.empty());
  QNV_FUZZ_CHECK(parts.drive + parts.dir + parts.name + parts.ext == path);
  QNV_FUZZ_CHECK(parts.dir.empty() || parts.dir.back() == '/');
  QNV_FUZZ_CHECK(parts.name.find('/') == std::string::npos);
  QNV_FUZZ_CHECK(parts.ext.find('/') == std::string::npos);
  QNV_FUZZ_CHECK(parts.ext.empty() ||
                 (parts.ext[0] == '.' && parts.ext.find('.', 1) == std::string::npos));
  if (parts.ext.empty()) QNV_FUZZ_CHECK(parts.name.find('.') == std::string::npos);
  // The reader finds the index where the library writes it.
  const std::string index = IndexPathFor(path);
  QNV_FUZZ_CHECK(index == qnvrec::IndexPathFor(path));
  QNV_FUZZ_CHECK(index == parts.dir + parts.name + kIndexExtension);
}

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace qnv::fuzz;
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string templ = std::string(base) + "/qnv-fuzz-dirs-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) Fail("no temporary root");
  g_root = templ;
  // Failed levels are reported on the debug channel; keep it quiet.
  qnv::platform::SetDebugSinkForTesting([](const char*) {});
  std::atexit([] { ::nftw(g_root.c_str(), &RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv;
  using namespace qnv::fuzz;
  std::string text(reinterpret_cast<const char*>(data), size);
  CheckSplit(text);

  // Directory creation: a bounded path without NULs or "..", under the root.
  // The check is made on the path as it will be used, markers taken out
  // (".\x01." would otherwise become "..").
  std::string used;
  for (char c : text)
    if (c != '\x01') used.push_back(c);
  if (size > 512 || used.find('\0') != std::string::npos || HasDotDot(used)) return 0;
  std::string path = g_root + "/";
  for (char c : text) {
    if (c == '\x01') {
      // A regular file in the way at this level.
      std::string file = path;
      while (!file.empty() && file.back() == '/') file.pop_back();
      if (file.size() > g_root.size() && !HasDotDot(file.substr(g_root.size()))) {
        CreateDirs(file.substr(0, file.rfind('/')));
        FILE* f = std::fopen(file.c_str(), "wx");
        if (f != nullptr) std::fclose(f);
      }
      continue;
    }
    path.push_back(c);
  }
  QNV_FUZZ_CHECK(path.compare(0, g_root.size() + 1, g_root + "/") == 0 && !HasDotDot(path));
  const bool made = CreateDirs(path);
  QNV_FUZZ_CHECK(made == DirExists(path));
  QNV_FUZZ_CHECK(DirExists(g_root));
  EmptyRoot();
  return 0;
}

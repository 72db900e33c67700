#include "web/PageFiles.h"

#include <iterator>

namespace qnvrecorder {
namespace {

// Made at build time from tools/recorder/page/ (EmbedPage.cmake): entries of
// {"/NAME", "TYPE", R"(...)" text, false}.
const SPageFile kFiles[] = {
#include "web/PageData.inc"
};

bool OpenFile(std::string_view path) {
  return path == "/login.html" || path == "/login.js" || path == "/style.css";
}

}  // namespace

const SPageFile* FindPageFile(const std::string& path) {
  for (const SPageFile& f : kFiles) {
    if (f.path == path) {
      static thread_local SPageFile found;
      found = f;
      found.open = OpenFile(f.path);
      return &found;
    }
  }
  return nullptr;
}

}  // namespace qnvrecorder

// PageFiles: the web page's files (HTML, CSS, JavaScript as they are in
// tools/recorder/page/, no build step), built into the binary so the page
// always matches the server that serves it.
#pragma once

#include <string>
#include <string_view>

namespace qnvrecorder {

struct SPageFile {
  std::string_view path;  // "/index.html"
  const char* type;       // its Content-Type
  std::string_view body;
  bool open;  // served without a login (the login page and what it uses)
};

// The file at a URL path, or nullptr.
const SPageFile* FindPageFile(const std::string& path);

}  // namespace qnvrecorder

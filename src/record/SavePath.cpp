#include "record/SavePath.h"

namespace qnv {

SSplitPath SplitPath(const std::string& path) {
  SSplitPath parts;
  size_t slash = path.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  parts.dir = path.substr(0, nameStart);
  // Only a dot in the final component starts an extension.
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) {
    parts.name = path.substr(nameStart);
  } else {
    parts.name = path.substr(nameStart, dot - nameStart);
    parts.ext = path.substr(dot);
  }
  return parts;
}

std::string IndexPathFor(const std::string& dataPath) {
  SSplitPath parts = SplitPath(dataPath);
  return parts.drive + parts.dir + parts.name + protocol::kIndexExtension;
}

}  // namespace qnv

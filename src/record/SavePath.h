// Names of a recording's two files: the data path as the host gave it and the
// index path derived from it. Pure functions; any thread may call them.
#ifndef QNV_RECORD_SAVEPATH_H
#define QNV_RECORD_SAVEPATH_H

#include <string>

#include "protocol/IndexRecord.h"

namespace qnv {

// A path cut into four parts that concatenate to the whole path.
struct SSplitPath {
  std::string drive;  // always empty: Linux paths have no drive
  std::string dir;    // up to and including the last '/', or empty
  std::string name;   // the final component up to its last dot
  std::string ext;    // the final component from its last dot on, or empty
};

SSplitPath SplitPath(const std::string& path);

// drive + dir + name + ".idx": /v/cam1.dat -> /v/cam1.idx, cam1 -> cam1.idx.
std::string IndexPathFor(const std::string& dataPath);

}  // namespace qnv

#endif  // QNV_RECORD_SAVEPATH_H

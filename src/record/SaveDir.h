// Creation of a recording's directory. The three operations keep no state and
// take no lock; any thread may call them.
#ifndef QNV_RECORD_SAVEDIR_H
#define QNV_RECORD_SAVEDIR_H

#include <string>

namespace qnv {

// True when the path names an existing directory. An empty path is never one.
bool DirExists(const std::string& path);

// Creates every missing level of a '/'-separated path, parents first. True
// when the whole path is a directory at the end. On the first level that
// cannot be made, one line with the system's error text goes to stderr and to
// the debug channel, and the result is false; levels made before it stay.
bool CreateDirs(std::string path);

// The system's text for the calling thread's errno; empty when errno is 0.
std::string SystemErrorText();

}  // namespace qnv

#endif  // QNV_RECORD_SAVEDIR_H

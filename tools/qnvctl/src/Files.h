// Whole-file reading and writing for the commands' FILE arguments, with
// one-line error messages that name the file and the reason.
#ifndef QNVCTL_FILES_H
#define QNVCTL_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qnvctl {

// Reads the whole file; fails for a file larger than maxBytes (the message
// says so) and for anything that is not a readable regular file.
bool ReadWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>& out,
                   std::string& error);
// Creates or replaces the file with exactly these bytes.
bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string& error);
// Whether path may be written as an output: absent or a regular file (a
// FIFO, device or directory would block or is no file); checked without
// opening anything. False with a message naming what it is.
bool CheckOutputPath(const std::string& path, std::string& error);
// Size of a regular file; false with a message otherwise.
bool RegularFileSize(const std::string& path, uint64_t& size, std::string& error);
// Creates a directory and its parents (like mkdir -p).
bool MakeDirectories(const std::string& path, std::string& error);
// The directory this program was started from (from /proc/self/exe), or "".
std::string ExecutableDirectory();

}  // namespace qnvctl

#endif  // QNVCTL_FILES_H

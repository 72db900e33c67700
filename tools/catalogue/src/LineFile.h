// Line-by-line reading and whole-line appending of the catalogue's own text
// files (the replay queue's chunks and the journal): bounded line length,
// byte offsets known, nothing followed through a link. Plain functions and a
// reader owning its descriptor; one thread.
#ifndef QNVCATALOGUE_LINEFILE_H
#define QNVCATALOGUE_LINEFILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace qnvcat {

// Longest line read back; a longer one (not ours) is skipped whole.
inline constexpr size_t kMaxLineBytes = 1u << 20;

class CLineReader {
 public:
  CLineReader() = default;
  ~CLineReader();
  CLineReader(const CLineReader&) = delete;
  CLineReader& operator=(const CLineReader&) = delete;

  // Opens path for reading from byte offset `from`.
  bool Open(const std::string& path, uint64_t from, std::string& error);
  // The next whole line (without its newline). False at the end of the whole
  // lines (a last line without a newline is not whole) or on a read error
  // (error set). `tooLong` counts lines skipped for their length.
  bool Next(std::string& line, std::string& error);
  // Offset just past the last line Next returned (or skipped).
  uint64_t Offset() const { return m_offset; }
  uint64_t TooLong() const { return m_tooLong; }

 private:
  bool Fill(std::string& error);

  int m_fd = -1;
  std::string m_path;
  std::vector<char> m_buffer;
  size_t m_start = 0, m_end = 0;  // unread bytes in m_buffer
  uint64_t m_offset = 0;          // file offset of m_buffer[m_start]
  uint64_t m_tooLong = 0;
  bool m_eof = false;
};

// Appends `text` (whole lines) to path with O_APPEND, creating it (mode 0600
// unless `mode` says otherwise). On a failed or short write the file is cut
// back to its old length, so no torn line stays. sync: fdatasync after.
bool AppendLines(const std::string& path, const std::string& text, bool sync, std::string& error,
                 unsigned mode = 0600);

// Cuts a torn last line (bytes after the last newline) off path.
bool DropTornTail(const std::string& path, std::string& error);

// Creates dir (and its parents) when missing; refuses a link or a non-folder.
bool MakeFolder(const std::string& dir, std::string& error);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_LINEFILE_H

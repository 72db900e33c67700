#include "qnvcatalogue/CReplayQueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>

#include "LineFile.h"
#include "qnvtools/SafeFile.h"

namespace qnvcat {
namespace {

constexpr const char* kChunkSuffix = ".jsonl";
constexpr size_t kChunkDigits = 20;

bool ChunkNumber(const char* name, uint64_t& n) {
  const size_t length = std::strlen(name);
  if (length != kChunkDigits + std::strlen(kChunkSuffix) ||
      std::strcmp(name + kChunkDigits, kChunkSuffix) != 0) {
    return false;
  }
  n = 0;
  for (size_t i = 0; i < kChunkDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    n = n * 10 + uint64_t(name[i] - '0');
  }
  return true;
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
}

}  // namespace

std::string CReplayQueue::ChunkPath(uint64_t chunk) const {
  char name[32];
  std::snprintf(name, sizeof name, "%020" PRIu64 "%s", chunk, kChunkSuffix);
  return m_dir + "/" + name;
}

bool CReplayQueue::Open(const std::string& dir, uint64_t maxBytes, std::string& error) {
  m_dir = dir;
  m_maxBytes = maxBytes;
  if (!MakeFolder(dir, error)) return false;
  std::set<uint64_t> chunks;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    error = dir + ": " + std::strerror(errno);
    return false;
  }
  while (dirent* e = ::readdir(d)) {
    uint64_t n;
    // Only regular files are chunks: anything else under a chunk's name
    // (a planted FIFO or link) is not ours and is never opened to be read.
    struct stat st;
    if (ChunkNumber(e->d_name, n) &&
        ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      chunks.insert(n);
    }
  }
  ::closedir(d);
  m_headChunk = chunks.empty() ? 1 : *chunks.begin();
  m_headOffset = 0;
  // Read without following a link (or waiting on a pipe) planted in its place.
  const int headFd = qnvtools::OpenRegular(dir + "/head", O_RDONLY).Release();
  FILE* f = headFd < 0 ? nullptr : ::fdopen(headFd, "r");
  if (f == nullptr && headFd >= 0) ::close(headFd);
  if (f != nullptr) {
    uint64_t chunk = 0, offset = 0;
    if (std::fscanf(f, "%" SCNu64 " %" SCNu64, &chunk, &offset) == 2 && chunks.count(chunk) &&
        offset <= FileSize(ChunkPath(chunk))) {
      m_headChunk = chunk;
      m_headOffset = offset;
    }
    std::fclose(f);
  }
  // Chunks before the head were applied (a crash came before their removal).
  for (auto it = chunks.begin(); it != chunks.end() && *it < m_headChunk;) {
    ::unlink(ChunkPath(*it).c_str());
    it = chunks.erase(it);
  }
  m_tailChunk = chunks.empty() ? m_headChunk : *chunks.rbegin();
  if (!chunks.empty() && !DropTornTail(ChunkPath(m_tailChunk), error)) return false;
  m_bytes = 0;
  for (uint64_t c : chunks) m_bytes += FileSize(ChunkPath(c));
  m_tailBytes = FileSize(ChunkPath(m_tailChunk));
  m_bytes -= std::min(m_bytes, m_headOffset);
  m_peekChunk = m_headChunk;
  m_peekOffset = m_headOffset;
  m_peekBytes = 0;
  return true;
}

bool CReplayQueue::Append(std::span<const SOp> ops, size_t& taken, std::string& error) {
  taken = 0;
  // Lines go to the tail chunk until it is full, then to a new one.
  std::string text;
  uint64_t total = m_bytes;
  auto flush = [&]() {
    if (text.empty()) return true;
    if (!AppendLines(ChunkPath(m_tailChunk), text, true, error)) return false;
    m_tailBytes += text.size();
    m_bytes += text.size();
    text.clear();
    return true;
  };
  size_t accepted = 0;
  for (const SOp& op : ops) {
    std::string line = OpToJson(op) + "\n";
    if (total + line.size() > m_maxBytes) break;
    if (m_tailBytes + text.size() > 0 && m_tailBytes + text.size() + line.size() > kChunkBytes) {
      if (!flush()) return false;
      taken = accepted;
      ++m_tailChunk;
      m_tailBytes = 0;
    }
    text += line;
    total += line.size();
    ++accepted;
  }
  if (!flush()) return false;
  taken = accepted;
  return true;
}

bool CReplayQueue::Peek(size_t max, std::vector<SOp>& ops, std::string& error) {
  ops.clear();
  m_peekChunk = m_headChunk;
  m_peekOffset = m_headOffset;
  m_peekBytes = 0;
  while (ops.size() < max && m_peekBytes < m_bytes) {
    CLineReader reader;
    if (!reader.Open(ChunkPath(m_peekChunk), m_peekOffset, error)) return false;
    std::string line, why;
    SOp op;
    const uint64_t before = reader.Offset();
    while (ops.size() < max && reader.Next(line, error)) {
      if (OpFromJson(line, op, why)) {
        ops.push_back(std::move(op));
      } else {
        ++m_unreadable;
      }
    }
    if (!error.empty()) return false;
    m_unreadable += reader.TooLong();
    m_peekBytes += reader.Offset() - before;
    m_peekOffset = reader.Offset();
    if (ops.size() < max && m_peekChunk < m_tailChunk) {
      // This chunk is done: the rest of it (nothing, or a torn line) counts as read.
      m_peekBytes += FileSize(ChunkPath(m_peekChunk)) - m_peekOffset;
      ++m_peekChunk;
      m_peekOffset = 0;
    } else {
      break;
    }
  }
  return true;
}

bool CReplayQueue::Pop(std::string& error) {
  for (uint64_t c = m_headChunk; c < m_peekChunk; ++c) ::unlink(ChunkPath(c).c_str());
  m_headChunk = m_peekChunk;
  m_headOffset = m_peekOffset;
  m_bytes -= std::min(m_bytes, m_peekBytes);
  m_peekBytes = 0;
  if (m_bytes == 0) {
    // Empty: start afresh in the head chunk's place.
    ::unlink(ChunkPath(m_headChunk).c_str());
    m_tailChunk = m_headChunk = m_headChunk + 1;
    m_headOffset = m_tailBytes = 0;
    m_peekChunk = m_headChunk;
    m_peekOffset = 0;
  }
  return SaveHead(error);
}

bool CReplayQueue::SaveHead(std::string& error) {
  const std::string path = m_dir + "/head", temp = m_dir + "/head.tmp";
  char text[64];
  const int n =
      std::snprintf(text, sizeof text, "%" PRIu64 " %" PRIu64 "\n", m_headChunk, m_headOffset);
  ::unlink(temp.c_str());
  if (!AppendLines(temp, std::string(text, size_t(n)), false, error)) return false;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace qnvcat

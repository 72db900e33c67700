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
  return dir_ + "/" + name;
}

bool CReplayQueue::Open(const std::string& dir, uint64_t maxBytes, std::string& error) {
  dir_ = dir;
  maxBytes_ = maxBytes;
  if (!MakeFolder(dir, error)) return false;
  std::set<uint64_t> chunks;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    error = dir + ": " + std::strerror(errno);
    return false;
  }
  while (dirent* e = ::readdir(d)) {
    uint64_t n;
    if (ChunkNumber(e->d_name, n)) chunks.insert(n);
  }
  ::closedir(d);
  headChunk_ = chunks.empty() ? 1 : *chunks.begin();
  headOffset_ = 0;
  // Read without following a link (or waiting on a pipe) planted in its place.
  const int headFd =
      ::open((dir + "/head").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  FILE* f = headFd < 0 ? nullptr : ::fdopen(headFd, "r");
  if (f == nullptr && headFd >= 0) ::close(headFd);
  if (f != nullptr) {
    uint64_t chunk = 0, offset = 0;
    if (std::fscanf(f, "%" SCNu64 " %" SCNu64, &chunk, &offset) == 2 && chunks.count(chunk) &&
        offset <= FileSize(ChunkPath(chunk))) {
      headChunk_ = chunk;
      headOffset_ = offset;
    }
    std::fclose(f);
  }
  // Chunks before the head were applied (a crash came before their removal).
  for (auto it = chunks.begin(); it != chunks.end() && *it < headChunk_;) {
    ::unlink(ChunkPath(*it).c_str());
    it = chunks.erase(it);
  }
  tailChunk_ = chunks.empty() ? headChunk_ : *chunks.rbegin();
  if (!chunks.empty() && !DropTornTail(ChunkPath(tailChunk_), error)) return false;
  bytes_ = 0;
  for (uint64_t c : chunks) bytes_ += FileSize(ChunkPath(c));
  tailBytes_ = FileSize(ChunkPath(tailChunk_));
  bytes_ -= std::min(bytes_, headOffset_);
  peekChunk_ = headChunk_;
  peekOffset_ = headOffset_;
  peekBytes_ = 0;
  return true;
}

bool CReplayQueue::Append(std::span<const SOp> ops, size_t& taken, std::string& error) {
  taken = 0;
  // Lines go to the tail chunk until it is full, then to a new one.
  std::string text;
  uint64_t total = bytes_;
  auto flush = [&]() {
    if (text.empty()) return true;
    if (!AppendLines(ChunkPath(tailChunk_), text, true, error)) return false;
    tailBytes_ += text.size();
    bytes_ += text.size();
    text.clear();
    return true;
  };
  size_t accepted = 0;
  for (const SOp& op : ops) {
    std::string line = OpToJson(op) + "\n";
    if (total + line.size() > maxBytes_) break;
    if (tailBytes_ + text.size() > 0 && tailBytes_ + text.size() + line.size() > kChunkBytes) {
      if (!flush()) return false;
      taken = accepted;
      ++tailChunk_;
      tailBytes_ = 0;
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
  peekChunk_ = headChunk_;
  peekOffset_ = headOffset_;
  peekBytes_ = 0;
  while (ops.size() < max && peekBytes_ < bytes_) {
    CLineReader reader;
    if (!reader.Open(ChunkPath(peekChunk_), peekOffset_, error)) return false;
    std::string line, why;
    SOp op;
    const uint64_t before = reader.Offset();
    while (ops.size() < max && reader.Next(line, error)) {
      if (OpFromJson(line, op, why)) {
        ops.push_back(std::move(op));
      } else {
        ++unreadable_;
      }
    }
    if (!error.empty()) return false;
    unreadable_ += reader.TooLong();
    peekBytes_ += reader.Offset() - before;
    peekOffset_ = reader.Offset();
    if (ops.size() < max && peekChunk_ < tailChunk_) {
      // This chunk is done: the rest of it (nothing, or a torn line) counts as read.
      peekBytes_ += FileSize(ChunkPath(peekChunk_)) - peekOffset_;
      ++peekChunk_;
      peekOffset_ = 0;
    } else {
      break;
    }
  }
  return true;
}

bool CReplayQueue::Pop(std::string& error) {
  for (uint64_t c = headChunk_; c < peekChunk_; ++c) ::unlink(ChunkPath(c).c_str());
  headChunk_ = peekChunk_;
  headOffset_ = peekOffset_;
  bytes_ -= std::min(bytes_, peekBytes_);
  peekBytes_ = 0;
  if (bytes_ == 0) {
    // Empty: start afresh in the head chunk's place.
    ::unlink(ChunkPath(headChunk_).c_str());
    tailChunk_ = headChunk_ = headChunk_ + 1;
    headOffset_ = tailBytes_ = 0;
    peekChunk_ = headChunk_;
    peekOffset_ = 0;
  }
  return SaveHead(error);
}

bool CReplayQueue::SaveHead(std::string& error) {
  const std::string path = dir_ + "/head", temp = dir_ + "/head.tmp";
  char text[64];
  const int n =
      std::snprintf(text, sizeof text, "%" PRIu64 " %" PRIu64 "\n", headChunk_, headOffset_);
  ::unlink(temp.c_str());
  if (!AppendLines(temp, std::string(text, size_t(n)), false, error)) return false;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace qnvcat

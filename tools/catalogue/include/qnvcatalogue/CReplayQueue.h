// CReplayQueue: the catalogue writes a database could not take yet, kept on
// disk in order until it can: a folder of its own holding chunk files
// (NNNNNNNNNNNNNNNNNNNN.jsonl, one op a line, synced as appended) and a
// `head` file naming the first op not yet applied. Bounded: ops that would
// take it over maxBytes are refused (and counted by the caller). A torn last
// line (a crash mid-append) is cut off when it opens; a lost `head` only
// means some ops are applied twice, which ops allow. One thread; owns the
// folder's files.
#ifndef QNVCATALOGUE_CREPLAYQUEUE_H
#define QNVCATALOGUE_CREPLAYQUEUE_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qnvcatalogue/Ops.h"

namespace qnvcat {

class CReplayQueue {
 public:
  static constexpr uint64_t kChunkBytes = 4u << 20;

  CReplayQueue() = default;
  CReplayQueue(const CReplayQueue&) = delete;
  CReplayQueue& operator=(const CReplayQueue&) = delete;

  // Opens (creating) the folder and finds what it still holds.
  bool Open(const std::string& dir, uint64_t maxBytes, std::string& error);

  bool Empty() const { return m_bytes == 0; }
  uint64_t Bytes() const { return m_bytes; }  // not yet popped
  const std::string& Dir() const { return m_dir; }

  // Appends ops in order, synced. `taken` says how many fit under the bound
  // (the first ones); false on a write error (then none were taken).
  bool Append(std::span<const SOp> ops, size_t& taken, std::string& error);
  // The first ops (at most max) without removing them. Lines that are not
  // ops are passed over and counted in Unreadable().
  bool Peek(size_t max, std::vector<SOp>& ops, std::string& error);
  // Removes what the last Peek returned.
  bool Pop(std::string& error);
  uint64_t Unreadable() const { return m_unreadable; }

 private:
  std::string ChunkPath(uint64_t chunk) const;
  bool SaveHead(std::string& error);

  std::string m_dir;
  uint64_t m_maxBytes = 0;
  uint64_t m_bytes = 0;
  uint64_t m_headChunk = 0, m_headOffset = 0;  // first op not yet applied
  uint64_t m_tailChunk = 0, m_tailBytes = 0;   // where appends go, and its size
  uint64_t m_peekChunk = 0, m_peekOffset = 0;  // just past the last Peek
  uint64_t m_peekBytes = 0;
  uint64_t m_unreadable = 0;
};

}  // namespace qnvcat

#endif  // QNVCATALOGUE_CREPLAYQUEUE_H

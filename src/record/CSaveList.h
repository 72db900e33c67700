// CSaveList: the recordings of one live channel, at most 16, in the order they
// were opened. Owns every tagSSaveData and through them the open files. Not
// thread-safe: the channel's save mutex guards every call (the host's thread
// opens and closes, the receive thread writes frames). The queue handed to
// Open must stay valid for that call only.
#ifndef QNV_RECORD_CSAVELIST_H
#define QNV_RECORD_CSAVELIST_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/FrameHeader.h"
#include "record/GroupStart.h"
#include "record/tagSSaveData.h"

namespace qnv {

class CStreamQueue;

constexpr size_t kMaxSaves = 16;
constexpr uint32_t kSaveSizeLimit = 0x40000000;  // 1 GiB keeps offsets within 32 bits

class CSaveList {
 public:
  CSaveList();
  ~CSaveList();  // ends any recording still open
  CSaveList(const CSaveList&) = delete;
  CSaveList& operator=(const CSaveList&) = delete;

  // Starts a recording of dataPath (index file beside it, ".idx"), beginning
  // with the queue's pre-record stretch. 0 with id set to the smallest free
  // 1..16; QNVNET_ERR_TOO_MANY_SAVES with 16 open; QNVNET_ERR_SAVE_OPEN when a
  // file cannot be created or written, the path ends in ".idx", either path
  // names a FIFO, device or directory, the index path is a symbolic link, or
  // an open recording of this process already writes one of the two files
  // (by path, or by device and inode) or both are one file (in these cases
  // nothing is created or truncated). id is written only on success.
  uint32_t Open(const char* dataPath, const CStreamQueue& queue, uint32_t& id);

  // Ends the recording with this id: 0, or QNVNET_ERR_NO_SAVE. Closing a
  // rollover's new recording before it took over cancels the rollover.
  uint32_t Close(uint32_t id);

  // The recording with this id goes on with the next frame rather than
  // waiting for a key frame (its pre-record part ended with the newest
  // delivered frame). False for an unknown id.
  bool StartNow(uint32_t id);

  // Opens a recording of newPath without a pre-record part (as Open) that
  // takes over from recording id at the next key frame: id ends before that
  // frame, the new one begins with it. 0 with newId set;
  // QNVNET_ERR_NO_SAVE for an unknown id; QNVNET_ERR_ROLLOVER_PENDING when id
  // already hands over, or is itself waiting to take over; else as Open.
  uint32_t Rollover(uint32_t id, const char* newPath, uint32_t& newId);

  // Appends one delivered frame (header after the key-frame probe, body = the
  // bytes after the header) to every recording that has seen a key frame.
  // A recording whose write fails, or that reaches the size limit, ends here.
  void WriteFrame(const protocol::SFrameIndex& header, const uint8_t* body, uint32_t length);

  void CloseAll();
  size_t Count() const { return m_saves.size(); }

  // Lowers the 1 GiB limit so tests can reach it; 0 restores the default.
  static void SetSizeLimitForTesting(uint32_t bytes);

 private:
  enum class EndReason { kClosed, kSizeLimit, kWriteFailed };
  // The smallest id no open recording has (1..16), or 0.
  uint32_t FreeId() const;
  // Closes the files of m_saves[i], repairs them after a failure, releases its
  // paths and removes it; later entries move up by one.
  void End(size_t i, EndReason reason, const std::string& error);

  std::vector<std::unique_ptr<tagSSaveData>> m_saves;
  CGroupStart m_groupStart;  // over every frame written, for hand-overs
};

}  // namespace qnv

#endif  // QNV_RECORD_CSAVELIST_H

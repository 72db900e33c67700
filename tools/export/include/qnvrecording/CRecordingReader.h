// CRecordingReader: opens a recording (data file + index file), checks that
// the two agree and keeps the longest consistent run of frames from the
// start. Owns both open files and the index in memory; one thread at a time.
#ifndef QNVRECORDING_CRECORDINGREADER_H
#define QNVRECORDING_CRECORDINGREADER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qnvrecording/SIndexRecord.h"

namespace qnvrec {

// What the check found. A recording cut short by a crash or a full disk is
// kept up to its last consistent frame; what lies beyond is counted here.
struct SRecordingSummary {
  std::string dataPath;
  std::string indexPath;
  uint64_t dataFileBytes = 0;   // size of the data file on disk
  uint64_t indexFileBytes = 0;  // size of the index file on disk
  uint64_t frames = 0;          // consistent frames kept
  uint64_t keyFrames = 0;       // of them, with frameKind 1
  uint64_t pictures = 0;        // of them, holding the first slice of a picture
  uint64_t bodyBytes = 0;       // data bytes the kept frames cover
  uint64_t droppedFrames = 0;   // index records (whole or torn) not kept
  uint64_t droppedDataBytes = 0;
  uint64_t droppedIndexBytes = 0;
  std::vector<std::string> problems;  // why anything was dropped

  bool Consistent() const { return problems.empty(); }
};

// The index path for a data path: the final component's extension (from its
// last dot) replaced by ".idx", or ".idx" appended when it has none.
std::string IndexPathFor(const std::string& dataPath);

class CRecordingReader {
 public:
  CRecordingReader() = default;
  CRecordingReader(const CRecordingReader&) = delete;
  CRecordingReader& operator=(const CRecordingReader&) = delete;

  // Called now and then with the records checked so far and their total.
  using Progress = std::function<void(uint64_t done, uint64_t total)>;

  // Opens and checks the recording. False with a message when a file cannot
  // be read or the input is not a recording at all; a damaged recording
  // opens, with what was dropped in Summary().
  bool Open(const std::string& dataPath, const std::string& indexPath, std::string& error,
            const Progress& progress = nullptr);

  const SRecordingSummary& Summary() const { return summary_; }
  size_t FrameCount() const { return frames_.size(); }
  const SIndexRecord& Record(size_t i) const { return records_[i]; }
  uint64_t BodyOffset(size_t i) const { return frames_[i].offset; }
  uint32_t BodyLength(size_t i) const { return frames_[i].length; }

  // Reads frame i's body: extension block (if any) followed by the payload.
  bool ReadBody(size_t i, std::vector<uint8_t>& body, std::string& error);
  // The H.264 part of a body read by ReadBody: what follows the extension.
  void Payload(size_t i, const std::vector<uint8_t>& body, const uint8_t*& data,
               size_t& length) const;

 private:
  struct SFrame {
    uint64_t offset;
    uint32_t length;     // whole body
    uint32_t extension;  // bytes of the extension block, 0 without one
  };
  struct SFileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
  };

  bool Check(std::string& error, const Progress& progress);
  // True when the start of the payload holds the first slice of a picture.
  bool HoldsPicture(const SIndexRecord& record, uint64_t payloadOffset, uint32_t payloadLength,
                    bool& picture, std::string& error);

  std::unique_ptr<FILE, SFileCloser> data_;
  SRecordingSummary summary_;
  std::vector<SIndexRecord> records_;
  std::vector<SFrame> frames_;
  std::vector<uint8_t> scratch_;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CRECORDINGREADER_H

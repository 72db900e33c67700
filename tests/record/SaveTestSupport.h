// Helpers shared by the recording tests: a scratch directory, frames with
// recognisable bodies, file reading and a consistency check of a recording.
#ifndef QNV_TESTS_RECORD_SAVETESTSUPPORT_H
#define QNV_TESTS_RECORD_SAVETESTSUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Debug.h"
#include "protocol/FrameHeader.h"

namespace qnv::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qnv-rec-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    m_path = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& rest) const { return m_path + "/" + rest; }

 private:
  std::string m_path;
};

// Runs the test body in another working directory and goes back afterwards.
class WorkingDir {
 public:
  explicit WorkingDir(const std::string& dir) : m_old(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDir() { std::filesystem::current_path(m_old); }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::filesystem::path m_old;
};

// Collects the debug channel's lines while alive.
class DebugCapture {
 public:
  DebugCapture() {
    Lines().clear();
    platform::SetDebugSinkForTesting(&Sink);
  }
  ~DebugCapture() { platform::SetDebugSinkForTesting(nullptr); }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(Mutex());
    return Lines();
  }
  bool Contains(const std::string& text) const {
    for (const std::string& line : lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static void Sink(const char* text) {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().emplace_back(text);
  }
};

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// A frame header whose bytes 0..3 carry a sequence number, so a record can be
// matched to the body that was delivered with it.
inline protocol::SFrameIndex MakeHeader(uint32_t seq, uint8_t kind, uint32_t payloadLength) {
  protocol::SFrameIndex h{};
  platform::StoreLe32(h.bytes, seq);
  std::memcpy(h.bytes + protocol::kFrameMagicOffset, protocol::kFrameMagic, 4);
  platform::StoreLe32(h.bytes + protocol::kFramePayloadLengthOffset, payloadLength);
  platform::StoreLe32(h.bytes + protocol::kFrameOffsetOffset, 0xDEADBEEF);  // must be rewritten
  h.bytes[protocol::kFrameKindOffset] = kind;
  h.bytes[39] = 0x5A;
  return h;
}

inline std::vector<uint8_t> MakeBody(uint32_t seq, size_t length) {
  std::vector<uint8_t> body(length);
  uint32_t x = seq * 2654435761u + 1;
  for (auto& b : body) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return body;
}

struct SRecordedFrame {
  uint32_t seq;
  uint8_t kind;
  std::vector<uint8_t> body;
};

// Reads a recording back, checking that the index agrees with the data file:
// whole records, offsets starting at 0 and never decreasing, every body inside
// the data file, header bytes other than the offset kept.
inline std::vector<SRecordedFrame> ReadRecording(const std::string& dataPath,
                                                 const std::string& indexPath) {
  std::vector<uint8_t> data = ReadFile(dataPath);
  std::vector<uint8_t> index = ReadFile(indexPath);
  std::vector<SRecordedFrame> frames;
  EXPECT_EQ(index.size() % protocol::kFrameHeaderSize, 0u) << indexPath;
  size_t count = index.size() / protocol::kFrameHeaderSize;
  for (size_t i = 0; i < count; ++i) {
    protocol::SFrameIndex h =
        protocol::SFrameIndex::From(index.data() + i * protocol::kFrameHeaderSize);
    uint64_t begin = h.Offset();
    uint64_t end =
        i + 1 < count
            ? protocol::SFrameIndex::From(index.data() + (i + 1) * protocol::kFrameHeaderSize)
                  .Offset()
            : data.size();
    EXPECT_TRUE(h.HasMagic()) << "record " << i;
    if (i == 0) {
      EXPECT_EQ(begin, 0u);
    }
    EXPECT_LE(begin, end) << "record " << i << " offsets decrease";
    EXPECT_LE(end, data.size()) << "record " << i << " body past the end of the data";
    if (begin > end || end > data.size()) break;
    frames.push_back(SRecordedFrame{
        platform::LoadLe32(h.bytes), h.FrameKind(),
        std::vector<uint8_t>(data.begin() + ptrdiff_t(begin), data.begin() + ptrdiff_t(end))});
  }
  return frames;
}

}  // namespace qnv::test

#endif  // QNV_TESTS_RECORD_SAVETESTSUPPORT_H

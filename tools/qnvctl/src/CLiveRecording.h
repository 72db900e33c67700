// CLiveRecording: one recording of a live channel (QNVNet_LiveSaveOpen) and
// its end (QNVNet_LiveSaveClose), which flushes and closes the data and index
// files. Owns the recording id. Host thread only; the channel must outlive it.
#ifndef QNVCTL_CLIVERECORDING_H
#define QNVCTL_CLIVERECORDING_H

#include <cstdint>
#include <string>

namespace qnvctl {

class CLiveRecording {
 public:
  CLiveRecording() = default;
  ~CLiveRecording() { Close(); }
  CLiveRecording(const CLiveRecording&) = delete;
  CLiveRecording& operator=(const CLiveRecording&) = delete;

  // path is the data file; the SDK writes the index beside it with the
  // extension ".idx".
  uint32_t Open(uint32_t channelHandle, const std::string& path);
  uint32_t Close();  // 0 when not open

  // The index path the SDK uses for a data path.
  static std::string IndexPath(const std::string& dataPath);

 private:
  uint32_t m_channel = 0;
  uint32_t m_id = 0;
  bool m_open = false;
};

}  // namespace qnvctl

#endif  // QNVCTL_CLIVERECORDING_H

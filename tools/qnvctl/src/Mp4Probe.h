// Reads an MP4 file back with libavformat, as a player would: its video
// stream's size, codec, duration and number of packets.
#ifndef QNVCTL_MP4PROBE_H
#define QNVCTL_MP4PROBE_H

#include <cstdint>
#include <string>

namespace qnvctl {

struct SMp4Probe {
  uint64_t packets = 0;
  int width = 0, height = 0;
  double seconds = 0;
  std::string codec;
};

// False with a one-line message when the file does not open as a video.
bool ProbeMp4(const std::string& path, SMp4Probe& out, std::string& error);

}  // namespace qnvctl

#endif  // QNVCTL_MP4PROBE_H

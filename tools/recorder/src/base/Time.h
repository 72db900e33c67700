// Time: the two clocks the recorder reads. Wall-clock milliseconds name
// segments and go into the status; steady milliseconds time waits.
#pragma once

#include <chrono>
#include <cstdint>

namespace qnvrecorder {

inline int64_t UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline int64_t MonoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace qnvrecorder

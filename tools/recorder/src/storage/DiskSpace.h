// DiskSpace: when the recorder stops and resumes writing for lack of space.
// Writing stops when free space falls below min_free_mb (after retention has
// had its go), and resumes once free space is back at min_free_mb plus a
// quarter of it, and at least 4 MiB more per camera: the library reserves the
// next 4 MiB of a segment ahead of its writes, so without that margin the
// first reservations after a resume would stop it again. An MP4 copy is made
// only when the space left after it would still be at least min_free_mb.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qnvrecorder {

struct SDiskPolicy {
  uint64_t stopBelow = 0;  // bytes free
  uint64_t resumeAt = 0;   // bytes free
};

inline constexpr uint64_t kReservedAheadPerCamera = 4u << 20;

inline SDiskPolicy DiskPolicy(double minFreeMb, size_t cameras) {
  const uint64_t min = static_cast<uint64_t>(minFreeMb * 1048576.0);
  if (min == 0) return SDiskPolicy{};
  const uint64_t reserve = std::max<uint64_t>(cameras, 1) * kReservedAheadPerCamera;
  return SDiskPolicy{min, min + std::max<uint64_t>(min / 4, reserve)};
}

}  // namespace qnvrecorder

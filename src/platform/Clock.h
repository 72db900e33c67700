// The monotonic clock the library measures time-outs and paces with.
#ifndef QNV_PLATFORM_CLOCK_H
#define QNV_PLATFORM_CLOCK_H

#include <cstdint>

namespace qnv::platform {

// Milliseconds of a monotonic clock.
uint64_t MonotonicMs();

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_CLOCK_H

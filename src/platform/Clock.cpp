#include "platform/Clock.h"

#include <chrono>

namespace qnv::platform {

uint64_t MonotonicMs() {
  using namespace std::chrono;
  return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace qnv::platform

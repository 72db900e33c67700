#include "transport/HostCallbacks.h"

namespace qnv {

HostCallbacks& Callbacks() {
  static HostCallbacks callbacks;
  return callbacks;
}

}  // namespace qnv

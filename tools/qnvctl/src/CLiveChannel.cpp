#include "CLiveChannel.h"

namespace qnvctl {

uint32_t CLiveChannel::Open(uint32_t clientId, HWND window) {
  uint32_t handle = 0;
  const uint32_t result = QNVNet_LiveOpen(&handle, clientId, window);
  if (result == QNVNET_OK) {
    handle_ = handle;
    open_ = true;
  }
  return result;
}

uint32_t CLiveChannel::Close() {
  if (!open_) return QNVNET_OK;
  open_ = false;
  return QNVNet_LiveClose(handle_);
}

}  // namespace qnvctl

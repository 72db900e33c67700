#include "CLiveChannel.h"

namespace qnvctl {

uint32_t CLiveChannel::Open(uint32_t clientId, HWND window) {
  uint32_t handle = 0;
  const uint32_t result = QNVNet_LiveOpen(&handle, clientId, window);
  if (result == QNVNET_OK) {
    m_handle = handle;
    m_open = true;
  }
  return result;
}

uint32_t CLiveChannel::Close() {
  if (!m_open) return QNVNET_OK;
  m_open = false;
  return QNVNet_LiveClose(m_handle);
}

}  // namespace qnvctl

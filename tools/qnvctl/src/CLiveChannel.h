// CLiveChannel: one live channel of a session (QNVNet_LiveOpen) and its
// close (QNVNet_LiveClose) in the destructor or Close. Owns the channel
// handle. Host thread only; the CSdkLibrary must outlive it, and so must the
// window it draws into.
#ifndef QNVCTL_CLIVECHANNEL_H
#define QNVCTL_CLIVECHANNEL_H

#include <cstdint>

#include "QNVNetSdk.h"

namespace qnvctl {

class CLiveChannel {
 public:
  CLiveChannel() = default;
  ~CLiveChannel() { Close(); }
  CLiveChannel(const CLiveChannel&) = delete;
  CLiveChannel& operator=(const CLiveChannel&) = delete;

  // window: an X11 Window id cast to HWND, or null for a channel whose frames
  // only reach the callbacks, recordings and snapshots.
  uint32_t Open(uint32_t clientId, HWND window);
  uint32_t Close();  // closes its recordings too; 0 when not open
  uint32_t handle() const { return m_handle; }

 private:
  uint32_t m_handle = 0;
  bool m_open = false;
};

}  // namespace qnvctl

#endif  // QNVCTL_CLIVECHANNEL_H

// CDeviceSession: one login to a device (QNVNet_DevLogin) and its logout
// (QNVNet_DevLogout) in the destructor. Owns the client id. Host thread only;
// the CSdkLibrary must outlive it.
#ifndef QNVCTL_CDEVICESESSION_H
#define QNVCTL_CDEVICESESSION_H

#include <cstdint>

#include "CCommandLine.h"

namespace qnvctl {

class CDeviceSession {
 public:
  CDeviceSession() = default;
  ~CDeviceSession();
  CDeviceSession(const CDeviceSession&) = delete;
  CDeviceSession& operator=(const CDeviceSession&) = delete;

  // QNVNet_DevLogin's result; -30 also for a host text the SDK cannot take.
  uint32_t Login(const SConnection& connection);
  // Logs out now (sending nothing, so at once even when the device is
  // silent); its channels and recordings close with it.
  void Logout();
  uint32_t clientId() const { return m_clientId; }

 private:
  uint32_t m_clientId = 0;
  bool m_loggedIn = false;
};

}  // namespace qnvctl

#endif  // QNVCTL_CDEVICESESSION_H

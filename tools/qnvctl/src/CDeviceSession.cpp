#include "CDeviceSession.h"

#include "QNVNetSdk.h"

namespace qnvctl {

CDeviceSession::~CDeviceSession() { Logout(); }

void CDeviceSession::Logout() {
  // Logging out closes the session's channels and recordings too.
  if (m_loggedIn) QNVNet_DevLogout(m_clientId);
  m_loggedIn = false;
}

uint32_t CDeviceSession::Login(const SConnection& c) {
  uint32_t id = 0;
  const uint32_t result =
      QNVNet_DevLogin(&id, c.host.c_str(), c.port, c.user.c_str(), c.password.c_str());
  if (result == QNVNET_OK) {
    m_clientId = id;
    m_loggedIn = true;
  }
  return result;
}

}  // namespace qnvctl

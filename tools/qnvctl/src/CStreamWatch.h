// CStreamWatch: what the SDK's callbacks report about one session's live
// stream: frame statistics, and whether (and why) the stream or the session
// was lost. The callbacks update it on SDK threads while the host thread
// reads it; it must outlive the CSdkLibrary whose handlers refer to it.
#ifndef QNVCTL_CSTREAMWATCH_H
#define QNVCTL_CSTREAMWATCH_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CFrameCounter.h"
#include "CSdkLibrary.h"

namespace qnvctl {

class CStreamWatch {
 public:
  explicit CStreamWatch(uint16_t loginPort) : m_loginPort(loginPort) {}
  CStreamWatch(const CStreamWatch&) = delete;
  CStreamWatch& operator=(const CStreamWatch&) = delete;

  CFrameCounter counter;
  // The session this watch belongs to, for HandlersFor; set it before the
  // session's channel opens.
  std::atomic<uint32_t> clientId{0};
  std::atomic<bool> streamLost{false};
  std::atomic<bool> sessionLost{false};
  // Why (QNVNET_LOSS_*) and its detail; set before the flag above.
  std::atomic<uint32_t> lossReason{0};
  std::atomic<int32_t> lossDetail{0};

  // "" while nothing was lost; else what was lost and why, as "the stream
  // stalled: no frame for 10 s".
  std::string LossText() const;

  // Handlers that route every event here (one session), or (HandlersFor)
  // each event to the watch of its session.
  CSdkLibrary::SHandlers Handlers();
  static CSdkLibrary::SHandlers HandlersFor(
      const std::vector<std::unique_ptr<CStreamWatch>>& watches);

 private:
  void OnDisconnect(uint16_t port, const QNVNetLoss& loss);
  uint16_t m_loginPort;
};

}  // namespace qnvctl

#endif  // QNVCTL_CSTREAMWATCH_H

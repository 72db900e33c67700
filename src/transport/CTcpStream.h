// CTcpStream: the stream connection to a device. Its receive thread (a
// CEventThread) reads the socket continuously into the area its sink hands
// out (it has no buffer of its own) and gives every read, as it arrived, to
// that sink (IStreamSink); the
// owner may Send and Close meanwhile, from its own thread. The connection owns
// its socket, its thread and its socket options: the wake threshold for the
// next read comes from the sink's answer and is set here.
//
// The owner passes a keepAlive reference at Connect: the receive thread holds
// it, so an owner (the sink) that Close left running (inside a host callback,
// or Close called from the receive thread itself) stays alive until that
// thread ends; the socket is then closed by the destructor.
#ifndef QNV_TRANSPORT_CTCPSTREAM_H
#define QNV_TRANSPORT_CTCPSTREAM_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/ThreadAnnotations.h"
#include "transport/CEventThread.h"
#include "transport/CTcpLink.h"
#include "transport/IStreamSink.h"

namespace qnv {

class CTcpStream final : public CTcpLink {
 public:
  // The wake threshold never exceeds half a 64 KiB read: a larger one can
  // make the kernel grow the receive buffer and clamp the window to it until
  // autotuning catches up.
  static constexpr uint32_t kMaxWakeThreshold = 32768;
  static constexpr uint32_t kStopGraceMs = 30;

  CTcpStream() = default;
  ~CTcpStream();

  // Connects within 5 s and starts the receive thread, which calls sink until
  // Close. False when no connection was made (no thread runs then).
  bool Connect(const char* address, uint16_t port, IStreamSink& sink,
               std::shared_ptr<void> keepAlive);
  // Detaches the sink, stops the receive thread (waiting 30 ms at most) and
  // closes the socket, unless the thread was left running: it then ends by
  // itself and the destructor closes the socket.
  void Close();
  // Any thread: shuts the socket down, so the receive thread meets the end of
  // the stream and reports it to the sink (once, as any failure: set the
  // reason the sink should see first). Does nothing once Close has begun.
  void Abort();

 private:
  // One turn of the receive thread: one read, handed to the sink. False ends
  // the thread (the link failed).
  bool ReceiveOnce();
  void ReportFailure() override;

  std::atomic<IStreamSink*> m_sink{nullptr};
  platform::CMutex m_closeMutex;  // Abort against Close closing the socket
  bool m_closeBegun GUARDED_BY(m_closeMutex) = false;
  CEventThread m_thread;
  uint32_t m_wakeThreshold = 1;  // receive thread only; 1 is the sockets' default
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_CTCPSTREAM_H

// Why a camera is down, from the library's loss report: each reason has its
// code for scripts (status.json's "reason") and words that name the address
// and, where there is one, the cause.
#include <gtest/gtest.h>

#include <cerrno>

#include "cameras/CameraFault.h"

using qnvrecorder::DisconnectFault;
using qnvrecorder::FaultCode;

TEST(RecorderCameraFault, EachLossReasonHasItsCodeAndSaysWhere) {
  struct SCase {
    int32_t reason, detail;
    uint16_t port;
    const char* code;
    const char* words;
  };
  const SCase cases[] = {
      {QNVNET_LOST_NO_KEEPALIVE_ANSWER, 0, 9000, "no_keepalive_answer",
       "no keep-alive answer from 192.0.2.10:9000 (3 in a row)"},
      {QNVNET_LOST_STREAM_STALLED, 2500, 9002, "stalled",
       "stream from 192.0.2.10:9002 stalled: no frame for 2.5 s"},
      {QNVNET_LOST_MALFORMED_MESSAGE, 0, 9000, "malformed_message",
       "the device at 192.0.2.10:9000 sent a malformed device message"},
      {QNVNET_LOST_BROKEN_CONNECTION, 0, 9000, "connection_lost",
       "command connection to 192.0.2.10:9000 broken (closed by the device)"},
      {QNVNET_LOST_BROKEN_CONNECTION, ETIMEDOUT, 9002, "stream_lost",
       "stream connection to 192.0.2.10:9002 broken (no TCP answer for 20 s"},
      {QNVNET_LOST_BROKEN_CONNECTION, ECONNRESET, 9002, "stream_lost",
       "stream connection to 192.0.2.10:9002 broken (Connection reset by peer)"},
      {QNVNET_LOST_NONE, 0, 9000, "connection_lost", "command connection to 192.0.2.10:9000 lost"},
  };
  for (const SCase& c : cases) {
    const qnvnet_loss loss{c.reason, 7, c.port == 9000 ? 0u : 3u, c.detail};
    const qnvrecorder::SFault fault = DisconnectFault(loss, c.port, 9000, "192.0.2.10");
    EXPECT_STREQ(FaultCode(fault.kind), c.code) << c.reason;
    EXPECT_NE(fault.text.find(c.words), std::string::npos) << fault.text;
  }
}

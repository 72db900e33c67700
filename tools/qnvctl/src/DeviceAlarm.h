// The simulated device's rule alarm, as a device message body (the block
// from its byte 8 on); the layout is the simulator's, described in its help.
#ifndef QNVCTL_DEVICEALARM_H
#define QNVCTL_DEVICEALARM_H

#include <cstdint>
#include <vector>

namespace qnvctl {

struct SAlarm {
  uint32_t type, rule, channel, sequence;
  uint64_t captureUs;
  uint32_t box[4];
};

// True when body is a rule alarm in the simulator's layout.
bool DecodeAlarm(const std::vector<uint8_t>& body, SAlarm& alarm);

}  // namespace qnvctl

#endif  // QNVCTL_DEVICEALARM_H

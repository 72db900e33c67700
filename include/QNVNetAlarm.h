/* QNVNetAlarm.h: the rule alarm a device sends as a device message (C99 and
 * C++; constants and one inline decoder, nothing to link).
 *
 * A device raises a rule alarm when one of its analysis rules fires. It
 * arrives as a device message (see "Device messages" in QNVNetSdk.h): the
 * message callback of QNVNetSdk.h, and qnvnet_message_cb of qnvnet.h, get the
 * block from its byte 8 on. The whole block is 56 bytes, numbers
 * little-endian:
 *
 *   0..3    "VvEe"                       4..7   "MmSs"
 *   8..11   block length (56)            12..15 event type (1: a rule fired)
 *   16..19  rule id                      20..23 channel (1 on a one-channel device)
 *   24..31  capture time, microseconds since 1970, on the clock of the frame
 *           headers' bytes 16..23 (so an alarm can be placed among the frames)
 *   32..47  the object's box: x, y, width, height in pixels of the source picture
 *   48..51  sequence number, per device, from 1 (a gap means alarms were lost)
 *   52..55  zero
 *
 * The QNVNET_ALARM_*_OFFSET constants are offsets in the whole block; the
 * callback's body starts at QNVNET_ALARM_BODY_OFFSET, so body offset N is
 * block offset N + 8. qnvnet_alarm_decode reads a callback body.
 */
#ifndef QNVNETALARM_H
#define QNVNETALARM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  QNVNET_ALARM_SIZE = 56,
  QNVNET_ALARM_BODY_OFFSET = 8, /* where the message callback's body begins */
  QNVNET_ALARM_LENGTH_OFFSET = 8,
  QNVNET_ALARM_TYPE_OFFSET = 12,
  QNVNET_ALARM_RULE_OFFSET = 16,
  QNVNET_ALARM_CHANNEL_OFFSET = 20,
  QNVNET_ALARM_TIME_OFFSET = 24,
  QNVNET_ALARM_BOX_OFFSET = 32, /* four 32-bit numbers: x, y, width, height */
  QNVNET_ALARM_SEQUENCE_OFFSET = 48,
  QNVNET_ALARM_TYPE_RULE = 1
};

/* One decoded rule alarm. */
typedef struct qnvnet_alarm {
  uint32_t type;       /* QNVNET_ALARM_TYPE_RULE */
  uint32_t rule;       /* the rule that fired */
  uint32_t channel;    /* the device's channel, from 1 */
  uint64_t capture_us; /* capture time, microseconds since 1970 (the frames' clock) */
  uint32_t box[4];     /* x, y, width, height in pixels */
  uint32_t sequence;   /* per device, from 1 */
} qnvnet_alarm;

static inline uint32_t qnvnet_alarm_le32_(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Decodes a message callback's body (body, length: as the callback got them)
 * into *alarm. Returns 1 for a rule alarm (every field written), 0 for any
 * other message, a body of another length or a NULL argument (*alarm is then
 * left as it was). Reads only the length bytes it was given. */
static inline int qnvnet_alarm_decode(const uint8_t* body, int32_t length, qnvnet_alarm* alarm) {
/* Body offset of block offset N. */
#define QNVNET_ALARM_AT_(n) (body + ((n)-QNVNET_ALARM_BODY_OFFSET))
  int i;
  if (body == 0 || alarm == 0 || length != QNVNET_ALARM_SIZE - QNVNET_ALARM_BODY_OFFSET) return 0;
  if (qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_LENGTH_OFFSET)) != QNVNET_ALARM_SIZE ||
      qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_TYPE_OFFSET)) != QNVNET_ALARM_TYPE_RULE) {
    return 0;
  }
  alarm->type = QNVNET_ALARM_TYPE_RULE;
  alarm->rule = qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_RULE_OFFSET));
  alarm->channel = qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_CHANNEL_OFFSET));
  alarm->capture_us = (uint64_t)qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_TIME_OFFSET)) |
                      (uint64_t)qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_TIME_OFFSET + 4))
                          << 32;
  for (i = 0; i < 4; ++i) {
    alarm->box[i] = qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_BOX_OFFSET + 4 * i));
  }
  alarm->sequence = qnvnet_alarm_le32_(QNVNET_ALARM_AT_(QNVNET_ALARM_SEQUENCE_OFFSET));
#undef QNVNET_ALARM_AT_
  return 1;
}

#ifdef __cplusplus
}
#endif

#endif /* QNVNETALARM_H */

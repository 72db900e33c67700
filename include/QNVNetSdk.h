// QNVNetSdk: client library for networked video-analytics cameras and encoders.
//
// Start here. A host calls QNVNet_InitLib once, registers its callbacks with
// QNVNet_SetCallback, logs in to devices with QNVNet_DevLogin and then works
// with the client id it got back: live video (QNVNet_Live*), recording
// (QNVNet_LiveSaveOpen / QNVNet_LiveSaveClose), PTZ, configuration, rules,
// algorithm parameters and firmware. QNVNet_UnInitLib ends everything.
//
// Results. Every export returns a 32-bit code: 0 is success; the library's own
// failures are the small negative numbers below (read the value as int32_t);
// any other non-zero value is the device's own result, passed through
// unchanged. QnvResultText() names a code.
//
// Locking. Each device session has a lock of its own: the calls on one
// session (commands, firmware upload and start, live open/close/pause/play,
// capture and recordings of its channels, its keep-alive) run one at a time,
// in the order they came. Calls on different sessions, logins and logouts
// never wait for each other's device exchanges (a command waits up to about
// 6 s for a silent device, the firmware start up to 360 s): a silent device
// holds up only the calls on its own session. A logout ends a call in
// progress on its session at once (that call returns -21 or -24).
//
// Commands. A request is sent within the command's own time-out (3 s, 180 s
// for the firmware start): a device that stops reading fails the call with
// -21 and its session is ended as for a broken connection (the disconnect
// callback). Devices echo the request's class and code in their reply; a
// reply that does not (an answer, arriving late, to an earlier call that
// already gave up) is dropped, and the call goes on waiting for its own reply
// within its time-out.
//
// Pointer arguments. An export given a null pointer where it needs one fails
// at once with -3 (QNVNET_ERR_ARGUMENT), before any look-up, and sends, opens
// and writes nothing: QNVNet_GetSdkVersion's version, QNVNet_LiveOpen's
// handle, and the buffer or data of a get or set export whose length is
// above 0 (a null buffer with length 0 stands for no payload; a get then
// still reports the reply's length). Paths keep their exports' own codes: a
// null path gives -1 (firmware), -80 (capture), -61 (recording), and a null
// clientId pointer gives QNVNet_DevLogin's -30; null user or password log in
// with an empty name. References (length, id, state) must name variables.
//
// Files. Every path the library opens must name a regular file (or nothing
// yet, for an output): a FIFO, device, socket or directory is refused at
// once with the path's code (-1 firmware image, -80 capture, -61 recording)
// instead of blocking. A recording never follows a symbolic link at its
// derived index path, never truncates a file another running recording
// writes (compared by path and by device and inode, so hard links count),
// and repairs its files after a failed write through their open descriptors.
//
// Threads. Exports may be called from any thread. Callbacks run on library
// threads (see each callback type) with no lock of the library held, so a
// callback may call any export except QNVNet_InitLib and QNVNet_UnInitLib,
// on any session including its own; such a call waits only for a call in
// progress on that session. Callbacks about different sessions may run at
// the same time on different threads.
//
// Liveness. A device that freezes, a pulled cable or a stalled stream is
// reported, never left silent:
// - Keep-alives. Every logged-in session whose device gave it a session id
//   other than 0 gets a keep-alive every 5000 ms. It is sent without waiting
//   (a tick never waits on a device, however many are silent) and its answer
//   is read with the session's other traffic. Anything the device sends
//   counts as an answer (a reply of any result, a device message). A
//   keep-alive unanswered 3 s after it went out is missed; so is a call that
//   times out with nothing at all from the device (-24). A tick on a session
//   that is busy with a call does not wait for it: that tick's keep-alive
//   goes out as soon as the call ends, so a session its host keeps busy is
//   still pinged every period, and the tick counts no miss. 3 misses in
//   a row end the session as a broken connection does: the disconnect
//   callback with the login port, once, then the logout
//   (QNVNET_LOSS_NO_KEEPALIVE_ANSWER). A device that freezes while its
//   session is idle is so reported 13 to 18 s later (10 s at the earliest),
//   however many freeze at once; a call in progress holds its session's
//   ticks back until it ends (a firmware start up to 360 s). A call made
//   while a keep-alive awaits its answer first waits for that answer (at
//   most until the keep-alive's 3 s are up), so a session never has two
//   requests in flight.
// - TCP. Every command and stream connection, with or without keep-alives
//   (sessions with session id 0 get none), is probed by TCP keep-alive after
//   10 s in which nothing arrived, every 2 s after that, and is taken as
//   broken once 20 s passed without an acknowledgement of a probe or of data
//   sent (TCP_USER_TIMEOUT): a half-open connection is reported about 20 s
//   (at most 22 s) after the last sign of the device
//   (QNVNET_LOSS_BROKEN_CONNECTION, detail ETIMEDOUT).
// - Streams. With QNVNet_LiveSetStallTimeout a playing channel that receives
//   no frame for that long is reported like a dropped stream connection.
// Inside the disconnect callback, QNVNet_GetDisconnectReason says why and
// which channel; QNVNet_LiveGetLossReason asks a channel that stays open,
// QNVNet_DevGetLossReason a session that stays registered.
//
// Device messages. A device sends an event (an analytics rule firing) as a
// block on its command connection, idle or while a call waits for its reply:
//   bytes 0..3 "VvEe", 4..7 "MmSs", 8..11 B, the whole block's length as a
//   32-bit little-endian number (48 <= B <= 4096), then B - 12 bytes whose
//   layout is the device's own.
// The library reads every block, idle or mid-call (the call goes on waiting
// for its reply within its time-out), and hands bytes 8..B-1 to the message
// callback. A block with B outside 48..4096 leaves nothing to find the next
// message by: the connection is taken as failed (disconnect callback once,
// then logout). Messages wait for the callback in a queue of at most 1,024
// per session (about 4 MiB at the largest size): when the callback falls
// behind, the session's oldest waiting message is dropped for each new one
// and counted (QNVNet_DevGetMessageDrops). Reading never waits for the
// callback, so keep-alive answers and calls' replies are read at once.
#ifndef QNVNETSDK_H
#define QNVNETSDK_H

#include <stdint.h>

#include "qnvnet_results.h"

#if defined(QNVNET_BUILDING_LIBRARY)
#define QNVNET_API __attribute__((visibility("default")))
#else
#define QNVNET_API
#endif

// A window to render into: an X11 Window id cast to a pointer, or null for a
// channel without a window (its frames still reach the callbacks, the
// recordings and snapshots).
typedef void* HWND;

// Result codes (stable numbers; compare against the exports' results, which
// are plain uint32_t so that a device's own result fits as well):
// QNVNET_OK (0) and QNVNET_ERR_<name> for each code of qnvnet_results.h,
// which says what each one means (QNVNET_ERR_NO_SESSION = -30 read as
// uint32_t, and so on). The C interface's QNVNET_E_* come from the same list.
#define QNVNET_CXX_RESULT(name, number, text) QNVNET_ERR_##name = static_cast<uint32_t>(number),
enum QNVNetResult : uint32_t {
  QNVNET_OK = 0,
  QNVNET_RESULT_LIST(QNVNET_CXX_RESULT, QNVNET_CXX_RESULT)
};
#undef QNVNET_CXX_RESULT

// A short English name for a result code; device codes read "device error".
inline const char* QnvResultText(uint32_t code) {
  switch (static_cast<QNVNetResult>(code)) {
    case QNVNET_OK:
      return "success";
#define QNVNET_CXX_RESULT_TEXT(name, number, text) \
  case QNVNET_ERR_##name:                          \
    return text;
      QNVNET_RESULT_LIST(QNVNET_CXX_RESULT_TEXT, QNVNET_CXX_RESULT_TEXT)
#undef QNVNET_CXX_RESULT_TEXT
  }
  return "device error";
}

// Little-endian numbers, as frames, index files and device replies hold
// them. Each reads or writes exactly 2 or 4 bytes at p: the caller checks
// that they lie inside its buffer (these cannot; for a frame's extension
// block QNVNetFrameHeader::PayloadOffset checks it). Every bit pattern is a
// valid number.
inline uint16_t QnvLoadLe16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t QnvLoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void QnvStoreLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Frames and index files. Every frame the stream callback delivers begins
// with this 40-byte header, and a recording's index file (the data path with
// ".idx") is a sequence of these headers, one per recorded frame. Numbers are
// little-endian; bytes not listed are the device's and pass unchanged.
//   0..3    the device's frame counter
//   4..7    "QNVV"
//   12..15  payload length: the H.264 bytes after the extension block
//   16..23  the device's capture time in microseconds (0 when it sends none)
//   28..31  in an index record, the offset of the frame's body in the data
//           file; on the stream, the device's
//   35      frame kind, set by the library for every frame: the slice-type
//           probe's result, 1 when the bits after the NAL unit header read
//           as an I slice, 2 as a P slice, 0 otherwise. The probe reads them
//           whatever the unit is, so a parameter-set or SEI frame carries 1
//           or 2 as its bits happen to give: count pictures and key frames
//           with QNVNetFrameNal (below), not with this byte alone.
//   36      extension flag: nonzero when an extension block (a 32-bit length
//           N, then N bytes) follows the header
// A frame is the header, the extension block if flagged, then the payload.
// The data file holds the bodies (the frame without its header) back to back:
// index record n lies at byte 40 * n of the index file, and its body runs from
// its offset to the next record's offset (the last one to the data file's end).
// qnvnet.h gives the same numbers as QNVNET_FRAME_* constants.
struct QNVNetFrameHeader {
  static constexpr uint32_t kSize = 40;
  static constexpr uint32_t kCounterOffset = 0;
  static constexpr uint32_t kMagicOffset = 4;
  static constexpr uint32_t kPayloadLengthOffset = 12;
  static constexpr uint32_t kCaptureTimeOffset = 16;
  static constexpr uint32_t kDataOffsetOffset = 28;
  static constexpr uint32_t kKindOffset = 35;
  static constexpr uint32_t kExtFlagOffset = 36;
  static constexpr uint32_t kExtLengthSize = 4;  // the 32-bit N ahead of the block
  // The longest frame, header, extension block and payload together: 16 MiB.
  // A header announcing more is taken for a corrupted one: the library
  // delivers and records no such frame and looks for the next header right
  // behind it, so one bad length neither blinds a channel nor makes it hold
  // more than this. An index record whose body is longer marks a damaged
  // recording.
  static constexpr uint32_t kMaxFrameSize = 16u << 20;
  static constexpr uint8_t kKindOther = 0;
  static constexpr uint8_t kKindKey = 1;
  static constexpr uint8_t kKindP = 2;
  static constexpr char kMagic[4] = {'Q', 'N', 'V', 'V'};
  static_assert(kPayloadLengthOffset + 4 <= kCaptureTimeOffset &&
                    kCaptureTimeOffset + 8 <= kDataOffsetOffset &&
                    kDataOffsetOffset + 4 <= kKindOffset && kKindOffset < kExtFlagOffset &&
                    kExtFlagOffset < kSize,
                "the fields lie in order inside the header");

  uint8_t bytes[kSize];

  uint32_t Counter() const { return Le32(kCounterOffset); }
  bool HasMagic() const {
    return bytes[kMagicOffset] == kMagic[0] && bytes[kMagicOffset + 1] == kMagic[1] &&
           bytes[kMagicOffset + 2] == kMagic[2] && bytes[kMagicOffset + 3] == kMagic[3];
  }
  uint32_t PayloadLength() const { return Le32(kPayloadLengthOffset); }
  uint64_t CaptureTime() const {
    return uint64_t(Le32(kCaptureTimeOffset)) | uint64_t(Le32(kCaptureTimeOffset + 4)) << 32;
  }
  uint32_t DataOffset() const { return Le32(kDataOffsetOffset); }
  uint8_t Kind() const { return bytes[kKindOffset]; }
  bool HasExtension() const { return bytes[kExtFlagOffset] != 0; }

  // PayloadOffset's answer when the payload cannot be found.
  static constexpr uint64_t kNoPayload = ~uint64_t(0);
  // Where the payload begins in this frame's body (the `length` bytes behind
  // the header: the extension block if flagged, then the payload): 0 without
  // an extension block; 4 + N with one whose N fits the body (4 + N ==
  // length, an empty payload, included); kNoPayload when the block is flagged
  // and body is null, shorter than 4 bytes, or N runs past its end. The
  // payload may still be shorter than PayloadLength() says: callers that
  // need all of it compare the two.
  uint64_t PayloadOffset(const uint8_t* body, uint64_t length) const {
    if (!HasExtension()) return 0;
    if (body == nullptr || length < kExtLengthSize) return kNoPayload;
    const uint64_t at = kExtLengthSize + uint64_t(QnvLoadLe32(body));
    return at <= length ? at : kNoPayload;
  }
  // The same for a whole frame (header first), counted from the frame's
  // start: 40 + PayloadOffset of its body; kNoPayload when frame is null,
  // shorter than 40 bytes, or its extension block does not fit.
  static uint64_t PayloadOffsetInFrame(const uint8_t* frame, uint64_t length) {
    if (frame == nullptr || length < kSize) return kNoPayload;
    const auto* header = reinterpret_cast<const QNVNetFrameHeader*>(frame);
    const uint64_t at = header->PayloadOffset(frame + kSize, length - kSize);
    return at == kNoPayload ? kNoPayload : kSize + at;
  }

 private:
  uint32_t Le32(uint32_t at) const { return QnvLoadLe32(bytes + at); }
};
static_assert(sizeof(QNVNetFrameHeader) == QNVNetFrameHeader::kSize, "the header is 40 bytes");

// One record of a recording's index file: the frame's header with bytes 28..31
// holding the body's offset in the data file (DataOffset()).
typedef QNVNetFrameHeader QNVNetIndexRecord;

// What a frame's H.264 payload holds, for counting pictures and key frames
// the same way everywhere (qnvctl, qnv-export and qnv-recorder count with
// it). A frame carries one NAL unit (a slice, or a parameter set or SEI sent
// ahead of a picture) behind a 3- or 4-byte start code, or now and then a few
// of them; this reads the payload's first bytes:
//   type          nal_unit_type of the first NAL unit, 0..31; -1 when the
//                 payload does not begin with a start code and a NAL unit
//                 header
//   sliceType     slice_type (0..9) of the first slice (NAL types 1..5)
//                 that begins within the first kScanBytes and begins a
//                 picture; -1 for none
//   startsPicture there is such a slice: its first_mb_in_slice is 0, so the
//                 frame begins a picture (one per picture a player shows)
//   keyPicture    startsPicture and an I slice (slice_type 2 or 7; every
//                 IDR picture among them): a picture a decoder can start at
//                 once it has the parameter sets sent ahead of it
// Byte 35 says I for the bits after the first NAL unit header whatever that
// unit is; this reads the slice itself. Any input is safe (short, empty, a
// lying extension length).
struct QNVNetFrameNal {
  static constexpr uint64_t kScanBytes = 4096;
  static constexpr int32_t kTypeNone = -1;
  static constexpr int32_t kTypeSlice = 1;  // a slice of a non-IDR picture
  static constexpr int32_t kTypeIdr = 5;    // a slice of an IDR picture, the last slice type
  static constexpr int32_t kTypeSei = 6;
  static constexpr int32_t kTypeSps = 7;
  static constexpr int32_t kTypePps = 8;

  int32_t type = kTypeNone;
  int32_t sliceType = -1;
  bool startsPicture = false;
  bool keyPicture = false;

  // nal_unit_type of a NAL unit whose header byte is nalHeader: its low five
  // bits, 0..31 for any byte.
  static int32_t TypeOf(uint8_t nalHeader) { return nalHeader & 0x1F; }
  // A slice of a picture (types 1..5), IDR or not.
  static bool IsSlice(int32_t type) { return type >= kTypeSlice && type <= kTypeIdr; }
  // A NAL unit (header byte first, no start code) that begins a picture: a
  // slice whose first_mb_in_slice is 0 (the Exp-Golomb code "1", the bit
  // right after the header; no emulation-prevention byte can come before
  // it). False for null, fewer than 2 bytes, any other type, or a later
  // slice of a picture. The header's forbidden_zero_bit is not looked at.
  static bool UnitStartsPicture(const uint8_t* unit, uint64_t size) {
    if (unit == nullptr || size < 2) return false;
    return IsSlice(TypeOf(unit[0])) && (unit[1] & 0x80) != 0;
  }
  // A slice_type that makes a picture a key picture: I (2 or 7).
  static bool IsKeySliceType(int32_t sliceType) { return sliceType % 5 == 2; }

  // payload: the H.264 bytes of a frame (after the header and the extension
  // block).
  static QNVNetFrameNal OfPayload(const uint8_t* payload, uint64_t length) {
    QNVNetFrameNal nal;
    uint64_t end = kScanBytes;  // a copy, so the constant needs no definition of its own
    if (length < end) end = length;
    if (payload == nullptr) return nal;
    for (uint64_t at = StartCodeEnd(payload, end, 0, true); at < end;
         at = StartCodeEnd(payload, end, at, false)) {
      if ((payload[at] & 0x80) != 0) return nal;  // forbidden_zero_bit: no NAL unit
      const int32_t type = TypeOf(payload[at]);
      if (nal.type == kTypeNone) nal.type = type;
      if (!IsSlice(type)) continue;
      // slice_type follows first_mb_in_slice's single bit (no
      // emulation-prevention byte can come between: that byte is not 0).
      if (!UnitStartsPicture(payload + at, end - at)) return nal;  // a later slice
      uint64_t bit = (at + 1) * 8 + 1;
      const int32_t sliceType = Ue(payload, end, bit);
      if (sliceType < 0 || sliceType > 9) return nal;
      nal.sliceType = sliceType;
      nal.startsPicture = true;
      nal.keyPicture = IsKeySliceType(sliceType);
      return nal;
    }
    return nal;
  }
  // A whole frame as the stream callback delivers it (header first).
  static QNVNetFrameNal OfFrame(const uint8_t* frame, uint64_t length) {
    if (frame == nullptr || length < QNVNetFrameHeader::kSize) return QNVNetFrameNal();
    const auto* header = reinterpret_cast<const QNVNetFrameHeader*>(frame);
    return OfBody(*header, frame + QNVNetFrameHeader::kSize, length - QNVNetFrameHeader::kSize);
  }
  // A frame's body as a recording's data file holds it (the extension block,
  // if the header flags one, then the payload), with its index record.
  static QNVNetFrameNal OfBody(const QNVNetFrameHeader& header, const uint8_t* body,
                               uint64_t length) {
    const uint64_t at = header.PayloadOffset(body, length);
    if (at == QNVNetFrameHeader::kNoPayload) return QNVNetFrameNal();
    return OfPayload(body == nullptr ? nullptr : body + at, length - at);
  }

 private:
  // Where the NAL unit after the start code at or past `from` begins; with
  // atStart the code must be right at `from`. end when there is none.
  static uint64_t StartCodeEnd(const uint8_t* p, uint64_t end, uint64_t from, bool atStart) {
    for (uint64_t i = from; i + 3 <= end; ++i) {
      if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) return i + 3;
      if (atStart && !(p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 0)) return end;
    }
    return end;
  }
  static bool Bit(const uint8_t* p, uint64_t end, uint64_t& bit) {
    if (bit / 8 >= end) return false;
    const bool b = (p[bit / 8] >> (7 - bit % 8)) & 1;
    ++bit;
    return b;
  }
  // An unsigned Exp-Golomb number, or -1 when it runs past end or is huge.
  static int32_t Ue(const uint8_t* p, uint64_t end, uint64_t& bit) {
    int zeros = 0;
    for (;;) {
      if (bit / 8 >= end) return -1;
      if (Bit(p, end, bit)) break;
      if (++zeros > 16) return -1;
    }
    uint32_t value = 1;
    for (int i = 0; i < zeros; ++i) {
      if (bit / 8 >= end) return -1;
      value = value << 1 | (Bit(p, end, bit) ? 1u : 0u);
    }
    return int32_t(value - 1);
  }
};

// Message callback: one device message (see Device messages above), with the
// session's client id, the address text and port given at login, value 0,
// body = the block from byte 8 (bytes 8..11 hold B) and length = B - 8. Called
// on the library's one message thread, one message at a time, in arrival
// order per session, taking the sessions with waiting messages in turn (a
// slow or blocked callback delays only messages; their reading, calls and
// video go on); messages that arrive during a login are delivered once
// the session is registered. body is valid only during the call. It may call
// any export but InitLib/UnInitLib, on any session including the one that
// sent the message; while it runs no other message is delivered. Without a
// registered callback messages are read and dropped.
typedef bool (*QNVNetMessageCallback)(uint32_t clientId, char* deviceIp, uint16_t port,
                                      uint16_t value, char* body, int32_t length, uint32_t user);

// Stream callback: called once per complete frame (40-byte header first, byte
// 35 the slice probe's mark, see QNVNetFrameNal) on the channel's receive thread, in
// arrival order; channels run side by side, so it may run on several threads
// at once (never twice at once for one channel). port is the device's port
// plus 2. The frame pointer is valid only during the call. It may call any
// export but InitLib/UnInitLib, including QNVNet_LiveClose on its own channel.
typedef bool (*QNVNetStreamCallback)(uint32_t clientId, char* deviceIp, uint16_t port, char* frame,
                                     int32_t length, uint32_t user);

// Disconnect callback: a session was lost (port = the login port; the
// session is logged out right after the callback returns): its command
// connection broke, or its device answered no keep-alive (see Liveness); or
// a channel's stream was lost (port = login port + 2; the channel stays open
// and silent until the host closes it): its connection broke, or it stalled
// (QNVNet_LiveSetStallTimeout). Called once per lost session or channel, on
// the thread that met the loss: a host thread inside an export (after the
// failed exchange, before the export returns), the keep-alive reporting
// thread, the watcher thread (a malformed device message), or a channel's
// receive thread (also for a stall); so callbacks for different sessions may
// run at the same time. Inside it, QNVNet_GetDisconnectReason tells why and,
// for a stream, which channel. A session with client id 0 is reported like
// any other. It may call any export but InitLib/UnInitLib. Logout and
// UnInitLib never call it.
typedef bool (*QNVNetDisconnectCallback)(uint32_t clientId, char* deviceIp, uint16_t port,
                                         uint32_t user);

// Why a session or a channel was reported lost (QNVNetLoss::reason). The
// numbers are stable.
enum QNVNetLossReason : uint32_t {
  QNVNET_LOSS_NONE = 0,
  // The connection broke: the device closed or reset it, a send or a read
  // failed, or TCP heard nothing from the device for about 20 s (a pulled
  // cable, a hung device). detail: the system's errno (ETIMEDOUT for the
  // TCP time-out), 0 when the device closed the connection.
  QNVNET_LOSS_BROKEN_CONNECTION = 1,
  // The device answered none of 3 keep-alives in a row (see Liveness); the
  // connection is shut down.
  QNVNET_LOSS_NO_KEEPALIVE_ANSWER = 2,
  // The playing channel received no frame for its stall time-out. detail:
  // that time-out in milliseconds. Its stream connection is shut down.
  QNVNET_LOSS_STREAM_STALLED = 3,
  // The device sent a device message with a block length outside 48..4096,
  // which leaves nothing to find the next message by.
  QNVNET_LOSS_MALFORMED_MESSAGE = 4,
};

// A short English name for a loss reason.
inline const char* QnvLossText(uint32_t reason) {
  switch (static_cast<QNVNetLossReason>(reason)) {
    case QNVNET_LOSS_NONE:
      return "not lost";
    case QNVNET_LOSS_BROKEN_CONNECTION:
      return "connection broken";
    case QNVNET_LOSS_NO_KEEPALIVE_ANSWER:
      return "no keep-alive answer";
    case QNVNET_LOSS_STREAM_STALLED:
      return "stream stalled";
    case QNVNET_LOSS_MALFORMED_MESSAGE:
      return "malformed device message";
  }
  return "unknown reason";
}

// What was lost and why.
struct QNVNetLoss {
  uint32_t reason;    // QNVNetLossReason
  uint32_t clientId;  // the session (of the channel, for a stream)
  uint32_t handle;    // the channel, for a stream; 0 for a session
  int32_t detail;     // see each reason; 0 otherwise
};

// Stores 0x01000000 in *version. Returns 0, or -3 for a null version. Needs
// no initialisation.
QNVNET_API uint32_t QNVNet_GetSdkVersion(uint32_t* version);

// Stores the three callbacks (null unregisters one) and the user value passed
// back to each. Returns 0. Needs no initialisation; takes no lock.
QNVNET_API uint32_t QNVNet_SetCallback(QNVNetMessageCallback, QNVNetStreamCallback,
                                       QNVNetDisconnectCallback, uint32_t user);

// Starts the library: the keep-alive tick, which pings every logged-in
// device every 5000 ms (see Liveness), and the device-message watcher. The
// player library is loaded later, when a channel opens with a window or a
// capture is asked, so a host whose channels have no window never maps it.
// Returns 0, or -20 when networking cannot be prepared. A second call
// without QNVNet_UnInitLib returns 0 and starts nothing twice.
QNVNET_API uint32_t QNVNet_InitLib();

// Closes every channel, recording and session without sending anything to the
// devices and without calling the disconnect callback, stops the library's
// threads and shuts the player down. No callback begins once it is called;
// it waits for callbacks in progress to return (an export such a callback
// calls meanwhile fails at once, its session being shut), however many
// devices are silent (their exchanges end at once), and returns 0 once no
// library thread is inside a callback or will enter one again: the host may
// then free what its callbacks use. Undelivered device messages are dropped.
// Called from inside a callback it does nothing and returns -91 (it would
// wait for itself). Call it when no other export runs. Callbacks stay
// registered for a later QNVNet_InitLib (which, from inside a callback,
// also returns -91).
QNVNET_API uint32_t QNVNet_UnInitLib();

// Logs in to the device at the dotted IPv4 address ip (at most 15
// characters) and port; user and password are sent as at most 16 bytes each.
// On 0, *clientId names the session. Returns -11 when 500 sessions exist
// or are logging in (nothing sent), -30 for any failure (bad address, refused or silent device,
// wrong credentials; *clientId untouched). The connection attempt waits up to
// 5 s, the reply up to about 6 s. A connection that breaks right after the
// login reply (a malformed device message, say) may be reported through the
// disconnect callback on the calling thread before this returns 0; the
// session is then already logged out.
QNVNET_API uint32_t QNVNet_DevLogin(uint32_t* clientId, const char* ip, uint16_t port,
                                    const char* user, const char* password);

// Closes the session's channels and recordings and its connection; sends
// nothing; a call in progress on the session ends at once. Returns 0, also
// for an unknown id.
QNVNET_API uint32_t QNVNet_DevLogout(uint32_t clientId);

// Opens a live channel; *handle receives a distinct nonzero channel handle.
// With a window the player draws every frame into it (the player library is
// loaded then). window may be null: the frames then reach the stream
// callback, the pre-record stretch and the recordings only, and the player
// costs nothing per frame. Returns 0, -3 null handle (nothing opened or sent), -30
// unknown client id (also when the session is logged out while the channel
// opens, from a callback say: nothing is left open), -42 64 channels open
// (nothing sent), -2, -41 streaming connection failed (the device's stream is
// closed again), or the open-stream transaction's code (-21, -24, -10, device
// result).
QNVNET_API uint32_t QNVNet_LiveOpen(uint32_t* handle, uint32_t clientId, HWND window);

// Closes the channel and its recordings; asks the device to close the stream
// (its answer is ignored). Returns 0, or -30 for an unknown handle. Safe from
// the channel's own callbacks.
QNVNET_API uint32_t QNVNet_LiveClose(uint32_t handle);

// Asks the device to pause / resume the stream. Returns 0, -30 unknown
// handle, or the transaction's code. A paused channel is never reported as
// stalled: the stall time-out (QNVNet_LiveSetStallTimeout) rests from the
// pause (unless the device refused it or did not answer) and starts afresh
// at the play, whatever the play's result.
QNVNET_API uint32_t QNVNet_LivePause(uint32_t handle);
QNVNET_API uint32_t QNVNet_LivePlay(uint32_t handle);

// Writes the channel's latest picture to path (.jpg/.jpeg, .png, .bmp; other
// extensions give JPEG). Returns 0 when the file holds the picture, -30
// unknown handle, -80 when no image was written (also, at once, when path
// names a FIFO, device or directory, or when the player library cannot be
// loaded). Loads the player library on first use.
//
// A channel with a window writes the picture its window shows, waiting up to
// 2 s for a first one. A channel without a window decodes, on the calling
// thread, from the frames it already holds, its pre-record stretch:
// - instant when the stretch holds a key frame with its parameter sets: the
//   decoding of the pictures from there to the newest (at 720p about 5 ms
//   each on one core, so up to a quarter of a second after a 2 s group of
//   pictures) and the image encoding. A timed pre-record of one group of
//   pictures or more (QNVNet_LiveSetPreRecord) always holds one: that makes
//   every capture instant.
// - otherwise (the default stretch of 358,400 bytes holds no key frame at
//   high bit rates) it waits for the next key frame, up to one group of
//   pictures, and decodes that; -80 when none arrives within 5 s.
// - a capture within 10 s of the previous one of the channel goes on with
//   that one's decoder (kept warm meanwhile: about 6 MiB at 720p, no CPU),
//   decoding only the frames since, as long as the stretch still holds them.
// It holds no lock of the session while it waits or decodes (keep-alives,
// recordings and other calls go on) and the channel's frames only while it
// copies them out. From a stream callback, on a paused channel and on one
// whose stream has ended, it never waits: it decodes what is held, or
// returns -80 at once. Captures of one channel run one at a time.
QNVNET_API uint32_t QNVNet_LiveCapture(uint32_t handle, const char* path);

// Starts a recording: path is the data file; the index file is the same path
// with the extension ".idx". Missing directories are created. The recording
// begins with the channel's pre-record stretch. When that stretch ends with
// the newest frame the channel delivered, the recording goes on with the very
// next frame, so nothing is missing between the two parts; when the stretch is
// empty, or a frame too large for it arrived after it, the recording goes on
// from the next key frame (frames in between are in neither part). It ends at
// 1 GiB, on QNVNet_LiveSaveClose, when the channel closes, or on a failed
// write. While it runs, the data file holds every frame written and the index
// lists at least every frame before the latest key frame; disk blocks are
// reserved a few MiB ahead and given back when it ends, when both files are
// complete. Returns 0 (id receives 1..16), -30, -72 (16 recordings open), -61
// (file not created, ".idx" data path, or a path another recording writes, by
// path or by device and inode; a FIFO, device or directory at either path, or
// a symbolic link at the index path; nothing created or truncated in the cases
// after the first).
QNVNET_API uint32_t QNVNet_LiveSaveOpen(uint32_t handle, const char* path, uint32_t& id);

// Ends a recording, flushing and closing both files. Returns 0, -30, or -73
// for an id the channel has no recording with (also one that already ended).
QNVNET_API uint32_t QNVNet_LiveSaveClose(uint32_t handle, uint32_t id);

// Extension. Splits a running recording at the next key frame without losing
// or repeating a frame: the new recording's files at newPath (index beside it,
// as for QNVNet_LiveSaveOpen) are created now, with no pre-record part; the
// frames delivered until the next key frame still go to recording id; at that
// key frame (the first frame of the key-frame kind, so parameter sets sent
// ahead of the picture come with it) id ends, its files complete and closed,
// and the new recording begins with that frame. Returns at once: 0 with
// *newId set to the new recording's id (1..16, distinct from id); -30; -41;
// -73 no recording id on this channel; -74 id already hands over, or is
// itself waiting to take over; -72 16 recordings open; -61 as
// QNVNet_LiveSaveOpen, or newPath null; -3 newId null. *newId is written only on 0.
// Until the key frame arrives both ids are open:
// - QNVNet_LiveSaveClose(newId) cancels the hand-over (id goes on; the new
//   files stay, empty); QNVNet_LiveSaveClose(id) ends id at once and the new
//   recording still begins at the next key frame;
// - id ending otherwise (1 GiB, failed write) leaves the new one waiting for
//   the next key frame likewise;
// - the channel closing (QNVNet_LiveClose, logout, QNVNet_UnInitLib) ends
//   both: id holds every frame up to the close, the new files stay, empty.
//   A channel whose stream stopped stays open, and so do both recordings.
QNVNET_API uint32_t QNVNet_LiveSaveRollover(uint32_t handle, uint32_t id, const char* newPath,
                                            uint32_t* newId);

// Extension. Keeps the channel's pre-record stretch by time: from now on it
// holds at least the last `milliseconds` of video (by arrival time) whenever
// maxBytes allows, in whole groups of pictures, so it always begins with a key
// frame and the parameter sets sent ahead of it and the first picture of every
// recording decodes. When maxBytes cannot hold the span, the oldest whole group
// goes first; a single group larger than maxBytes is not held at all (the
// stretch is then empty until the next group begins, and recordings wait for
// the next key frame). A span of one group of pictures or more also makes
// QNVNet_LiveCapture on a channel without a window instant. maxBytes 0
// means 16 MiB; otherwise 65,536 to 268,435,456 bytes. Memory per channel:
// maxBytes of frame bodies, allocated as they arrive, plus 64 bytes per held
// frame, at most 65,536 frames.
// milliseconds 0 restores the default stretch (maxBytes is then ignored): the
// newest frames whose bodies fit 358,400 bytes, beginning with whatever frame,
// which is what a channel keeps without this call. Either way the stretch held
// so far is dropped and gathered afresh. Each new recording still receives its
// stretch in one write. Returns 0; -30; -41; -90 milliseconds above 120,000 or
// maxBytes out of range (nothing changes).
QNVNET_API uint32_t QNVNet_LiveSetPreRecord(uint32_t handle, uint32_t milliseconds,
                                            uint32_t maxBytes);

// Extension. Reports the channel when it plays and receives no frame for
// `milliseconds`: once, through the disconnect callback with port = login
// port + 2, as a dropped stream connection is reported
// (QNVNET_LOSS_STREAM_STALLED). Its stream connection is shut down then, so
// the channel stays open and silent until the host closes it, with its
// recordings complete up to the last frame. The report comes after
// `milliseconds` of silence and at most 100 ms later, on the channel's
// receive thread; no thread per channel, nothing per frame. The time runs
// from this call, from each frame and from QNVNet_LivePlay, and rests while
// the channel is paused (QNVNet_LivePause). 0 (the default) turns it off;
// otherwise 100 to 3,600,000. Returns 0; -30 unknown handle; -90 out of
// range (nothing changes).
QNVNET_API uint32_t QNVNet_LiveSetStallTimeout(uint32_t handle, uint32_t milliseconds);

// Extension. Inside the disconnect callback: stores in *loss why the session
// or channel being reported was lost, its client id, and the channel's handle
// for a stream. Outside a disconnect callback (or on another thread) it
// stores reason QNVNET_LOSS_NONE and zeros. Needs no initialisation. Returns
// 0, or -3 for a null loss.
QNVNET_API uint32_t QNVNet_GetDisconnectReason(QNVNetLoss* loss);

// Extension. Stores in *loss whether and why the session was lost (reason
// QNVNET_LOSS_NONE while it is not). A session stays registered after its
// loss only while no disconnect callback is registered (its calls then fail
// with -21 until the host logs it out): this is how such a host learns why.
// Returns 0; -30 unknown client id; -3 null loss.
QNVNET_API uint32_t QNVNet_DevGetLossReason(uint32_t clientId, QNVNetLoss* loss);

// Extension. Stores in *loss whether and why the channel's stream was lost
// (reason QNVNET_LOSS_NONE while it is not), for as long as the channel stays
// open. Returns 0; -30 unknown handle; -3 null loss.
QNVNET_API uint32_t QNVNet_LiveGetLossReason(uint32_t handle, QNVNetLoss* loss);

// Extension. Stores in *dropped how many of the session's device messages
// were dropped, since its login, because the message callback fell behind
// (see Device messages): at most 1,024 wait per session. Takes no lock of
// the session: it answers at once, also while a call on it waits. Returns 0;
// -30 unknown client id; -3 null dropped.
QNVNET_API uint32_t QNVNet_DevGetMessageDrops(uint32_t clientId, uint64_t* dropped);

// PTZ move (four device-defined values) and preset (two values). Returns 0,
// -30, or the transaction's code.
QNVNET_API uint32_t QNVNet_PTZCtrlSend(uint32_t clientId, uint32_t v1, uint32_t v2, uint32_t v3,
                                       uint32_t v4);
QNVNET_API uint32_t QNVNet_PTZCtrlPreset(uint32_t clientId, uint32_t v1, uint32_t v2);

// Get exports (PTZ parameter, configuration, rules, algorithm parameters):
// length is the buffer's capacity on entry and the reply's payload length on
// return (0 after a failure, which leaves the buffer untouched). On success the
// buffer holds min(capacity, 4096) reply bytes followed by zeros up to the
// capacity; the reported length may exceed the capacity when the reply was cut.
// Returns 0, -30, or the transaction's code.
QNVNET_API uint32_t QNVNet_PTZGetParam(uint32_t clientId, uint32_t type, void* buffer,
                                       int32_t& length);
QNVNET_API uint32_t QNVNet_ManageGetSysConfig(uint32_t clientId, uint32_t type, void* buffer,
                                              int32_t& length);

// Set exports: send length bytes (at most 4,076; more gives -21 and sends
// nothing). Returns 0, -30, or the transaction's code.
QNVNET_API uint32_t QNVNet_ManageSetSysConfig(uint32_t clientId, uint32_t type, const void* data,
                                              int32_t length);

// Sends a system command with length bytes of data; length is only read.
// Returns 0, -30, or the transaction's code.
QNVNET_API uint32_t QNVNet_ManageSendSysCmd(uint32_t clientId, uint32_t type, const void* data,
                                            int32_t& length);

// Uploads a firmware image in 3,072-byte chunks. Returns 0 when every chunk
// was accepted, -30, or -1 (null path, unreadable file, 2 GiB or more, a
// chunk refused or unanswered; at once for a FIFO, device or directory).
QNVNET_API uint32_t QNVNet_ManageSysUpdateData(uint32_t clientId, const char* path);

// Starts the firmware installation; waits up to 180 s (twice when silent).
// Returns 0, -30, or the transaction's code.
QNVNET_API uint32_t QNVNet_ManageSysUpdateStart(uint32_t clientId);

// Rules: download (a get, see above), upload (a set), switch processing on (1)
// or off (0; any other value sends nothing and returns 0), and read the state.
QNVNET_API uint32_t QNVNet_RuleDownLoad(uint32_t clientId, void* buffer, int32_t& length);
QNVNET_API uint32_t QNVNet_RuleUpLoad(uint32_t clientId, const void* data, int32_t length);
QNVNET_API uint32_t QNVNet_RuleEnable(uint32_t clientId, int32_t on);
QNVNET_API uint32_t QNVNet_IsRuleEnable(uint32_t clientId, int32_t& state);

// Algorithm parameters: a get and a set, as above.
QNVNET_API uint32_t QNVNet_AlgorGetParam(uint32_t clientId, uint32_t type, void* buffer,
                                         int32_t& length);
QNVNET_API uint32_t QNVNet_AlgorSetParam(uint32_t clientId, uint32_t type, const void* data,
                                         int32_t length);

// Extension. Stores 1 in *available when the player library (libQNVPlayer.so,
// looked for beside the real file of libQNVNetSdk.so, symlinks resolved) is
// loaded, so live frames are decoded, drawn and captured; 0 when it could not
// be loaded (the debug channel said why, once). Loads it on first use; needs
// no initialisation; null stores nothing. Returns 0.
QNVNET_API uint32_t QNVNet_DecoderAvailable(int32_t* available);

#endif  // QNVNETSDK_H

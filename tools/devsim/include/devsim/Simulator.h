// Device simulator: a networked video-analytics device on 127.0.0.1 that tests and
// benchmarks drive the SDK against. It answers the command protocol on its command port,
// streams H.264 frames on the command port plus 2, records every request it receives and
// misbehaves on demand (fault injection).
//
// Device behaviour in brief (details in the comments below):
//  - Login (class 1 code 1, 32-byte payload: user[16], password[16], zero-padded) assigns
//    a random nonzero session id (or the fixed one of the options); wrong credentials get
//    result kResultBadLogin. Every reply carries the request's class and code and the
//    connection's session id. Requests before a login get kResultNotLoggedIn.
//  - A command connection that sends nothing for idleTimeoutMs is closed.
//  - Unknown class/code, and code 0 of every class, get kResultUnsupported.
//  - System commands (class 2 codes 1, 2, 3, 7, 8, 17, 18, 19, 21) are acknowledged;
//    code kRebootCode (2) acknowledges and then drops every connection ("reboot").
//  - Configuration items (class 2), algorithm parameters (class 7) and the rule block
//    (class 4) are stored per get code; a set code stores into its get code's item.
//    Items start as 64 bytes (the get code as u32 LE, then zeros); the rule block as 16
//    zero bytes. A set longer than a reply can carry (4,072 bytes) gets kResultBadPayload.
//  - Configuration get code 4 returns the device-information block (layout below); it is
//    rebuilt when the device starts and after every firmware installation.
//  - Firmware chunks (class 2 code 5) are checked and assembled; start (class 2 code 6)
//    answers after firmwareStartDelayMs and installs the assembled image, whose size and
//    CRC-32 then show in the device-information block.
//  - PTZ (class 5): control code 1 {command, arg1, arg2, arg3}, preset code 2
//    {action, number}; reads: code 17 position, 18 preset table, 19 limits (layouts below).
//  - Live (class 3): 1 open (reply payload: u32 stream id), 2 close, 3 pause, 4 play
//    (payload: u32 stream id); a stream connection on port+2 sends the one-way attach
//    (class 3 code 5, header word 00 01 00 01, payload u32 stream id) before frames flow.
//    An attach with an unknown or already attached stream id, or any other first message,
//    closes the stream connection. A stream starts at the first picture of the source and
//    loops; play resumes where pause stopped. A stream whose connection drops stays open
//    (it can be attached again); closing it, or the end of its session, closes its
//    connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qnv::devsim {

// Device result codes (reply bytes 16..19). 0 is success.
inline constexpr uint32_t kResultOk = 0;
inline constexpr uint32_t kResultBadLogin = 1;       // wrong user name or password
inline constexpr uint32_t kResultUnsupported = 2;    // unknown class/code, or code 0
inline constexpr uint32_t kResultNotLoggedIn = 3;    // request before a successful login
inline constexpr uint32_t kResultBadSession = 4;     // request carries another session's id
inline constexpr uint32_t kResultBadPayload = 5;     // payload of the wrong size or too long
inline constexpr uint32_t kResultBadChunk = 6;       // firmware chunk out of sequence / bad
inline constexpr uint32_t kResultUnknownStream = 7;  // stream id not open on this device
inline constexpr uint32_t kResultNoFirmware = 8;     // start without a fully assembled image
inline constexpr uint32_t kResultBadPreset = 9;      // PTZ preset not set / out of range

// The system command (class 2) that reboots the simulated device: acknowledged, then every
// command and stream connection is dropped (selector 11 of the host's command table).
inline constexpr uint16_t kRebootCode = 2;

// Device-information block, returned for configuration get code 4 (selector 13); 128 bytes,
// numbers little-endian, texts zero-padded:
//   0  char[32] model text ("QNV-SIM-100")
//  32  char[32] firmware version text ("1.0.0"; "1.0.<n>" after the n-th firmware update)
//  64  u32      size in bytes of the installed firmware image (0 before any update)
//  68  u32      CRC-32 (IEEE, as zlib's crc32) of the installed image (0 before any update)
//  72  u32      number of firmware updates installed since start
//  76  char[32] serial number text ("SIM00000001")
// 108  u32      command port
// 112  u32      stream port (command port + 2)
// 116  12 bytes zero
inline constexpr size_t kDeviceInfoSize = 128;
inline constexpr size_t kDeviceInfoModelOffset = 0;
inline constexpr size_t kDeviceInfoVersionOffset = 32;
inline constexpr size_t kDeviceInfoImageSizeOffset = 64;
inline constexpr size_t kDeviceInfoImageCrcOffset = 68;
inline constexpr size_t kDeviceInfoUpdateCountOffset = 72;
inline constexpr size_t kDeviceInfoSerialOffset = 76;
inline constexpr size_t kDeviceInfoCommandPortOffset = 108;
inline constexpr size_t kDeviceInfoStreamPortOffset = 112;

// PTZ. Control (class 5 code 1) payload: four u32 LE {command, arg1, arg2, arg3}:
//   0 stop (no change); 1 tilt up, 2 tilt down, 3 pan left, 4 pan right, 5 zoom in,
//   6 zoom out, each by arg1 steps (0 counts as 1); 7 absolute: pan arg1, tilt arg2,
//   zoom arg3. Other commands get kResultUnsupported. Pan wraps in [0, 3600) (tenths of a
//   degree), tilt is clamped to [0, 900], zoom to [10, 300] (tenths of magnification).
// Preset (class 5 code 2) payload: two u32 LE {action, number}, number 1..255:
//   1 store the current position, 2 go to the stored position (kResultBadPreset if none),
//   3 clear.
// Reads: code 17 -> {pan, tilt, zoom} (3 x u32); code 18 -> u32 count then count x
//   {number, pan, tilt, zoom} (u32 each, ascending number); code 19 -> {panMin, panMax,
//   tiltMin, tiltMax, zoomMin, zoomMax} (6 x u32).
inline constexpr uint32_t kPanRange = 3600;
inline constexpr uint32_t kTiltMax = 900;
inline constexpr uint32_t kZoomMin = 10, kZoomMax = 300;

// Frames on a stream connection: a 40-byte header, an optional extension block (u32 N and
// N bytes, when byte 36 is 1) and one H.264 NAL unit with a 4-byte start code. Header, LE:
//   0 u32 frame counter of the stream (0, 1, 2, ...), 4 "QNVV", 8 u32 stream id,
//   12 u32 payload length, 16 u64 capture time in microseconds (same for a picture and
//   the parameter sets / SEI sent with it), 24..35 zero (35, the frame kind, is the host's),
//   36 extFlag, 37..39 zero.
// Extension block (with SimulatorOptions::extensionBlocks): N = 8: u32 stream id,
//   u32 picture number.

// Rule alarms: a device message the device sends unasked on every logged-in command
// connection: periodically while rule processing is on (SimulatorOptions::alarmIntervalMs),
// on demand (Simulator::RaiseAlarm), and, when asked, just before every reply in the same
// write. The layout is the device's, in the installed header QNVNetAlarm.h (56 bytes; the
// simulator sends channel 1, its wall clock as the capture time, a box that wanders over
// the picture its streams send, inside it, and a sequence number per device from 1).

// A misbehaviour of the command connection, applied to replies of one class and code.
struct Fault {
  enum Kind {
    kNone,
    kNoReply,       // swallow the request, send nothing, keep reading
    kDelay,         // reply after `value` ms (later requests wait behind it)
    kClose,         // close the command connection instead of replying
    kWrongSession,  // reply with session id `value` (when 0: the right id + 1)
    kBadPrefix,     // reply whose length-prefix check byte is wrong
    kSplit,         // reply in two writes (first 10 bytes, rest), `value` ms apart (0: 50)
    kDoubleReply,   // the reply twice in one write
    kResult,        // reply with result `value` and no payload
    kShortReply     // reply of `value` bytes (4..23; otherwise 16) with a valid prefix
  };
  Kind kind = kNone;
  uint32_t value = 0;  // result code, delay ms, ... (see each kind)
  int count = -1;      // how many times; -1 = always
};

// A misbehaviour of every stream connection (one at a time for the whole device).
struct StreamFault {
  enum Kind {
    kNone,
    kGarbage,       // `value` bytes (0: 16) of non-frame bytes after the next frame
    kOversize,      // a frame with payloadLength `value` (0: 2 MiB); up to 16 MiB the
                    // payload is really sent, above that only the lying header
    kDropMidFrame,  // send half of the next frame, then close the stream connection
    kRefuse         // value 0: accept and close at once; 1: leave connections unaccepted
  };
  Kind kind = kNone;
  uint32_t value = 0;
  int count = 1;  // how many times (frames or connections); -1 = always. kRefuse: always
};

struct SimulatorOptions {
  std::string user = "admin", password = "admin";
  uint16_t port = 0;     // 0: ephemeral P with P+2 free too
  std::string clipPath;  // empty: synthetic source
  bool fixedSessionId = false;
  uint32_t sessionId = 0;  // fixed id (may be 0)
  int idleTimeoutMs = 30000;
  int firmwareStartDelayMs = 0;
  bool paced = true;
  double fps = 25;
  uint32_t syntheticBitrate = 2000000;
  uint32_t syntheticWidth = 1280, syntheticHeight = 720;
  int syntheticGop = 50;
  bool extensionBlocks = false;
  // Additions beyond the first API:
  // Bytes a stream may have queued and unsent before the device skips pictures up to the
  // next key frame (a reader that cannot keep up). 0: never skip, just keep writing.
  size_t maxStreamBacklog = 8u << 20;
  // Socket send buffer of stream connections in bytes (0: the system's own, which grows to
  // megabytes); a small one makes a slow reader show up at once.
  int streamSendBuffer = 0;
  // Most requests kept in the log (oldest dropped first); 0: unlimited.
  size_t maxLoggedRequests = 0;
  // Print one line per request / connection event to stderr.
  bool verbose = false;
  // Raise a rule alarm every this many ms while rule processing is on; a value above 0
  // also starts the device with rule processing on. 0: no periodic alarms.
  int alarmIntervalMs = 0;
  // Send an alarm just before every reply, in the same write.
  bool alarmBeforeReply = false;
  // Each alarm's size, QNVNET_ALARM_SIZE..4096 (zeros after the layout), and how many
  // alarms each connection gets per interval: a device flooding its host with events.
  uint32_t alarmSize = 56;
  uint32_t alarmBurst = 1;
};

// What a freeze stops (Simulator::Freeze).
enum class FreezeScope {
  kStream,  // streams send no more frames; commands and keep-alives are answered
  kDevice   // nothing is read, written or accepted any more, as in a hung process
};

struct LoggedRequest {
  uint64_t connection;  // connection id, unique per accepted connection
  bool stream;          // true: arrived on a stream connection
  uint32_t headerWord;  // bytes 4..7 as a little-endian number (1, or 0x01000100)
  uint16_t cls, code;
  uint32_t sessionId;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> raw;  // the whole message, prefix included
};

// Owns the listening sockets, every accepted connection, the device state and one network
// thread that runs all of them. Every public method may be called from any thread except
// from inside the simulator's own thread (none of its callbacks reach user code). Nothing
// must outlive it; the destructor stops it.
class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator();  // Stop()
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool Start();  // binds 127.0.0.1:port and port+2, starts its thread; false on failure
  void Stop();   // closes everything and joins the thread; idempotent
  const std::string& LastError() const;  // why Start failed

  uint16_t Port() const;  // the command port; streams on Port()+2

  std::vector<LoggedRequest> Requests() const;
  void ClearRequests();
  bool WaitForRequests(size_t count, int timeoutMs);  // true once at least count logged

  void SetFault(uint16_t cls, uint16_t code, Fault fault);
  void SetStreamFault(StreamFault fault);
  void ClearFaults();

  void DropAllConnections();  // also what the reboot command does
  // Freezes without closing anything. kDevice: the network thread stops, as if the process
  // hung (the kernel still acknowledges and buffers what the host sends, until the buffers
  // are full); calls that need that thread (DropAllConnections, RaiseAlarm) wait until
  // Thaw, Stop thaws first. kStream: every stream stops sending frames (the schedule runs
  // on, and a stream resumes at a key picture). Thaw undoes either.
  void Freeze(FreezeScope scope);
  void Thaw();
  // Sends one rule alarm with this rule id on every logged-in command connection now;
  // returns how many connections it went to.
  size_t RaiseAlarm(uint32_t ruleId = 1);
  void SetAlarmBeforeReply(bool on);
  uint32_t AlarmsRaised() const;  // the last sequence number used
  size_t SessionCount() const;    // logged-in command connections open now
  size_t StreamCount() const;     // attached stream connections open now
  uint64_t FramesSent() const;    // frames completely written, all streams

  std::vector<uint8_t> FirmwareImage() const;               // the last fully assembled image
  std::vector<uint8_t> ConfigItem(uint16_t getCode) const;  // class 2 item (empty: none)
  void SetConfigItem(uint16_t getCode, std::vector<uint8_t> data);

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

// The NAL units of an Annex-B H.264 file, in stream order, each starting with a 4-byte
// start code (3-byte start codes are widened). Empty when the file cannot be read.
std::vector<std::vector<uint8_t>> LoadClipNalUnits(const std::string& path);

}  // namespace qnv::devsim

// The calling thread's note of why the last export failed: a kind, a number
// (the device's result or the system's errno) and a line of text. Failure
// points deep in the library record it; the exports clear it on entry, so
// after a failed export it describes that export's failure (or says nothing
// when no failure point knew more than the result code). One note per
// thread, so concurrent callers never see each other's reasons.
#ifndef QNV_PLATFORM_FAILURENOTE_H
#define QNV_PLATFORM_FAILURENOTE_H

#include <cstdint>

namespace qnv::platform {

// The numbers are public: qnvnet.h gives them as QNVNET_REASON_*.
enum class FailureKind : int32_t {
  kNone = 0,
  kDeviceRefused = 1,      // detail: the device's result code
  kBadCredentials = 2,     // detail: the device's result code
  kNoAnswer = 3,           // no connection or no reply within the time-out
  kConnectionRefused = 4,  // detail: errno
  kBadAddress = 5,
  kNetwork = 6,  // detail: errno (unreachable, reset, closed ...)
  kSystem = 7,   // detail: errno (files, directories, memory)
  kBadArgument = 8,
  kNotFound = 9,     // unknown client id, handle or recording
  kLimit = 10,       // a fixed limit is reached
  kProtocol = 11,    // the device's reply broke the protocol
  kInCallback = 12,  // a call a callback may not make (InitLib, UnInitLib)
};

constexpr int kFailureTextSize = 256;

struct FailureNote {
  FailureKind kind = FailureKind::kNone;
  int32_t detail = 0;
  char text[kFailureTextSize] = {};
};

// Records a failure on this thread (text is cut to fit). The first note
// after ClearFailure wins: it is closest to the cause.
void NoteFailure(FailureKind kind, int32_t detail, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Records errno's text after a prefix, as kind with detail errno.
void NoteErrno(FailureKind kind, int error, const char* what);
void ClearFailure();
const FailureNote& LastFailure();

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_FAILURENOTE_H

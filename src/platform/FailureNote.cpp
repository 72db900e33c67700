#include "platform/FailureNote.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qnv::platform {

namespace {
thread_local FailureNote t_note;
}

void NoteFailure(FailureKind kind, int32_t detail, const char* format, ...) {
  if (t_note.kind != FailureKind::kNone) return;
  t_note.kind = kind;
  t_note.detail = detail;
  va_list args;
  va_start(args, format);
  std::vsnprintf(t_note.text, sizeof t_note.text, format, args);
  va_end(args);
}

void NoteErrno(FailureKind kind, int error, const char* what) {
  char buffer[128];
  // The GNU strerror_r returns the text, which may not be in buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  NoteFailure(kind, error, "%s: %s", what, text);
}

void ClearFailure() { t_note = FailureNote{}; }

const FailureNote& LastFailure() { return t_note; }

}  // namespace qnv::platform

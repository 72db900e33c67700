#include "platform/Debug.h"

#include <syslog.h>

#include <atomic>

namespace qnv::platform {

namespace {
std::atomic<DebugSink> g_sink{nullptr};
}

void DebugOutput(const char* utf8Text) {
  if (utf8Text == nullptr) return;
  if (DebugSink sink = g_sink.load()) {
    sink(utf8Text);
    return;
  }
  syslog(LOG_DEBUG, "%s", utf8Text);
}

void SetDebugSinkForTesting(DebugSink sink) { g_sink.store(sink); }

}  // namespace qnv::platform

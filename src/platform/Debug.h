// The debug channel: lines for a developer watching the library, sent as
// UTF-8 to syslog at LOG_DEBUG. Tests can capture them.
#ifndef QNV_PLATFORM_DEBUG_H
#define QNV_PLATFORM_DEBUG_H

namespace qnv::platform {

void DebugOutput(const char* utf8Text);

// When set, DebugOutput calls this instead of syslog.
using DebugSink = void (*)(const char* utf8Text);
void SetDebugSinkForTesting(DebugSink sink);

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_DEBUG_H

// LibavLog: keeps libavcodec's messages about the player's own work off the
// host's stderr. Once installed, a libav log handler sends the messages of
// the player's codec contexts (marked with MarkOwnContext) and of any libav
// call made on a thread inside a LibavLogScope to the debug channel (syslog
// at LOG_DEBUG, as the SDK's own debug lines), at most kMaxLinesPerSecond of
// them, with a count of those left out. Every other message goes to
// libavutil's default handler, as it would without the player. The handler
// is process-wide (libavutil has one); it is installed when the first port
// opens and put back to the default when the library is unloaded.
// Any thread.
#ifndef QNVPLAYER_LIBAVLOG_H
#define QNVPLAYER_LIBAVLOG_H

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qnv::player {

class LibavLog {
 public:
  static constexpr int kMaxLinesPerSecond = 20;

  // Installs the handler; safe to call repeatedly.
  static void Install();
  // Puts libavutil's default handler back.
  static void Uninstall();
  // Marks a codec context (and the thread copies libavcodec makes of it) as
  // the player's.
  static void MarkOwnContext(AVCodecContext* context);

  // Where debug lines go; null restores syslog. For tests.
  using Sink = void (*)(const char* line);
  static void SetSinkForTesting(Sink sink);
};

// Marks libav calls made on this thread while it exists as the player's.
class LibavLogScope {
 public:
  LibavLogScope();
  ~LibavLogScope();
  LibavLogScope(const LibavLogScope&) = delete;
  LibavLogScope& operator=(const LibavLogScope&) = delete;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_LIBAVLOG_H

#include "LibavLog.h"

#include <syslog.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace qnv::player {
namespace {

// The address marks the player's codec contexts in their opaque field.
constexpr char kOwnMarker = 0;
thread_local int t_scopes = 0;
std::atomic<LibavLog::Sink> g_sink{nullptr};
std::atomic<bool> g_installed{false};

// Lines per second, counted over whole seconds of the monotonic clock.
std::mutex g_rateMutex;
int64_t g_second = -1;
int g_lines = 0;
uint64_t g_suppressed = 0;

bool Own(void* avcl) {
  if (t_scopes > 0) return true;
  if (avcl == nullptr) return false;
  const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
  return cls == avcodec_get_class() &&
         static_cast<const AVCodecContext*>(avcl)->opaque == &kOwnMarker;
}

void Emit(const char* line) {
  if (LibavLog::Sink sink = g_sink.load()) {
    sink(line);
    return;
  }
  syslog(LOG_DEBUG, "QNVPlayer: %s", line);
}

void OnLog(void* avcl, int level, const char* format, va_list args) {
  if (!Own(avcl)) {
    av_log_default_callback(avcl, level, format, args);
    return;
  }
  if (level > av_log_get_level()) return;
  uint64_t suppressed = 0;
  {
    const int64_t second = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    std::lock_guard lock(g_rateMutex);
    if (second != g_second) {
      g_second = second;
      g_lines = 0;
    }
    if (++g_lines > LibavLog::kMaxLinesPerSecond) {
      ++g_suppressed;
      return;
    }
    suppressed = g_suppressed;
    g_suppressed = 0;
  }
  char line[512];
  int prefix = 1;
  av_log_format_line2(avcl, level, format, args, line, sizeof line, &prefix);
  size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
  if (suppressed > 0) {
    char note[96];
    std::snprintf(note, sizeof note, "libav: %llu messages left out (rate limit)",
                  static_cast<unsigned long long>(suppressed));
    Emit(note);
  }
  if (n > 0) Emit(line);
}

}  // namespace

void LibavLog::Install() {
  if (g_installed.exchange(true)) return;
  av_log_set_callback(&OnLog);
}

void LibavLog::Uninstall() {
  if (!g_installed.exchange(false)) return;
  av_log_set_callback(&av_log_default_callback);
}

void LibavLog::MarkOwnContext(AVCodecContext* context) {
  context->opaque = const_cast<char*>(&kOwnMarker);
}

void LibavLog::SetSinkForTesting(Sink sink) { g_sink.store(sink); }

LibavLogScope::LibavLogScope() { ++t_scopes; }
LibavLogScope::~LibavLogScope() { --t_scopes; }

}  // namespace qnv::player

// libqnv-bench-recv-shim.so, preloaded (LD_PRELOAD) into qnv-bench-ingest by
// the pieces runs of qnv-bench: counts the reads that returned bytes
// (qnv_bench_shim_reads, which the receiver looks up), and with
// QNV_BENCH_NO_RCVLOWAT=1 ignores SO_RCVLOWAT, so the same library runs
// without its wake threshold. Nothing else changes.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<uint64_t> g_reads{0};

bool DropLowWater() {
  static const bool drop = [] {
    const char* v = std::getenv("QNV_BENCH_NO_RCVLOWAT");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  return drop;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) uint64_t qnv_bench_shim_reads() { return g_reads.load(); }

__attribute__((visibility("default"))) ssize_t recv(int fd, void* data, size_t length, int flags) {
  using Fn = ssize_t (*)(int, void*, size_t, int);
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "recv"));
  const ssize_t n = real(fd, data, length, flags);
  if (n > 0) g_reads.fetch_add(1, std::memory_order_relaxed);
  return n;
}

__attribute__((visibility("default"))) int setsockopt(int fd, int level, int name,
                                                      const void* value, socklen_t length) {
  using Fn = int (*)(int, int, int, const void*, socklen_t);
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "setsockopt"));
  if (level == SOL_SOCKET && name == SO_RCVLOWAT && DropLowWater()) return 0;
  return real(fd, level, name, value, length);
}
}

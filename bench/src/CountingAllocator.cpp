#include "CountingAllocator.h"

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> g_allocations{0};
std::atomic<int> g_traceFd{-1};
thread_local bool t_inTrace = false;

void Trace() {
  int fd = g_traceFd.load(std::memory_order_relaxed);
  if (fd < 0 || t_inTrace) return;
  t_inTrace = true;  // backtrace may allocate on its first call
  void* frames[32];
  int n = backtrace(frames, 32);
  static const char kMark[] = "-- allocation\n";
  (void)!write(fd, kMark, sizeof kMark - 1);
  backtrace_symbols_fd(frames, n, fd);
  t_inTrace = false;
}

void* Allocate(std::size_t size, std::size_t align) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  Trace();
  if (size == 0) size = 1;
  void* p = align > alignof(std::max_align_t)
                ? std::aligned_alloc(align, (size + align - 1) / align * align)
                : std::malloc(size);
  return p;
}

}  // namespace

namespace qnv::bench {
uint64_t AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

void TraceAllocations(bool on) {
  static int fd = [] {
    const char* path = std::getenv("QNV_BENCH_ALLOC_TRACE");
    if (!path || !*path) return -1;
    void* warm[1];
    backtrace(warm, 1);  // loads the unwinder before any window opens
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }();
  g_traceFd.store(on ? fd : -1, std::memory_order_relaxed);
}
}  // namespace qnv::bench

void* operator new(std::size_t size) {
  if (void* p = Allocate(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = Allocate(size, std::size_t(align))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  if (void* p = Allocate(size, std::size_t(align))) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

#include "PageArena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace qnv::player {
namespace {

size_t PageSize() {
  static const size_t page = [] {
    const long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? size_t(p) : size_t(4096);
  }();
  return page;
}

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

PageArena::PageArena(size_t capacity)
    : m_capacity(RoundUp(capacity == 0 ? 1 : capacity, PageSize())) {
  // No swap reservation for the whole stretch: only written pages count.
  void* p = mmap(nullptr, m_capacity, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  m_base = static_cast<uint8_t*>(p);
}

PageArena::~PageArena() { munmap(m_base, m_capacity); }

void PageArena::Trim(size_t keep) {
  const size_t from = RoundUp(keep, PageSize());
  if (from >= m_touched || from >= m_capacity) return;
  madvise(m_base + from, m_capacity - from, MADV_DONTNEED);
  m_touched = from;
}

}  // namespace qnv::player

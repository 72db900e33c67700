// PageArena: one fixed stretch of address space, reserved at construction
// and never moved, whose pages become memory only when first written. Lets
// a store grow in place up to its bound without reallocating (so readers
// may keep pointers into it) and reuse the same pages over and over, which
// costs no page faults once they have been touched. Trim gives pages back.
// Not synchronised; the owner decides who writes where.
#ifndef QNVPLAYER_PAGEARENA_H
#define QNVPLAYER_PAGEARENA_H

#include <cstddef>
#include <cstdint>

namespace qnv::player {

class PageArena {
 public:
  // data() is aligned at least this much (it is the start of a page).
  static constexpr size_t kAlignment = 4096;
  // Reserves capacity bytes (rounded up to whole pages); throws
  // std::bad_alloc when the address space cannot be had.
  explicit PageArena(size_t capacity);
  PageArena(const PageArena&) = delete;
  PageArena& operator=(const PageArena&) = delete;
  ~PageArena();

  uint8_t* data() const { return m_base; }
  size_t capacity() const { return m_capacity; }
  // Notes that bytes up to end have been written (for Trim).
  void Touched(size_t end) {
    if (end > m_touched) m_touched = end;
  }
  size_t touched() const { return m_touched; }
  // Returns the pages wholly beyond keep to the system; they read as zeros
  // (and cost a fault) when written again.
  void Trim(size_t keep);

 private:
  uint8_t* m_base = nullptr;
  size_t m_capacity = 0;
  size_t m_touched = 0;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_PAGEARENA_H

// A forward-only reader over a fuzz input. Every read past the end yields
// zeros, so a harness never has to check the remaining length itself and a
// truncated input still means something. One thread; the input it reads
// must outlive it.
#ifndef QNV_FUZZ_FUZZINPUT_H
#define QNV_FUZZ_FUZZINPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace qnv::fuzz {

// Stops the run with a message; libFuzzer saves the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

#define QNV_FUZZ_CHECK(cond)                                 \
  do {                                                       \
    if (!(cond)) ::qnv::fuzz::Fail(#cond " (" __FILE__ ")"); \
  } while (0)

class CFuzzInput {
 public:
  CFuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  CFuzzInput(const CFuzzInput&) = delete;
  CFuzzInput& operator=(const CFuzzInput&) = delete;

  bool Empty() const { return m_pos >= m_size; }
  size_t Remaining() const { return m_size - m_pos; }

  uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint16_t U16() {
    uint16_t lo = U8();
    return uint16_t(lo | uint16_t(U8()) << 8);
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | uint32_t(U16()) << 16;
  }
  // Up to n bytes (fewer at the end of the input), as a pointer into it.
  const uint8_t* Bytes(size_t n, size_t* got) {
    *got = std::min(n, Remaining());
    const uint8_t* p = m_data + m_pos;
    m_pos += *got;
    return p;
  }
  std::vector<uint8_t> Vector(size_t n) {
    size_t got;
    const uint8_t* p = Bytes(n, &got);
    return std::vector<uint8_t>(p, p + got);
  }
  std::vector<uint8_t> Rest() { return Vector(Remaining()); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// Writes a little-endian record field the way the harnesses read it back.
inline void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
inline void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  PutU16(out, uint16_t(v));
  PutU16(out, uint16_t(v >> 16));
}

}  // namespace qnv::fuzz

#endif  // QNV_FUZZ_FUZZINPUT_H

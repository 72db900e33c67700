// Counts every allocation made through operator new in this process (the
// replacement operators live in CountingAllocator.cpp and also serve
// libQNVNetSdk.so, whose operator new binds to the executable's). Used to
// show that a steady stream of frames allocates nothing. Thread-safe.
#ifndef QNV_BENCH_COUNTINGALLOCATOR_H
#define QNV_BENCH_COUNTINGALLOCATOR_H

#include <cstdint>

namespace qnv::bench {

uint64_t AllocationCount();

// While on, and when QNV_BENCH_ALLOC_TRACE names a file, each allocation's
// call stack is appended there (to find what allocates in a window).
void TraceAllocations(bool on);

}  // namespace qnv::bench

#endif  // QNV_BENCH_COUNTINGALLOCATOR_H

// Counts the heap allocations the process makes: malloc and its relatives
// are taken over in the benchmark binary and passed on to glibc's own, so
// allocations by the C++ runtime, our libraries and the peers all count.
// The count is process-wide and safe to read from any thread.
#ifndef EKLOGGER_BENCH_COUNTING_ALLOCATOR_H_
#define EKLOGGER_BENCH_COUNTING_ALLOCATOR_H_

#include <cstdint>

namespace bench {

// Allocations made since the process started.
std::uint64_t allocation_count();

}  // namespace bench

#endif  // EKLOGGER_BENCH_COUNTING_ALLOCATOR_H_

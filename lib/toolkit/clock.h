// The toolkit's clocks, read through its seam to the operating system
// (os.h): each a vDSO call, not a system call.  Safe from any thread.
#ifndef EKLOGGER_TOOLKIT_CLOCK_H_
#define EKLOGGER_TOOLKIT_CLOCK_H_

#include <time.h>

#include <cstdint>

#include "toolkit/os.h"

namespace gw {

// Milliseconds of CLOCK_MONOTONIC: for waits and deadlines.
inline std::int64_t monotonic_ms() {
  struct timespec now;
  os_clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The same of CLOCK_MONOTONIC_COARSE, a few milliseconds late and the
// cheapest to read: for what a record checks once a second.
inline __attribute__((always_inline)) std::int64_t coarse_monotonic_ms() {
  struct timespec now;
  os_clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Microseconds since the epoch: a record's time.
inline std::int64_t realtime_us() {
  struct timespec now;
  os_clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_CLOCK_H_

#include "call_floor.h"

namespace bench {

FloorLogger::~FloorLogger() = default;

void FloorLogger::finer(const char* text, const char* file, const char* function, int line) {
  if (bench_floor_is_loggable(handle_, 2000) <= 0) return;
  // Never reached: keeps the arguments alive as a real logger would.
  bench_floor_is_loggable(const_cast<char*>(text + line), file == function ? 1 : 0);
}

FloorLogger* make_floor_logger() { return new FloorLogger; }

}  // namespace bench

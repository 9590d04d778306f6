// The allocator behind every text that the toolkit and the runtime hand out
// for their callers to free with OruMemoryFree.  Each thread keeps a few
// freed blocks and hands them out again, so a caller that takes and frees a
// text per record (a property read for every trace record) does not reach
// malloc in steady state.  Blocks are malloc's own: a text from here may be
// given to realloc or free, and OruMemoryFree takes any malloc'd block.
// Safe from any thread; a block may be freed on a thread other than the one
// that took it.
#ifndef NXRT_BLOCK_CACHE_H_
#define NXRT_BLOCK_CACHE_H_

#include <cstddef>

#include "eklogger/platform/platform_api.h"

namespace nxrt {

// size bytes (at least one) for a text, or null when memory is exhausted.
EKLOGGER_PLATFORM_API void* allocate_text(std::size_t size);

}  // namespace nxrt

#endif  // NXRT_BLOCK_CACHE_H_

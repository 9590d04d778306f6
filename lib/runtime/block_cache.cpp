// A thread's cache is a handful of malloc'd blocks with their usable sizes,
// in static TLS so that reaching it costs no __tls_get_addr call.  The cache
// is trivially destructible; a second thread_local with a destructor, first
// touched when the thread caches its first block, gives the blocks back when
// the thread ends.  Frees that come later in the thread's end (from other
// thread_local destructors) go straight to free.
#include "runtime/block_cache.h"

#include <malloc.h>

#include <cstdint>
#include <cstdlib>

#include "eklogger/platform/runtime.h"

namespace {

// Enough for the texts a record's formatting takes and frees one after
// another, with room to spare; bounded, so a thread holds at most
// kCachedBlocks * kLargestCachedBlock bytes it is not using.
constexpr unsigned kCachedBlocks = 4;
constexpr std::size_t kLargestCachedBlock = 512;

enum : std::uint8_t { kCacheUnused = 0, kCacheLive, kCacheGone };

struct BlockCache {
  void* blocks[kCachedBlocks];
  std::uint32_t sizes[kCachedBlocks];  // malloc_usable_size of each block
  std::uint8_t count;
  std::uint8_t state;
};

__attribute__((tls_model("initial-exec"))) thread_local BlockCache t_cache = {};

struct CacheReaper {
  ~CacheReaper() {
    BlockCache& cache = t_cache;
    cache.state = kCacheGone;
    while (cache.count > 0) std::free(cache.blocks[--cache.count]);
  }
};
thread_local CacheReaper t_reaper;

}  // namespace

namespace nxrt {

void* allocate_text(std::size_t size) {
  BlockCache& cache = t_cache;
  for (unsigned i = cache.count; i-- > 0;) {
    if (cache.sizes[i] < size) continue;
    void* block = cache.blocks[i];
    --cache.count;
    cache.blocks[i] = cache.blocks[cache.count];
    cache.sizes[i] = cache.sizes[cache.count];
    return block;
  }
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace nxrt

extern "C" {

void OruMemoryFree(void* memory) {
  if (memory == nullptr) return;
  BlockCache& cache = t_cache;
  if (cache.state != kCacheGone && cache.count < kCachedBlocks) {
    const std::size_t usable = malloc_usable_size(memory);
    if (usable <= kLargestCachedBlock) {
      if (cache.state == kCacheUnused) {
        static_cast<void>(&t_reaper);  // registers the thread's end
        cache.state = kCacheLive;
      }
      cache.blocks[cache.count] = memory;
      cache.sizes[cache.count] = static_cast<std::uint32_t>(usable);
      ++cache.count;
      return;
    }
  }
  std::free(memory);
}

}  // extern "C"

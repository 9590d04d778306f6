#include "counting_allocator.h"

#include <atomic>
#include <cstddef>

// glibc's allocator under its own names, which stay reachable when the
// public names are defined here.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* memory);
}

namespace {
std::atomic<std::uint64_t> allocations{0};
void count() { allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

namespace bench {
std::uint64_t allocation_count() { return allocations.load(std::memory_order_relaxed); }
}  // namespace bench

extern "C" {

void* malloc(std::size_t size) {
  count();
  return __libc_malloc(size);
}

void* calloc(std::size_t count_of, std::size_t size) {
  count();
  return __libc_calloc(count_of, size);
}

void* realloc(void* memory, std::size_t size) {
  count();
  return __libc_realloc(memory, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
  count();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** memory, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
  count();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;  // ENOMEM
  *memory = block;
  return 0;
}

void free(void* memory) { __libc_free(memory); }

}  // extern "C"

#include "handles.h"

namespace gw {

static_assert(sizeof(std::uintptr_t) >= 8, "handles encode 64 bits");

HandleTable::~HandleTable() {
  for (std::uint32_t index = 0; index < used_; ++index) delete slots_.entry(index)->load();
}

std::uintptr_t HandleTable::acquire(std::uint32_t object_index) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (used_ >= GrowingTable<Slot>::kCapacity) return 0;
    index = used_++;
    std::atomic<Slot*>* entry = slots_.make_entry(index);
    entry->store(new Slot, std::memory_order_release);
  }
  Slot* slot = slots_.entry(index)->load(std::memory_order_acquire);
  const std::uint64_t generation = slot->state.load() >> 32;
  slot->state.store(generation << 32 | (static_cast<std::uint64_t>(object_index) + 1));
  return static_cast<std::uintptr_t>(generation << 32 | (static_cast<std::uint64_t>(index) + 1));
}

bool HandleTable::release(std::uintptr_t handle) {
  const std::uint64_t value = handle;
  const std::uint64_t low = value & 0xFFFFFFFFu;
  if (low == 0) return false;
  const std::uint32_t index = static_cast<std::uint32_t>(low - 1);
  const std::atomic<Slot*>* entry = slots_.entry(index);
  if (entry == nullptr) return false;
  Slot* slot = entry->load(std::memory_order_acquire);
  if (slot == nullptr) return false;
  std::uint64_t state = slot->state.load();
  if ((state >> 32) != (value >> 32) || (state & 0xFFFFFFFFu) == 0) return false;
  std::uint64_t next_generation = (value >> 32) + 1;
  if (next_generation > 0xFFFFFFFFu) next_generation = 1;
  // Only one of two racing releases of the same handle wins.
  if (!slot->state.compare_exchange_strong(state, next_generation << 32)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(index);
  return true;
}

}  // namespace gw

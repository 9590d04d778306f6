#include "toolkit/handles.h"

namespace gw {

static_assert(sizeof(std::uintptr_t) >= 8, "handles encode 64 bits");

std::uintptr_t HandleTable::acquire(std::uint32_t object_index, void* target, int threshold) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (used_ >= Slots::kCapacity) return 0;
    index = used_++;
  }
  Slot& slot = *slots_.make(index);
  const std::uint64_t generation = slot.state.load() >> 32;
  slot.target.store(target, std::memory_order_release);
  slot.gate.store(gate_of(generation, threshold), std::memory_order_relaxed);
  slot.state.store(generation << 32 | (static_cast<std::uint64_t>(object_index) + 1),
                   std::memory_order_release);
  return static_cast<std::uintptr_t>(generation << 32 | (static_cast<std::uint64_t>(index) + 1));
}

bool HandleTable::release(std::uintptr_t handle) {
  Slot* slot = const_cast<Slot*>(slot_of(handle));
  if (slot == nullptr) return false;
  const std::uint64_t value = handle;
  std::uint64_t state = slot->state.load();
  if (!live(state, value)) return false;
  std::uint64_t next_generation = (value >> 32) + 1;
  if (next_generation > 0xFFFFFFFFu) next_generation = 1;
  // Only one of two racing releases of the same handle wins.
  if (!slot->state.compare_exchange_strong(state, next_generation << 32)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  slot->gate.store(0, std::memory_order_relaxed);
  free_.push_back(static_cast<std::uint32_t>((value & 0xFFFFFFFFu) - 1));
  return true;
}

}  // namespace gw

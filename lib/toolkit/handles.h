// Handles: what the C interface hands out for an object.  A handle encodes
// a slot of a table that only grows and the slot's generation; releasing it
// bumps the generation, so a released, forged or unknown handle is
// recognised and ignored, never dereferenced.  Each GwGetObject gets a
// handle of its own, so one owner's double release cannot cut another's.
// lookup is lock-free; acquire and release take a short lock for the free
// list.  Every call is safe from any thread.
//
// Each slot also holds a gate: the generation and a level threshold in one
// word, so that the level test before every record is one load of the slot
// and two compares, with no look-up of the object behind it.
#ifndef EKLOGGER_TOOLKIT_HANDLES_H_
#define EKLOGGER_TOOLKIT_HANDLES_H_

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>
#include <vector>

#include "toolkit/chunked_table.h"

namespace gw {

class HandleTable {
 public:
  static constexpr std::uint32_t kNoObject = UINT32_MAX;
  // A gate threshold that no level passes.
  static constexpr int kClosed = INT_MAX;

  HandleTable() = default;
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // A new handle for the object (its index, and the pointer lookup_target
  // gives back) with its gate at threshold, or 0 when the table is full.
  std::uintptr_t acquire(std::uint32_t object_index, void* target = nullptr,
                         int threshold = kClosed);
  // Whether level passes the gate of a live handle; false for any other.
  bool passes(std::uintptr_t handle, int level) const {
    const Slot* slot = slot_of(handle);
    if (slot == nullptr) return false;
    const std::uint64_t gate = slot->gate.load(std::memory_order_relaxed);
    if ((gate >> 32) != (static_cast<std::uint64_t>(handle) >> 32)) return false;
    const int threshold = static_cast<int>(static_cast<std::uint32_t>(gate));
    return threshold != kClosed && level >= threshold;
  }
  // Sets the gate of every live handle to threshold_of(its object index).
  // The caller serialises this with acquire for the same objects, so that a
  // new handle never starts with a threshold that was already replaced.
  template <typename ThresholdOf>
  void set_gates(ThresholdOf threshold_of) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint32_t index = 0; index < used_; ++index) {
      Slot& slot = slot_at(index);
      const std::uint64_t state = slot.state.load(std::memory_order_acquire);
      if ((state & 0xFFFFFFFFu) == 0) continue;
      const int threshold = threshold_of(static_cast<std::uint32_t>((state & 0xFFFFFFFFu) - 1));
      slot.gate.store(gate_of(state >> 32, threshold), std::memory_order_relaxed);
    }
  }
  // Hold the table's lock across fork() (fork_handlers.h).
  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }
  // The object of a live handle, or kNoObject.
  std::uint32_t lookup(std::uintptr_t handle) const {
    const Slot* slot = slot_of(handle);
    if (slot == nullptr) return kNoObject;
    const std::uint64_t state = slot->state.load(std::memory_order_acquire);
    if (!live(state, handle)) return kNoObject;
    return static_cast<std::uint32_t>((state & 0xFFFFFFFFu) - 1);
  }
  // The target of a live handle, or null.  Inline, and one chunk load and
  // three loads of the slot: GwIsLoggable and every record start here.
  void* lookup_target(std::uintptr_t handle) const {
    const Slot* slot = slot_of(handle);
    if (slot == nullptr) return nullptr;
    const std::uint64_t state = slot->state.load(std::memory_order_acquire);
    if (!live(state, handle)) return nullptr;
    void* target = slot->target.load(std::memory_order_acquire);
    // Released (and perhaps handed out again) in between: the target read
    // may be the next owner's.  acquire stores the target after the release
    // that ended this generation, so a new target implies a new state here.
    if (slot->state.load(std::memory_order_relaxed) != state) return nullptr;
    return target;
  }
  // Ends a live handle; false for one that is not live.
  bool release(std::uintptr_t handle);

 private:
  struct Slot {
    // generation << 32 | (object index + 1); low half 0 = free
    std::atomic<std::uint64_t> state{1ULL << 32};
    std::atomic<void*> target{nullptr};  // written before state, by acquire
    // generation << 32 | threshold; generation 0 (never handed out) when
    // the slot is free.  Written under mutex_.
    std::atomic<std::uint64_t> gate{0};
  };
  using Slots = ChunkedTable<Slot>;

  static bool live(std::uint64_t state, std::uint64_t handle) {
    return (state >> 32) == (handle >> 32) && (state & 0xFFFFFFFFu) != 0;
  }
  static std::uint64_t gate_of(std::uint64_t generation, int threshold) {
    return generation << 32 | static_cast<std::uint32_t>(threshold);
  }
  // A slot below used_; needs mutex_ held.
  Slot& slot_at(std::uint32_t index) { return *slots_.find(index); }
  // The slot a handle names, null when there is none (not that it is live).
  const Slot* slot_of(std::uintptr_t handle) const {
    const std::uint64_t low = static_cast<std::uint64_t>(handle) & 0xFFFFFFFFu;
    // 0 wraps to an index beyond the capacity, which find refuses.
    return slots_.find(static_cast<std::uint32_t>(low - 1));
  }

  Slots slots_;  // chunks made under mutex_
  std::mutex mutex_;
  std::uint32_t used_ = 0;           // slots ever handed out; guarded by mutex_
  std::vector<std::uint32_t> free_;  // released slots; guarded by mutex_
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_HANDLES_H_

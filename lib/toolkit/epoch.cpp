// Each thread that reads announces, in its slot, the global epoch it saw
// when it began; 0 means it holds nothing.  An object retired while the
// global epoch was R can be freed once every slot is idle or shows an epoch
// above R: a reader that announced a later epoch loaded the global counter
// after the writer had swapped the pointer, so it saw the new object.  All
// accesses to slots, the counter and the published pointers are seq_cst,
// except a reader's leaving, a release store.
#include "toolkit/epoch.h"

#include <sched.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace gw {

namespace {

struct Slot {
  std::atomic<std::uint64_t> epoch{0};
  std::atomic<bool> used{false};
  Slot* next = nullptr;  // immutable once the slot is on the list
};

// Slots are never freed: a thread that ends gives its slot back for reuse.
std::atomic<Slot*> g_slots{nullptr};
std::atomic<std::uint64_t> g_epoch{1};

struct GlobalList {
  std::mutex mutex;
  std::vector<Retired> retired;  // guarded by mutex
};

// Leaked on purpose: threads may still log while the process exits.
GlobalList& global_list() {
  static GlobalList* list = new GlobalList;
  return *list;
}

Slot* acquire_slot() {
  for (Slot* slot = g_slots.load(); slot != nullptr; slot = slot->next) {
    bool expected = false;
    if (!slot->used.load() && slot->used.compare_exchange_strong(expected, true)) return slot;
  }
  Slot* slot = new Slot;
  slot->used.store(true);
  slot->next = g_slots.load();
  while (!g_slots.compare_exchange_weak(slot->next, slot)) {
  }
  return slot;
}

std::uint64_t oldest_active_epoch() {
  std::uint64_t oldest = UINT64_MAX;
  for (Slot* slot = g_slots.load(); slot != nullptr; slot = slot->next) {
    const std::uint64_t epoch = slot->epoch.load();
    if (epoch != 0 && epoch < oldest) oldest = epoch;
  }
  return oldest;
}

// Frees the entries that no reader can hold and keeps the rest.
void reclaim(std::vector<Retired>& retired) {
  if (retired.empty()) return;
  const std::uint64_t oldest = oldest_active_epoch();
  std::vector<Retired> kept;
  std::vector<Retired> freed;
  for (const Retired& entry : retired) (entry.epoch < oldest ? freed : kept).push_back(entry);
  retired.swap(kept);
  for (const Retired& entry : freed) entry.deleter(entry.object);
}

struct ThreadState {
  Slot* slot = nullptr;
  int depth = 0;
  std::vector<Retired> retired;

  ~ThreadState() {
    if (!retired.empty()) {
      GlobalList& list = global_list();
      std::lock_guard<std::mutex> lock(list.mutex);
      list.retired.insert(list.retired.end(), retired.begin(), retired.end());
    }
    if (slot != nullptr) {
      slot->epoch.store(0);
      slot->used.store(false);
    }
  }
};

thread_local ThreadState t_state;

constexpr std::size_t kLocalReclaimBatch = 64;

Retired make_retired(void* object, Deleter deleter) {
  // The epoch before the increment: readers that announce a later one
  // started after the swap that preceded this call.
  return Retired{object, deleter, g_epoch.fetch_add(1)};
}

}  // namespace

RetiredList::~RetiredList() {
  for (const Retired& entry : retired_) entry.deleter(entry.object);
}

void RetiredList::retire(void* object, Deleter deleter) {
  retired_.push_back(make_retired(object, deleter));
}

bool RetiredList::reclaim() {
  gw::reclaim(retired_);
  return !retired_.empty();
}

void epoch_before_fork() { global_list().mutex.lock(); }

void epoch_after_fork_in_parent() { global_list().mutex.unlock(); }

void epoch_after_fork_in_child() {
  // The parent's other threads do not exist here: their slots would keep
  // every later retirement from being freed.
  const Slot* own = t_state.slot;
  for (Slot* slot = g_slots.load(); slot != nullptr; slot = slot->next) {
    if (slot == own) continue;
    slot->epoch.store(0);
    slot->used.store(false);
  }
  global_list().mutex.unlock();
}

EpochGuard::EpochGuard() {
  ThreadState& state = t_state;
  if (state.depth++ == 0) {
    if (state.slot == nullptr) state.slot = acquire_slot();
    state.slot->epoch.store(g_epoch.load());
  }
}

EpochGuard::~EpochGuard() {
  ThreadState& state = t_state;
  // Release is enough to leave: every read of the shared state comes before
  // the store, for a reclaimer that loads the slot and sees 0.  (Entering
  // needs seq_cst: the announcement must be seen before the reads that
  // follow it.)  On x86 this is a plain store instead of a locked one.
  if (--state.depth == 0) state.slot->epoch.store(0, std::memory_order_release);
}

void retire_local(void* object, Deleter deleter) {
  ThreadState& state = t_state;
  state.retired.push_back(make_retired(object, deleter));
  if (state.retired.size() >= kLocalReclaimBatch && state.depth == 0) reclaim(state.retired);
}

void retire_global(void* object, Deleter deleter) {
  GlobalList& list = global_list();
  std::lock_guard<std::mutex> lock(list.mutex);
  list.retired.push_back(make_retired(object, deleter));
}

void reclaim_global() {
  GlobalList& list = global_list();
  std::vector<Retired> retired;
  {
    std::lock_guard<std::mutex> lock(list.mutex);
    retired.swap(list.retired);
  }
  reclaim(retired);  // deleters run without the lock
  if (!retired.empty()) {
    std::lock_guard<std::mutex> lock(list.mutex);
    list.retired.insert(list.retired.end(), retired.begin(), retired.end());
  }
}

void synchronize_and_reclaim() {
  for (;;) {
    reclaim_global();
    {
      GlobalList& list = global_list();
      std::lock_guard<std::mutex> lock(list.mutex);
      if (list.retired.empty()) return;
    }
    sched_yield();
  }
}

}  // namespace gw

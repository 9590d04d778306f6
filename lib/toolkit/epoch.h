// Epoch-based reclamation: lets the record path read shared, immutable
// state (configuration snapshots, property maps) with no lock, while
// writers replace it and free the old copy only once no reader can still
// hold it.  A reader holds an EpochGuard while it uses what it loaded (the
// loads must be seq_cst); a writer swaps the pointer (seq_cst) and then
// retires the old object.  Every function is safe from any thread.
#ifndef EKLOGGER_TOOLKIT_EPOCH_H_
#define EKLOGGER_TOOLKIT_EPOCH_H_

#include <cstdint>
#include <vector>

namespace gw {

using Deleter = void (*)(void*);

// Marks the calling thread as reading shared state until destroyed.  Nests;
// costs one thread-local access and one seq_cst store when outermost.
class EpochGuard {
 public:
  EpochGuard();
  ~EpochGuard();
  EpochGuard(const EpochGuard&) = delete;
  EpochGuard& operator=(const EpochGuard&) = delete;
};

// An object retired while the global epoch was `epoch`.
struct Retired {
  void* object;
  Deleter deleter;
  std::uint64_t epoch;
};

// Objects one owner retires (a file handler's closed files), kept on the
// owner's own list so that they are freed as soon as no reader can hold
// them, by whichever thread next calls reclaim(), inside an EpochGuard or
// not (an object retired while the caller's own guard is open waits for a
// later call).  Thread-compatible: the owner serialises the calls.
class RetiredList {
 public:
  RetiredList() = default;
  // Frees everything: the owner guarantees that no reader is left.
  ~RetiredList();
  RetiredList(const RetiredList&) = delete;
  RetiredList& operator=(const RetiredList&) = delete;

  void retire(void* object, Deleter deleter);
  // Frees what no reader can hold any more; answers whether any is left.
  bool reclaim();
  bool empty() const { return retired_.empty(); }

 private:
  std::vector<Retired> retired_;
};

// Frees object with deleter once every reader that might hold it has left.
// The calling thread keeps the object on its own list (no lock), freeing
// its list now and then; for objects retired at a high rate.
void retire_local(void* object, Deleter deleter);

// The same, on the process-wide list that reclaim_global and
// synchronize_and_reclaim free: for objects whose end must be waited for
// (a configuration snapshot owns open files).
void retire_global(void* object, Deleter deleter);

// Frees what can be freed of the process-wide list.
void reclaim_global();

// Waits until every reader has left and frees the whole process-wide list.
// Must not be called while holding an EpochGuard.
void synchronize_and_reclaim();

// Around fork(): the process-wide list's lock is held across it, and the
// child, whose only thread is the one that forked, forgets what the
// parent's other threads were reading.  Called by the toolkit's fork
// handlers (fork_handlers.h), in that order.
void epoch_before_fork();
void epoch_after_fork_in_parent();
void epoch_after_fork_in_child();

template <typename T>
void retire_local(const T* object) {
  retire_local(const_cast<T*>(object), [](void* p) { delete static_cast<T*>(p); });
}

template <typename T>
void retire_global(const T* object) {
  retire_global(const_cast<T*>(object), [](void* p) { delete static_cast<T*>(p); });
}

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_EPOCH_H_

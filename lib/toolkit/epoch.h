// Epoch-based reclamation: lets the record path read shared, immutable
// state (configuration snapshots, property maps) with no lock, while
// writers replace it and free the old copy only once no reader can still
// hold it.  A reader holds an EpochGuard while it uses what it loaded (the
// loads must be seq_cst); a writer swaps the pointer (seq_cst) and then
// retires the old object.  Every function is safe from any thread.
#ifndef EKLOGGER_TOOLKIT_EPOCH_H_
#define EKLOGGER_TOOLKIT_EPOCH_H_

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

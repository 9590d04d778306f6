// The catalog library's locks held across fork(), so that a child can look
// up and convert messages at once whatever the parent's other threads held:
// each registered lock is taken before the fork and released after it in
// parent and child alike.  None of them is taken while another is held.
#include <pthread.h>

#include <algorithm>
#include <vector>

#include "catalog/lcs_internal.h"

namespace lcs {

namespace {

struct ForkLocks {
  std::mutex mutex;
  std::vector<std::mutex*> held;  // guarded by mutex
};

// Leaked on purpose: handlers may run while the process exits.
ForkLocks& fork_locks() {
  static ForkLocks* locks = [] {
    auto made = new ForkLocks;
    pthread_atfork(
        [] {
          fork_locks().mutex.lock();
          for (std::mutex* mutex : fork_locks().held) mutex->lock();
        },
        [] {
          for (std::mutex* mutex : fork_locks().held) mutex->unlock();
          fork_locks().mutex.unlock();
        },
        [] {
          for (std::mutex* mutex : fork_locks().held) mutex->unlock();
          fork_locks().mutex.unlock();
        });
    return made;
  }();
  return *locks;
}

}  // namespace

void hold_across_fork(std::mutex& mutex) {
  ForkLocks& locks = fork_locks();
  std::lock_guard<std::mutex> hold(locks.mutex);
  locks.held.push_back(&mutex);
}

void withdraw_from_fork(std::mutex& mutex) {
  ForkLocks& locks = fork_locks();
  std::lock_guard<std::mutex> hold(locks.mutex);
  const auto found = std::find(locks.held.begin(), locks.held.end(), &mutex);
  if (found != locks.held.end()) locks.held.erase(found);
}

}  // namespace lcs

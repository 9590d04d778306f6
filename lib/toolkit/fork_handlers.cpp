#include "toolkit/fork_handlers.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "toolkit/epoch.h"
#include "toolkit/handles.h"

namespace gw {

namespace {

struct ForkLocks {
  std::mutex* config = nullptr;  // set once, before any fork handler runs
  HandleTable* handles = nullptr;
  std::mutex registry_mutex;         // taken after config and handles, before the objects'
  std::vector<std::mutex*> objects;  // guarded by registry_mutex
  std::atomic<void (*)()> innermost_before{nullptr};
  void (*innermost_parent)() = nullptr;  // set before innermost_before
  void (*innermost_child)() = nullptr;
};

// Leaked on purpose: handlers may run while the process exits.
ForkLocks& fork_locks() {
  static ForkLocks* locks = new ForkLocks;
  return *locks;
}

void before_fork() {
  ForkLocks& locks = fork_locks();
  locks.config->lock();
  locks.handles->lock_for_fork();
  locks.registry_mutex.lock();
  for (std::mutex* mutex : locks.objects) mutex->lock();
  if (void (*before)() = locks.innermost_before.load()) before();
  epoch_before_fork();
}

void after_fork(bool child) {
  ForkLocks& locks = fork_locks();
  child ? epoch_after_fork_in_child() : epoch_after_fork_in_parent();
  if (locks.innermost_before.load() != nullptr) {
    child ? locks.innermost_child() : locks.innermost_parent();
  }
  for (auto it = locks.objects.rbegin(); it != locks.objects.rend(); ++it) (*it)->unlock();
  locks.registry_mutex.unlock();
  locks.handles->unlock_after_fork();
  locks.config->unlock();
}

}  // namespace

void install_fork_handlers(std::mutex& config_mutex, HandleTable& handles) {
  static const bool installed = [&] {
    ForkLocks& locks = fork_locks();
    locks.config = &config_mutex;
    locks.handles = &handles;
    return pthread_atfork(
               before_fork, [] { after_fork(false); }, [] { after_fork(true); }) == 0;
  }();
  (void)installed;
}

void hold_across_fork(std::mutex& mutex) {
  ForkLocks& locks = fork_locks();
  std::lock_guard<std::mutex> hold(locks.registry_mutex);
  locks.objects.push_back(&mutex);
}

void run_around_fork(void (*before)(), void (*parent)(), void (*child)()) {
  ForkLocks& locks = fork_locks();
  std::lock_guard<std::mutex> hold(locks.registry_mutex);
  if (locks.innermost_before.load() != nullptr) return;
  locks.innermost_parent = parent;
  locks.innermost_child = child;
  locks.innermost_before.store(before);
}

void withdraw_from_fork(std::mutex& mutex) {
  ForkLocks& locks = fork_locks();
  std::lock_guard<std::mutex> hold(locks.registry_mutex);
  const auto found = std::find(locks.objects.begin(), locks.objects.end(), &mutex);
  if (found != locks.objects.end()) locks.objects.erase(found);
}

}  // namespace gw

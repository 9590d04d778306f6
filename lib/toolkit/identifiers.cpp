#include "toolkit/identifiers.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "toolkit/os.h"

namespace gw {

namespace {

std::atomic<pid_t> cached_process_id{0};
thread_local pid_t cached_thread_id = 0;

void forget_in_child() {
  cached_process_id.store(0, std::memory_order_relaxed);
  cached_thread_id = 0;
}

// Registered before the first identifier is cached, so that no child keeps
// its parent's.
const bool g_fork_handler = pthread_atfork(nullptr, nullptr, forget_in_child) == 0;

}  // namespace

pid_t process_id() {
  pid_t pid = cached_process_id.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = os().getpid();
    cached_process_id.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

pid_t thread_id() {
  if (cached_thread_id == 0) cached_thread_id = ::gettid();
  return cached_thread_id;
}

}  // namespace gw

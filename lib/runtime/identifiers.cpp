// Process and thread identifiers for trace records.
//
// Both identifiers are cached (the kernel calls cost far more than a trace
// record's other bookkeeping) and the caches are cleared in a forked child
// by a pthread_atfork handler, so a child reports its own ids.  A process
// that forks with a raw clone system call bypasses that handler.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "eklogger/platform/runtime.h"

namespace {

// Zero until the first query; reset in a forked child.
std::atomic<uint64_t> g_process_id{0};
// Zero until the thread's first query; reset for the forking thread in the
// child, which is the child's only thread.  Initial-exec: one word of the
// static TLS block, read without a __tls_get_addr call (the C library keeps
// room for that even when the runtime is loaded with dlopen).
__attribute__((tls_model("initial-exec"))) thread_local uint64_t t_thread_id = 0;

void forget_ids_in_child() {
  g_process_id.store(0, std::memory_order_relaxed);
  t_thread_id = 0;
}

// Registered once, when the library is loaded.
struct ForkHandlerRegistration {
  ForkHandlerRegistration() { pthread_atfork(nullptr, nullptr, &forget_ids_in_child); }
};
const ForkHandlerRegistration g_fork_handler_registration;

}  // namespace

extern "C" {

uint64_t NxThreadGetCurrentID(void) {
  if (t_thread_id == 0) t_thread_id = static_cast<uint64_t>(syscall(SYS_gettid));
  return t_thread_id;
}

uint64_t NxProcessGetCurrentID(void) {
  uint64_t id = g_process_id.load(std::memory_order_relaxed);
  if (id == 0) {
    id = static_cast<uint64_t>(getpid());
    g_process_id.store(id, std::memory_order_relaxed);
  }
  return id;
}

}  // extern "C"

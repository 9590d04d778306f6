// What the toolkit does around fork(), so that a child can log at once,
// through its own state, whatever the parent's other threads held: every
// lock of the toolkit is taken before the fork and released after it in
// parent and child alike, always in one order (the configuration, the
// handle table, each file handler's, the reclamation list), and the child
// forgets what the parent's other threads were reading.  Safe from any
// thread.
#ifndef EKLOGGER_TOOLKIT_FORK_HANDLERS_H_
#define EKLOGGER_TOOLKIT_FORK_HANDLERS_H_

#include <mutex>

namespace gw {

// ThreadSanitizer cannot follow a thread started in the child of a
// threaded process (it takes the new thread for one of the parent's, which
// it still counts as alive, and stops): in such a build the toolkit starts
// no thread in a forked child.
#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

class HandleTable;

// Registers the handlers, once, with the toolkit's two process-wide locks;
// the Toolkit calls it when it is made.  Neither lock may be held by a
// thread that waits for a file handler's lock.
void install_fork_handlers(std::mutex& config_mutex, HandleTable& handles);

// A lock of one object (a file handler's), held across every fork() from
// now until it is withdrawn, which must happen before it is destroyed.
// The owner never takes the configuration or handle-table lock while it
// holds this one.
void hold_across_fork(std::mutex& mutex);
void withdraw_from_fork(std::mutex& mutex);

// Hooks of the background compression (archive_compressor.h), run inside
// every other lock: before takes its locks once the file handlers' are
// held, parent and child release them (the child forgetting the work under
// way) before the file handlers' are.  Set once.
void run_around_fork(void (*before)(), void (*parent)(), void (*child)());

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_FORK_HANDLERS_H_

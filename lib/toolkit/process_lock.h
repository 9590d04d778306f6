// The lock of the processes that write one log file: a System V semaphore
// set named by the handler's IPC key, or an OFD lock on "<file>.lock" when
// there is no key or the set cannot be used.  Any local user can compute
// the key, so neither is used unless it belongs to this process's effective
// user and is closed to others.  One ProcessLock per FileSink, owned by it;
// lock/unlock are safe from any thread, but the caller serialises them
// within the process.  The state shared beside it: shared_file_state.h.
#ifndef EKLOGGER_TOOLKIT_PROCESS_LOCK_H_
#define EKLOGGER_TOOLKIT_PROCESS_LOCK_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace gw {

// Waits at most this long for the lock: a holder that is stopped or stuck
// delays a record by no more than this, and the caller writes on without
// the lock (and without rotating) when it runs out.
constexpr int kLockWaitMs = 100;

class ProcessLock {
 public:
  virtual ~ProcessLock() = default;
  // Takes the lock within kLockWaitMs; false when it could not.  A process
  // that dies holding it releases it.  A child forked from the process
  // that opened the lock takes it as a process of its own: parent and
  // child exclude each other.
  virtual bool lock() = 0;
  virtual void unlock() = 0;
  // With the lock held: stops counting this user, and answers whether it
  // was the last user of the key.  When it was, finish() removes the kernel
  // object (which also releases the lock); otherwise unlock() follows.
  virtual bool detach_locked() = 0;
  virtual void finish() = 0;
  // "sem", "file" or "local" (this process only): for reports and tests.
  virtual const char* kind() const = 0;

  // The semaphore set of key, or for key -1 (or a semaphore that cannot be
  // used) a lock file beside path.  Null, with errno set, when neither can
  // be had.  A set is used only if this process's effective user (or root)
  // made and owns it, it is closed to group and others, and it has the
  // shape this library gives it; a lock file only if it is a regular file
  // (not a link), owned likewise and closed to group and others.  problem
  // receives a one-line report when the semaphore was passed over or no
  // lock could be had (left alone otherwise).
  static std::unique_ptr<ProcessLock> open(key_t key, const std::string& path,
                                           std::string& problem);
  // A lock of this process only, for a file that can be written but whose
  // lock file cannot be made (a directory closed to this process).
  static std::unique_ptr<ProcessLock> local();
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_PROCESS_LOCK_H_

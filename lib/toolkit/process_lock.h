// What the processes that write one log file share: a lock (a System V
// semaphore set named by the handler's IPC key, or an OFD lock on
// "<file>.lock" when there is no key) and a small shared-memory segment
// beside it holding the file's generation and byte count.  One ProcessLock
// and one SharedSegment per FileSink, owned by it; lock/unlock are safe from
// any thread, but the caller serialises them within the process.
#ifndef EKLOGGER_TOOLKIT_PROCESS_LOCK_H_
#define EKLOGGER_TOOLKIT_PROCESS_LOCK_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace gw {

// Waits at most this long for the lock; a holder that is stopped or stuck
// cannot block a writer without bound.
constexpr int kLockWaitMs = 2000;

class ProcessLock {
 public:
  virtual ~ProcessLock() = default;
  // Takes the lock within kLockWaitMs; false when it could not.  A process
  // that dies holding it releases it.
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
  // used) a lock file beside path.  Null when neither can be had.
  static std::unique_ptr<ProcessLock> open(key_t key, const std::string& path,
                                           std::string& problem);
  // A lock of this process only, for a file that can be written but whose
  // lock file cannot be made (a directory closed to this process).
  static std::unique_ptr<ProcessLock> local();
};

// Writers announce a write in a slot of their own (by thread), each on its
// own cache line, so that processes and threads writing at once do not pass
// one line back and forth twice a record; a rotation waits on every slot.
struct alignas(64) WriterSlot {
  std::atomic<std::int64_t> in_flight[2];  // writes under way, by generation parity
};
constexpr int kWriterSlots = 32;

// Laid out in shared memory: every field is lock-free atomic, so processes
// read and update it without a system call.  The fields up to `torn` keep
// the layout of the first version, so that processes of builds from before
// the writer slots still share a file's generation, size and rotation with
// this one: they count their writes under way in `in_flight`, which a
// rotation still waits on.  Writers of this build count in `writers`, after
// them, so that an ordinary record writes no line that another writer reads
// or writes (the byte count, updated by every record of a bounded file,
// stays on the generation's line, as before).
struct SharedFileState {
  static constexpr std::uint64_t kMagic = 0x67776b74666c3031ULL;  // "gwktfl01"
  std::atomic<std::uint64_t> magic;
  char path[1024];                         // the file this state is for
  std::atomic<std::uint64_t> generation;   // bumped at every change of file
  std::atomic<std::int64_t> size;          // bytes in or reserved for the file
  std::atomic<std::int64_t> in_flight[2];  // writes under way of earlier builds
  std::atomic<std::uint64_t> device;       // the file's identity
  std::atomic<std::uint64_t> inode;
  std::atomic<int> torn;  // a write was cut short: the next record starts a line
  WriterSlot writers[kWriterSlots];
};

class SharedSegment {
 public:
  // Maps the segment for (key, path), creating it owner-only; must be
  // called with the process lock held.  Falls back to a private copy (the
  // processes then agree through the lock and the file alone) when shared
  // memory cannot be had or belongs to another file.
  SharedSegment(key_t key, const std::string& path);
  ~SharedSegment();
  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;

  SharedFileState* state() const { return state_; }
  bool shared() const { return !name_.empty(); }
  // Removes the segment's name; with the process lock held, by its last user.
  void unlink();
  // Removes the segments of every file of key: by the key's last user,
  // with the lock held, so that files of processes that died without
  // closing do not pile up from run to run.
  static void unlink_all(key_t key);
  // The POSIX shared-memory name used for (key, path).
  static std::string name_for(key_t key, const std::string& path);

 private:
  SharedFileState* state_ = nullptr;
  std::string name_;  // empty for a private copy
  std::unique_ptr<SharedFileState> private_;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_PROCESS_LOCK_H_

// What the processes that write one log file share: a lock (a System V
// semaphore set named by the handler's IPC key, or an OFD lock on
// "<file>.lock" when there is no key) and a small shared-memory segment
// beside it holding the file's generation and byte count.  Any local user
// can compute the key, so neither is used unless it belongs to this
// process's effective user and is closed to others.  One ProcessLock and one
// SharedSegment per FileSink, owned by it; lock/unlock are safe from any
// thread, but the caller serialises them within the process.
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

// The segment is named after the key and the path (name_for).  Another
// user can make that name first; then this user's processes all take a
// second name of their own (own_name_for), and only when that cannot be had
// either does each process keep a private copy, and count the file's bytes
// alone.  A segment is mapped only if it is this user's, closed to others,
// at least as long as the state (fstat before mmap) and holds this file's
// state or none yet.  A segment shrunk after it was mapped (ftruncate by a
// process of the same user or root; nothing of this library does it) makes
// the next access raise SIGBUS: that is not guarded against.
class SharedSegment {
 public:
  // Maps the segment for (key, path), creating it owner-only; must be
  // called with the process lock held.  Falls back to a private copy (the
  // processes then agree through the lock and the file alone) when no
  // segment can be had; problem() then says why.
  SharedSegment(key_t key, const std::string& path);
  // The segment another process made and set up for (key, path), mapped
  // without the lock; null when there is none yet.
  static std::unique_ptr<SharedSegment> existing(key_t key, const std::string& path);
  ~SharedSegment();
  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;

  SharedFileState* state() const { return state_; }
  bool shared() const { return !name_.empty(); }
  // The name mapped; empty for a private copy.
  const std::string& name() const { return name_; }
  // A one-line report when the segment of name_for could not be used (and
  // what was used instead); empty when it serves.
  const std::string& problem() const { return problem_; }
  // Removes the segment's name; with the process lock held, by its last user.
  void unlink();
  // Removes this user's segments of every file of key (another user's are
  // left): by the key's last user, with the lock held, so that files of
  // processes that died without closing do not pile up from run to run.
  static void unlink_all(key_t key);
  // The POSIX shared-memory name used for (key, path).
  static std::string name_for(key_t key, const std::string& path);
  // The name this effective user's processes take when name_for's is
  // another's: name_for's with "-u<euid>" appended.
  static std::string own_name_for(key_t key, const std::string& path);

 private:
  SharedSegment() = default;

  SharedFileState* state_ = nullptr;
  std::string name_;  // empty for a private copy
  std::string problem_;
  std::unique_ptr<SharedFileState> private_;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_PROCESS_LOCK_H_

// The state the processes that write one log file share beside its lock: a
// small POSIX shared-memory segment named after the handler's IPC key and
// the path, holding the file's identity, generation and byte count and the
// writes under way.  Any local user can compute the name, so a segment is
// used only when it belongs to this process's effective user and is closed
// to others.  One SharedSegment per FileSink, owned by it; the state itself
// is read and written by every writer with atomic operations.
#ifndef EKLOGGER_TOOLKIT_SHARED_FILE_STATE_H_
#define EKLOGGER_TOOLKIT_SHARED_FILE_STATE_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace gw {

// Laid out in shared memory: every field is lock-free atomic, so processes
// read and update it without a system call.
struct SharedFileState {
  static constexpr std::uint64_t kMagic = 0x67776b74666c3034ULL;  // "gwktfl04"
  std::atomic<std::uint64_t> magic;
  char path[1024];                         // the file this state is for
  std::atomic<std::uint64_t> generation;   // bumped at every change of file
  std::atomic<std::int64_t> size;          // bytes in or reserved for the file
  std::atomic<std::int64_t> in_flight[2];  // writes under way, by generation parity
  std::atomic<std::uint64_t> device;       // the file's identity
  std::atomic<std::uint64_t> inode;
  std::atomic<int> torn;  // a write was cut short: the next record starts a line
  // With rotation by time: the start (seconds since the epoch) of the
  // local day or hour the file's records belong to; 0 not yet known.  A
  // process that sees a later one begin rotates under the lock only while
  // this still names an earlier one, so one process rotates per boundary.
  std::atomic<std::int64_t> period;
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

#endif  // EKLOGGER_TOOLKIT_SHARED_FILE_STATE_H_

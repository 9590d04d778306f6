#include "toolkit/process_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "toolkit/clock.h"
#include "toolkit/diagnostics.h"
#include "toolkit/file_trust.h"
#include "toolkit/os.h"

namespace gw {

namespace {

// Semaphore 0 is the lock (1 = free), semaphore 1 counts the users.
constexpr int kLockSem = 0;
constexpr int kUsersSem = 1;
constexpr int kSemCount = 2;

// How long a set found unset-up is given for its creator to set it up.
constexpr int kSetUpWaitMs = 100;

void sleep_ms(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (os().nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// semtimedop until deadline (monotonic ms), retried on EINTR.
int timed_semop(int id, struct sembuf* ops, std::size_t count, std::int64_t deadline) {
  for (;;) {
    const std::int64_t left = deadline - monotonic_ms();
    if (left <= 0) {
      errno = EAGAIN;
      return -1;
    }
    struct timespec timeout = {static_cast<time_t>(left / 1000), (left % 1000) * 1000000L};
    if (os().semtimedop(id, ops, count, &timeout) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

class SemaphoreLock final : public ProcessLock {
 public:
  explicit SemaphoreLock(key_t key) : key_(key) {}

  // Finds or creates the set and counts this user; false with errno set
  // (and why() saying why, for a set found but refused).  The count is
  // raised without the lock, so that a holder cannot delay a newcomer: a
  // last user that removes the set meanwhile (under the lock) makes the
  // newcomer's next lock() find EIDRM and start anew.
  bool attach() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (!find_or_create()) {
        if (errno == EIDRM || errno == ENOENT) continue;
        return false;
      }
      struct sembuf join = {kUsersSem, 1, SEM_UNDO};
      if (os().semop(id_, &join, 1) != 0) {
        if (errno == EIDRM || errno == EINVAL || errno == EINTR) continue;
        return false;
      }
      pid_ = os().getpid();
      return true;
    }
    errno = EIDRM;
    return false;
  }

  const std::string& why() const { return why_; }

  bool lock() override {
    // One deadline for the whole call, a set replaced meanwhile included.
    const std::int64_t deadline = monotonic_ms() + kLockWaitMs;
    for (int attempt = 0; attempt < 5; ++attempt) {
      struct sembuf take = {kLockSem, -1, SEM_UNDO};
      if (timed_semop(id_, &take, 1, deadline) == 0) return true;
      if ((errno != EIDRM && errno != EINVAL) || !attach()) return false;
    }
    return false;
  }

  void unlock() override {
    struct sembuf give = {kLockSem, 1, SEM_UNDO};
    while (os().semop(id_, &give, 1) != 0 && errno == EINTR) {
    }
  }

  bool detach_locked() override {
    // A child forked after the attach holds no count of its own.
    if (pid_ != os().getpid()) return false;
    struct sembuf leave = {kUsersSem, -1, SEM_UNDO | IPC_NOWAIT};
    while (os().semop(id_, &leave, 1) != 0) {
      if (errno != EINTR) return false;
    }
    return os().semctl(id_, kUsersSem, GETVAL) == 0;
  }

  void finish() override { (void)os().semctl(id_, 0, IPC_RMID); }

  const char* kind() const override { return "sem"; }

 private:
  bool find_or_create() {
    why_.clear();
    id_ = os().semget(key_, kSemCount, IPC_CREAT | IPC_EXCL | 0600);
    if (id_ >= 0) {
      // The creator frees the lock with a semop, which sets sem_otime:
      // others wait for that before they use the set.
      struct sembuf init = {kLockSem, 1, 0};
      if (os().semop(id_, &init, 1) == 0) return true;
      const int error = errno;
      (void)os().semctl(id_, 0, IPC_RMID);
      errno = error;
      return false;
    }
    if (errno != EEXIST) return false;
    // Any number of semaphores: a set of another shape is found, and refused.
    id_ = os().semget(key_, 0, 0);
    if (id_ < 0) return false;
    struct semid_ds status;
    if (os().semctl(id_, 0, IPC_STAT, &status) != 0) return false;
    // Another user's set could be held or set to any value at will.
    why_ = ownership_problem(status.sem_perm.uid, status.sem_perm.mode);
    if (why_.empty() && !trusted_owner(status.sem_perm.cuid)) {
      why_ = "it was made by uid " + std::to_string(status.sem_perm.cuid);
    }
    if (why_.empty() && status.sem_nsems != kSemCount) {
      why_ = "it has " + std::to_string(status.sem_nsems) + " semaphores, not " +
             std::to_string(kSemCount);
    }
    if (!why_.empty()) {
      errno = EACCES;
      return false;
    }
    for (int waited = 0; status.sem_otime == 0; waited += 5) {
      if (waited >= kSetUpWaitMs) {
        // Its creator, of this user, died before setting it up: nobody can
        // be using it.  (One merely slow finds it gone, and starts anew.)
        (void)os().semctl(id_, 0, IPC_RMID);
        errno = EIDRM;
        return false;
      }
      sleep_ms(5);
      if (os().semctl(id_, 0, IPC_STAT, &status) != 0) return false;
    }
    return true;
  }

  const key_t key_;
  int id_ = -1;
  pid_t pid_ = 0;  // the process that counted itself as a user
  std::string why_;
};

// Open-file-description locks on "<path>.lock": byte 0 is the lock, and
// every user holds a shared lock on byte 1 for as long as it is attached.
// The kernel drops both when the process dies.  A forked child shares its
// parent's description, and with it the parent's locks: its first lock()
// opens a description of its own.
class FileLock final : public ProcessLock {
 public:
  explicit FileLock(std::string path) : path_(std::move(path)) {}
  ~FileLock() override {
    if (fd_ >= 0) os().close(fd_);
  }

  // Opens (or makes) the lock file and takes the shared lock of a user;
  // false with errno set, and why() saying why for a file found but refused.
  bool attach() {
    if (!open_file()) return false;
    // Byte 1 is write-locked only for a moment, by a user asking whether it
    // is the last.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (set(F_RDLCK, 1, false)) {
        pid_ = os().getpid();
        return true;
      }
      if (errno != EAGAIN && errno != EACCES && errno != EINTR) break;
      sleep_ms(1);
    }
    const int error = errno;
    os().close(fd_);
    fd_ = -1;
    errno = error;
    return false;
  }

  const std::string& why() const { return why_; }

  bool lock() override {
    const std::int64_t deadline = monotonic_ms() + kLockWaitMs;
    if (pid_ != os().getpid()) {
      // The inherited descriptor is the parent's: through it this process
      // would share the parent's lock instead of waiting for it.
      os().close(fd_);
      fd_ = -1;
      if (!attach()) return false;
    }
    for (;;) {
      if (set(F_WRLCK, 0, false)) {
        // Removed or replaced since it was opened: move to the one at the path.
        struct stat at_path, held;
        if (os().stat(path_.c_str(), &at_path) == 0 && os().fstat(fd_, &held) == 0 &&
            at_path.st_ino == held.st_ino && at_path.st_dev == held.st_dev) {
          return true;
        }
        const int old_fd = fd_;
        fd_ = -1;
        if (!open_file()) {
          fd_ = old_fd;
          return true;  // the old one still serves the processes that hold it
        }
        os().close(old_fd);
        (void)set(F_RDLCK, 1, false);
        continue;
      }
      if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
      if (monotonic_ms() >= deadline) return false;
      sleep_ms(1);
    }
  }

  void unlock() override {
    if (pid_ == os().getpid()) (void)set(F_UNLCK, 0, false);  // never the parent's
  }

  bool detach_locked() override {
    if (pid_ != os().getpid()) return false;
    (void)set(F_UNLCK, 1, false);
    // Nobody else holds byte 1: this was the last user.
    const bool last = set(F_WRLCK, 1, false);
    if (last) (void)set(F_UNLCK, 1, false);
    return last;
  }

  void finish() override { unlock(); }

  const char* kind() const override { return "file"; }

 private:
  // Another user's lock file, or one open to others, could be locked by
  // them at will: only a regular file of this user, closed to others, is
  // used.  A new one is made exclusively, so that it is known to be ours.
  bool open_file() {
    why_.clear();
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    struct stat status;
    for (int attempt = 0; attempt < 5 && fd_ < 0; ++attempt) {
      // Not even opened when it is no regular file (a FIFO, a device).
      if (os().lstat(path_.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        return refuse(S_ISLNK(status.st_mode) ? ELOOP : EINVAL, status);
      }
      fd_ = os().open(path_.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
      if (fd_ >= 0) return true;
      if (errno != EEXIST) return false;
      fd_ = os().open(path_.c_str(), kFlags);
      if (fd_ < 0 && errno != ENOENT) {  // ENOENT: removed meanwhile, make it anew
        if (errno == ELOOP) why_ = "it is a symbolic link";
        return false;
      }
    }
    if (fd_ < 0) return false;
    if (os().fstat(fd_, &status) != 0) {
      const int error = errno;
      os().close(fd_);
      fd_ = -1;
      errno = error;
      return false;
    }
    if (!S_ISREG(status.st_mode)) return refuse(EINVAL, status);
    why_ = ownership_problem(status.st_uid, status.st_mode);
    if (!why_.empty()) return refuse(EPERM, status);
    return true;
  }

  bool refuse(int error, const struct stat& status) {
    if (fd_ >= 0) os().close(fd_);
    fd_ = -1;
    if (why_.empty()) {
      why_ = S_ISLNK(status.st_mode)    ? "it is a symbolic link"
             : !S_ISREG(status.st_mode) ? "it is not a regular file"
                                        : error_text(error);
    }
    errno = error;
    return false;
  }

  bool set(short type, off_t byte, bool wait) {
    struct flock range;
    std::memset(&range, 0, sizeof range);
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = byte;
    range.l_len = 1;
    return os().fcntl_lock(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) == 0;
  }

  const std::string path_;
  int fd_ = -1;
  pid_t pid_ = 0;  // the process whose description fd_ is
  std::string why_;
};

// The last resort when neither a semaphore nor a lock file can be had (no
// key, and a directory this process cannot create files in): it keeps the
// process's own threads in order, and the file handler turns rotation off,
// since other processes cannot be kept from rotating at the same time.
class LocalLock final : public ProcessLock {
 public:
  bool lock() override { return true; }
  void unlock() override {}
  bool detach_locked() override { return true; }  // nothing outlives this process
  void finish() override {}
  const char* kind() const override { return "local"; }
};

}  // namespace

std::unique_ptr<ProcessLock> ProcessLock::open(key_t key, const std::string& path,
                                               std::string& problem) {
  std::string semaphore_problem;
  if (key != static_cast<key_t>(-1)) {
    auto semaphore = std::make_unique<SemaphoreLock>(key);
    if (semaphore->attach()) return semaphore;
    semaphore_problem = "the semaphore of key " + std::to_string(key) + " cannot be used (" +
                        (semaphore->why().empty() ? error_text(errno) : semaphore->why()) + ")";
    problem = semaphore_problem + ": locking " + path + ".lock instead";
  }
  auto file = std::make_unique<FileLock>(path + ".lock");
  if (file->attach()) return file;
  const int error = errno;
  problem = (semaphore_problem.empty() ? std::string() : semaphore_problem + ", and ") +
            "cannot lock " + path +
            ".lock: " + (file->why().empty() ? error_text(error) : file->why());
  errno = error;
  return nullptr;
}

std::unique_ptr<ProcessLock> ProcessLock::local() { return std::make_unique<LocalLock>(); }

}  // namespace gw

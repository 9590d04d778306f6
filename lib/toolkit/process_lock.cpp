#include "process_lock.h"

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

#include "diagnostics.h"

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
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

std::int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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
    if (semtimedop(id, ops, count, &timeout) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Root can do anything to this process's objects anyway; anyone else is
// an outsider whose object must not be used.
bool trusted_user(uid_t uid) { return uid == ::geteuid() || uid == 0; }

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(mode & 0777));
  return text;
}

// Why an object of owner uid and mode must not be used; empty if it may.
std::string ownership_problem(uid_t uid, mode_t mode) {
  if (!trusted_user(uid)) return "it belongs to uid " + std::to_string(uid);
  if ((mode & 077) != 0) return "it is open to other users (mode " + octal_mode(mode) + ")";
  return std::string();
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
      if (semop(id_, &join, 1) != 0) {
        if (errno == EIDRM || errno == EINVAL || errno == EINTR) continue;
        return false;
      }
      pid_ = getpid();
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
    while (semop(id_, &give, 1) != 0 && errno == EINTR) {
    }
  }

  bool detach_locked() override {
    // A child forked after the attach holds no count of its own.
    if (pid_ != getpid()) return false;
    struct sembuf leave = {kUsersSem, -1, SEM_UNDO | IPC_NOWAIT};
    while (semop(id_, &leave, 1) != 0) {
      if (errno != EINTR) return false;
    }
    return semctl(id_, kUsersSem, GETVAL) == 0;
  }

  void finish() override { (void)semctl(id_, 0, IPC_RMID); }

  const char* kind() const override { return "sem"; }

 private:
  bool find_or_create() {
    why_.clear();
    id_ = semget(key_, kSemCount, IPC_CREAT | IPC_EXCL | 0600);
    if (id_ >= 0) {
      // The creator frees the lock with a semop, which sets sem_otime:
      // others wait for that before they use the set.
      struct sembuf init = {kLockSem, 1, 0};
      if (semop(id_, &init, 1) == 0) return true;
      const int error = errno;
      (void)semctl(id_, 0, IPC_RMID);
      errno = error;
      return false;
    }
    if (errno != EEXIST) return false;
    // Any number of semaphores: a set of another shape is found, and refused.
    id_ = semget(key_, 0, 0);
    if (id_ < 0) return false;
    struct semid_ds status;
    if (semctl(id_, 0, IPC_STAT, &status) != 0) return false;
    // Another user's set could be held or set to any value at will.
    why_ = ownership_problem(status.sem_perm.uid, status.sem_perm.mode);
    if (why_.empty() && !trusted_user(status.sem_perm.cuid)) {
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
        (void)semctl(id_, 0, IPC_RMID);
        errno = EIDRM;
        return false;
      }
      sleep_ms(5);
      if (semctl(id_, 0, IPC_STAT, &status) != 0) return false;
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
    if (fd_ >= 0) ::close(fd_);
  }

  // Opens (or makes) the lock file and takes the shared lock of a user;
  // false with errno set, and why() saying why for a file found but refused.
  bool attach() {
    if (!open_file()) return false;
    // Byte 1 is write-locked only for a moment, by a user asking whether it
    // is the last.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (set(F_RDLCK, 1, false)) {
        pid_ = getpid();
        return true;
      }
      if (errno != EAGAIN && errno != EACCES && errno != EINTR) break;
      sleep_ms(1);
    }
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    errno = error;
    return false;
  }

  const std::string& why() const { return why_; }

  bool lock() override {
    const std::int64_t deadline = monotonic_ms() + kLockWaitMs;
    if (pid_ != getpid()) {
      // The inherited descriptor is the parent's: through it this process
      // would share the parent's lock instead of waiting for it.
      ::close(fd_);
      fd_ = -1;
      if (!attach()) return false;
    }
    for (;;) {
      if (set(F_WRLCK, 0, false)) {
        // Removed or replaced since it was opened: move to the one at the path.
        struct stat at_path, held;
        if (::stat(path_.c_str(), &at_path) == 0 && ::fstat(fd_, &held) == 0 &&
            at_path.st_ino == held.st_ino && at_path.st_dev == held.st_dev) {
          return true;
        }
        const int old_fd = fd_;
        fd_ = -1;
        if (!open_file()) {
          fd_ = old_fd;
          return true;  // the old one still serves the processes that hold it
        }
        ::close(old_fd);
        (void)set(F_RDLCK, 1, false);
        continue;
      }
      if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
      if (monotonic_ms() >= deadline) return false;
      sleep_ms(1);
    }
  }

  void unlock() override {
    if (pid_ == getpid()) (void)set(F_UNLCK, 0, false);  // never the parent's
  }

  bool detach_locked() override {
    if (pid_ != getpid()) return false;
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
      if (::lstat(path_.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        return refuse(S_ISLNK(status.st_mode) ? ELOOP : EINVAL, status);
      }
      fd_ = ::open(path_.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
      if (fd_ >= 0) return true;
      if (errno != EEXIST) return false;
      fd_ = ::open(path_.c_str(), kFlags);
      if (fd_ < 0 && errno != ENOENT) {  // ENOENT: removed meanwhile, make it anew
        if (errno == ELOOP) why_ = "it is a symbolic link";
        return false;
      }
    }
    if (fd_ < 0) return false;
    if (::fstat(fd_, &status) != 0) {
      const int error = errno;
      ::close(fd_);
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
    if (fd_ >= 0) ::close(fd_);
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
    return ::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) == 0;
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

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

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
            "cannot lock " + path + ".lock: " + (file->why().empty() ? error_text(error) : file->why());
  errno = error;
  return nullptr;
}

std::unique_ptr<ProcessLock> ProcessLock::local() { return std::make_unique<LocalLock>(); }

std::string SharedSegment::name_for(key_t key, const std::string& path) {
  char name[64];
  std::snprintf(name, sizeof name, "/gwtoolkit-%08x-%016llx", static_cast<unsigned>(key),
                static_cast<unsigned long long>(fnv1a(path)));
  return name;
}

std::string SharedSegment::own_name_for(key_t key, const std::string& path) {
  return name_for(key, path) + "-u" + std::to_string(::geteuid());
}

namespace {

// Maps the segment name for path, with the process lock held: an existing
// one only if it is this user's, closed to others, long enough, and holds
// path's state or none yet; with create, one made here if there is none.
// Null with why set (empty when there is none and create is false).
SharedFileState* map_segment(const std::string& name, const std::string& path, bool create,
                             std::string& why) {
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
  constexpr auto kSize = static_cast<off_t>(sizeof(SharedFileState));
  int fd = -1;
  bool created = false;
  for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
    if (create) {
      // Made exclusively: then it is known to be ours and new.
      fd = ::shm_open(name.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
      created = fd >= 0;
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) fd = ::shm_open(name.c_str(), kFlags, 0);
    if (fd < 0 && (errno != ENOENT || !create)) break;  // ENOENT: removed meanwhile
  }
  if (fd < 0) {
    if (create || errno != ENOENT) why = error_text(errno);
    return nullptr;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    why = error_text(errno);
  } else if (!created) {
    why = ownership_problem(status.st_uid, status.st_mode);
  }
  if (why.empty() && status.st_size < kSize && ::ftruncate(fd, kSize) != 0) {
    // Ours, so ours to grow: a creator that died before it did.
    why = "it is too small (" + error_text(errno) + ")";
  }
  // Never mapped past its end, which would raise SIGBUS at the first access.
  void* memory = why.empty() ? ::mmap(nullptr, sizeof(SharedFileState), PROT_READ | PROT_WRITE,
                                      MAP_SHARED, fd, 0)
                             : MAP_FAILED;
  if (why.empty() && memory == MAP_FAILED) why = error_text(errno);
  ::close(fd);
  if (memory == MAP_FAILED) return nullptr;
  auto state = static_cast<SharedFileState*>(memory);
  const std::uint64_t magic = state->magic.load();
  if (magic == 0 && !create) {
    why = "it is not set up yet";
  } else if (magic == 0) {
    // New, or its creator died before setting it up; the lock is held, so
    // nobody else sets it up meanwhile.
    std::strncpy(state->path, path.c_str(), sizeof state->path - 1);
    state->generation.store(1);
    state->magic.store(SharedFileState::kMagic);
  } else if (magic != SharedFileState::kMagic) {
    why = "it holds something else";
  } else if (std::strncmp(state->path, path.c_str(), sizeof state->path - 1) != 0) {
    why = "it is another file's";
  }
  if (why.empty()) return state;
  ::munmap(memory, sizeof(SharedFileState));
  return nullptr;
}

}  // namespace

SharedSegment::SharedSegment(key_t key, const std::string& path) {
  static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared atomics");
  // Processes of earlier builds read these fields at these offsets.
  static_assert(
      offsetof(SharedFileState, generation) == 1032 && offsetof(SharedFileState, size) == 1040 &&
          offsetof(SharedFileState, in_flight) == 1048 &&
          offsetof(SharedFileState, device) == 1064 && offsetof(SharedFileState, inode) == 1072 &&
          offsetof(SharedFileState, torn) == 1080,
      "the shared state's first layout");
  const std::string name = name_for(key, path);
  const std::string own_name = own_name_for(key, path);
  std::string why, own_why;
  // Once this user's processes have taken their own name, they keep to it
  // even after the other user's segment is gone.
  if ((state_ = map_segment(own_name, path, false, own_why)) != nullptr) {
    name_ = own_name;
    return;
  }
  if ((state_ = map_segment(name, path, true, why)) != nullptr) {
    name_ = name;
    return;
  }
  if ((state_ = map_segment(own_name, path, true, own_why)) != nullptr) {
    name_ = own_name;
    problem_ = "the shared memory " + name + " cannot be used (" + why + "): using " + own_name +
               " instead";
    return;
  }
  problem_ = "the shared memory " + name + " cannot be used (" + why + "), nor " + own_name +
             " (" + own_why + "): this process counts the size of " + path + " alone";
  private_ = std::make_unique<SharedFileState>();
  state_ = private_.get();
  state_->generation.store(1);
  std::strncpy(state_->path, path.c_str(), sizeof state_->path - 1);
}

std::unique_ptr<SharedSegment> SharedSegment::existing(key_t key, const std::string& path) {
  std::unique_ptr<SharedSegment> segment(new SharedSegment);
  std::string why;
  for (const std::string& name : {own_name_for(key, path), name_for(key, path)}) {
    if ((segment->state_ = map_segment(name, path, false, why)) != nullptr) {
      segment->name_ = name;
      return segment;
    }
  }
  return nullptr;
}

SharedSegment::~SharedSegment() {
  if (!name_.empty()) ::munmap(state_, sizeof(SharedFileState));
}

namespace {

// /dev/shm is sticky: a name found to be ours stays ours until we remove it.
void unlink_if_ours(const std::string& name) {
  struct stat status;
  // glibc keeps POSIX shared memory in /dev/shm.
  if (::lstat(("/dev/shm" + name).c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
      status.st_uid == ::geteuid()) {
    (void)::shm_unlink(name.c_str());
  }
}

}  // namespace

void SharedSegment::unlink() {
  if (!name_.empty()) unlink_if_ours(name_);
}

void SharedSegment::unlink_all(key_t key) {
  const std::string prefix = name_for(key, std::string()).substr(1, 19);  // "gwtoolkit-<key>-"
  DIR* directory = ::opendir("/dev/shm");
  if (directory == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(directory)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      names.push_back("/" + std::string(entry->d_name));
    }
  }
  ::closedir(directory);
  for (const std::string& name : names) unlink_if_ours(name);
}

}  // namespace gw

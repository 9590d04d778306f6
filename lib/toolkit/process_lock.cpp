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

// semtimedop, retried on EINTR with the time that is left.
int timed_semop(int id, struct sembuf* ops, std::size_t count, int wait_ms) {
  const std::int64_t deadline = monotonic_ms() + wait_ms;
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

class SemaphoreLock final : public ProcessLock {
 public:
  explicit SemaphoreLock(key_t key) : key_(key) {}

  // Finds or creates the set and counts this user; false with errno set.
  // The count is raised without the lock, so that a holder cannot delay a
  // newcomer: a last user that removes the set meanwhile (under the lock)
  // makes the newcomer's next lock() find EIDRM and start anew.
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

  bool lock() override {
    for (int attempt = 0; attempt < 5; ++attempt) {
      struct sembuf take = {kLockSem, -1, SEM_UNDO};
      if (timed_semop(id_, &take, 1, kLockWaitMs) == 0) return true;
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
    id_ = semget(key_, kSemCount, 0600);
    if (id_ < 0) return false;
    for (int waited = 0; waited < 1000; waited += 5) {
      struct semid_ds status;
      if (semctl(id_, 0, IPC_STAT, &status) != 0) return false;
      if (status.sem_otime != 0) return true;
      sleep_ms(5);
    }
    // Its creator died before setting it up: nobody can be using it.
    (void)semctl(id_, 0, IPC_RMID);
    errno = EIDRM;
    return false;
  }

  const key_t key_;
  int id_ = -1;
  pid_t pid_ = 0;  // the process that counted itself as a user
};

// Open-file-description locks on "<path>.lock": byte 0 is the lock, and
// every user holds a shared lock on byte 1 for as long as it is attached.
// The kernel drops both when the process dies.
class FileLock final : public ProcessLock {
 public:
  explicit FileLock(std::string path) : path_(std::move(path)) {}
  ~FileLock() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool attach() {
    if (!open_file()) return false;
    return set(F_RDLCK, 1, false);
  }

  bool lock() override {
    const std::int64_t deadline = monotonic_ms() + kLockWaitMs;
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

  void unlock() override { (void)set(F_UNLCK, 0, false); }

  bool detach_locked() override {
    (void)set(F_UNLCK, 1, false);
    // Nobody else holds byte 1: this was the last user.
    const bool last = set(F_WRLCK, 1, false);
    if (last) (void)set(F_UNLCK, 1, false);
    return last;
  }

  void finish() override { unlock(); }

  const char* kind() const override { return "file"; }

 private:
  bool open_file() {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd_ < 0) return false;
    struct stat status;
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
      ::close(fd_);
      fd_ = -1;
      errno = EINVAL;
      return false;
    }
    return true;
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
  if (key != static_cast<key_t>(-1)) {
    auto semaphore = std::make_unique<SemaphoreLock>(key);
    if (semaphore->attach()) return semaphore;
    problem = "the semaphore of key " + std::to_string(key) + " cannot be used (" +
              error_text(errno) + "): locking " + path + ".lock instead";
  }
  auto file = std::make_unique<FileLock>(path + ".lock");
  if (file->attach()) return file;
  problem = "cannot lock " + path + ".lock: " + error_text(errno);
  return nullptr;
}

std::unique_ptr<ProcessLock> ProcessLock::local() { return std::make_unique<LocalLock>(); }

std::string SharedSegment::name_for(key_t key, const std::string& path) {
  char name[64];
  std::snprintf(name, sizeof name, "/gwtoolkit-%08x-%016llx", static_cast<unsigned>(key),
                static_cast<unsigned long long>(fnv1a(path)));
  return name;
}

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
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    struct stat status;
    bool usable = ::fstat(fd, &status) == 0 && status.st_uid == ::geteuid();
    if (usable && status.st_size < static_cast<off_t>(sizeof(SharedFileState))) {
      usable = ::ftruncate(fd, sizeof(SharedFileState)) == 0;
    }
    void* memory =
        usable ? ::mmap(nullptr, sizeof(SharedFileState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
               : MAP_FAILED;
    ::close(fd);
    if (memory != MAP_FAILED) {
      auto state = static_cast<SharedFileState*>(memory);
      // A new segment is all zeroes; the lock is held, so nobody else sets it up.
      if (state->magic.load() != SharedFileState::kMagic) {
        std::strncpy(state->path, path.c_str(), sizeof state->path - 1);
        state->generation.store(1);
        state->magic.store(SharedFileState::kMagic);
      }
      if (std::strncmp(state->path, path.c_str(), sizeof state->path - 1) == 0) {
        state_ = state;
        name_ = name;
        return;
      }
      ::munmap(memory, sizeof(SharedFileState));  // another file's: not ours to use
    }
  }
  private_ = std::make_unique<SharedFileState>();
  state_ = private_.get();
  state_->generation.store(1);
  std::strncpy(state_->path, path.c_str(), sizeof state_->path - 1);
}

SharedSegment::~SharedSegment() {
  if (!name_.empty()) ::munmap(state_, sizeof(SharedFileState));
}

void SharedSegment::unlink() {
  if (!name_.empty()) (void)::shm_unlink(name_.c_str());
}

void SharedSegment::unlink_all(key_t key) {
  // glibc keeps POSIX shared memory in /dev/shm.
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
  for (const std::string& name : names) (void)::shm_unlink(name.c_str());
}

}  // namespace gw

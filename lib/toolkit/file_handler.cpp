#include "file_handler.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diagnostics.h"
#include "epoch.h"
#include "process_lock.h"

namespace gw {

namespace {

constexpr std::int64_t kCheckIntervalMs = 1000;  // path check, open retry
constexpr std::int64_t kDrainWaitMs = 200;       // for writes of a generation to end

// Creates every missing directory above path; false with errno set.
bool make_parent_directories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (::mkdir(directory.c_str(), kDirectoryPermissions) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// O_NONBLOCK: a FIFO planted at the path must not block the open.
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// This thread's writer slot: by kernel thread id, so that the threads of
// one process and of several take different slots.  (A forked child keeps
// its parent thread's slot; any slot is correct, a write only has to end in
// the slot it began in.)
int writer_slot() {
  static thread_local int slot = -1;
  if (slot < 0) slot = static_cast<int>(::syscall(SYS_gettid) % kWriterSlots);
  return slot;
}

std::int64_t coarse_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);  // a vDSO call, not a system call
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::int64_t file_size_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(INT64_MAX)) {
    return 0;
  }
  return static_cast<std::int64_t>(limit.rlim_cur);
}

std::size_t text_length(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

class ConsoleSink final : public Sink {
 public:
  bool write(std::string_view record, const char*) override {
    return write_all(STDERR_FILENO, record.data(), record.size());
  }
};

}  // namespace

struct FileSink::OpenFile {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
};

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = ::write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

FileSink::FileSink(FileSinkOptions options)
    : options_(std::move(options)), rotation_limit_(options_.limit) {}

FileSink::~FileSink() {
  if (lock_ != nullptr && lock_->lock()) {
    if (lock_->detach_locked()) {
      if (segment_ != nullptr) segment_->unlink();
      // Nobody uses the key any more: nor any file's segment of it.
      if (options_.key != static_cast<key_t>(-1) && std::strcmp(lock_->kind(), "sem") == 0) {
        SharedSegment::unlink_all(options_.key);
      }
      lock_->finish();
    } else {
      lock_->unlock();
    }
  }
  segment_.reset();
  delete file_.load();
}

std::string FileSink::lock_kind() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lock_ == nullptr ? std::string() : std::string(lock_->kind());
}

void FileSink::note_failure(int error, const char* what) {
  if (!failing_.exchange(true)) {
    report(options_.owner + ": cannot " + what + " " + options_.path + ": " + error_text(error) +
           ": records are dropped until it can be written again");
  }
}

bool FileSink::write_framed(std::string_view record, const char* header, const char* trailer) {
  EpochGuard guard;  // for the open file, which a rotation retires
  if (header_.load(std::memory_order_relaxed) != header) header_.store(header);
  if (trailer_.load(std::memory_order_relaxed) != trailer) {
    trailer_.store(trailer);
    reserve_.store(static_cast<std::int64_t>(text_length(trailer)));
  }
  const std::int64_t now = coarse_ms();
  if (file_.load(std::memory_order_acquire) == nullptr) {
    if (!ensure_open(now)) return false;
  } else if (now >= next_check_ms_.load(std::memory_order_relaxed)) {
    check_path(now);
  }
  SharedFileState* shared = shared_.load(std::memory_order_acquire);
  const auto size = static_cast<std::int64_t>(record.size());
  bool reserve = true;
  // Each turn that does not write is a change of file seen (a rotation,
  // another process's reopening); under churn a record may meet several.
  for (int attempt = 1;; ++attempt) {
    if (attempt % 16 == 0 && coarse_ms() - now >= 2000) break;
    const std::uint64_t generation = shared->generation.load();
    if (generation != generation_.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> hold(mutex_);
      if (generation_.load() == shared->generation.load()) continue;
      if (lock_->lock()) {
        follow_locked();
        lock_->unlock();
      } else {
        // Held too long by another: go on with the file held, unlocked.
        if (!lock_reported_.exchange(true)) {
          report(options_.owner + ": the lock of " + options_.path +
                 " is held too long: writing without it");
        }
        generation_.store(shared->generation.load(), std::memory_order_release);
      }
      continue;
    }
    // Announce the write for this generation; a rotation waits for it.
    std::atomic<std::int64_t>& in_flight = shared->writers[writer_slot()].in_flight[generation & 1];
    in_flight.fetch_add(1);
    if (shared->generation.load() != generation) {
      in_flight.fetch_sub(1);
      continue;
    }
    const std::int64_t bound = bound_.load(std::memory_order_relaxed);
    if (bound > 0 && reserve) {
      const std::int64_t end = shared->size.fetch_add(size) + size;
      if (end + reserve_.load(std::memory_order_relaxed) > bound) {
        shared->size.fetch_sub(size);
        in_flight.fetch_sub(1);
        Room room;
        {
          std::lock_guard<std::mutex> hold(mutex_);
          if (!lock_->lock()) {
            if (!lock_reported_.exchange(true)) {
              report(options_.owner + ": the lock of " + options_.path +
                     " is held too long: writing without it");
            }
            struct stat status;
            const OpenFile* file = file_.load();
            room = ::fstat(file->fd, &status) == 0 &&
                           (file_size_limit() == 0 || status.st_size + size <= file_size_limit())
                       ? Room::kWriteAnyway
                       : Room::kDrop;
          } else {
            room = make_room_locked(record.size());
            lock_->unlock();
          }
        }
        if (room == Room::kDrop) {
          note_failure(EFBIG, "write");
          return false;
        }
        if (room == Room::kWriteAnyway) reserve = false;
        continue;
      }
    }
    const OpenFile* file = file_.load(std::memory_order_acquire);
    // After a record cut short, the next one starts on a line of its own.
    const std::size_t lead =
        shared->torn.load(std::memory_order_relaxed) != 0 && shared->torn.exchange(0) != 0 ? 1 : 0;
    struct iovec parts[2] = {{const_cast<char*>("\n"), 1},
                             {const_cast<char*>(record.data()), record.size()}};
    ssize_t done;
    do {
      done = lead != 0 ? ::writev(file->fd, parts, 2)
                       : ::write(file->fd, record.data(), record.size());
    } while (done < 0 && errno == EINTR);
    bool ok = done >= 0 && static_cast<std::size_t>(done) == record.size() + lead;
    int error = done < 0 ? errno : 0;
    if (done > 0 && !ok) {
      // Short: the rest follows at once (a regular file writes short only
      // when it runs out of room, and then the rest fails too).
      const std::size_t from = static_cast<std::size_t>(done) - lead;
      ok = write_all(file->fd, record.data() + from, record.size() - from);
      if (!ok) error = errno;
    }
    if (!ok && (done > 0 || lead != 0)) shared->torn.store(1);
    in_flight.fetch_sub(1);
    if (ok) {
      if (failing_.load(std::memory_order_relaxed)) failing_.store(false);
      return true;
    }
    note_failure(error, "write");
    return false;
  }
  note_failure(EAGAIN, "write");  // the file kept changing under the record
  return false;
}

bool FileSink::ensure_open(std::int64_t now_ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (file_.load() != nullptr) return true;
  if (open_failing_.load() && now_ms < next_check_ms_.load()) return false;
  next_check_ms_.store(now_ms + kCheckIntervalMs);
  const auto fail = [&](const std::string& why) {
    if (!open_failing_.exchange(true)) {
      report(options_.owner + ": " + why + ": records are dropped");
    }
    return false;
  };
  if (options_.path.empty()) return fail("no fileName is configured");
  if (lock_ == nullptr) {
    if (!make_parent_directories(options_.path)) {
      return fail("cannot open " + options_.path + ": " + error_text(errno));
    }
    std::string problem;
    lock_ = ProcessLock::open(options_.key, options_.path, problem);
    if (lock_ == nullptr) {
      // Whole records need no lock, only rotation does: a file that can be
      // written is written, without rotation.  A missing one could not be
      // made, for the reason the lock file could not.
      const int lock_error = errno;
      const int probe =
          ::open(options_.path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (probe < 0) {
        const int error = errno == ENOENT ? lock_error : errno;
        return fail("cannot open " + options_.path + ": " + error_text(error));
      }
      ::close(probe);
      problem += ": writing without rotation";
      lock_ = ProcessLock::local();
      rotation_limit_ = 0;
    }
    if (!problem.empty()) report(options_.owner + ": " + problem);
  }
  if (!lock_->lock()) return fail("cannot open " + options_.path + ": the lock is held too long");
  if (segment_ == nullptr) {
    segment_ = std::make_unique<SharedSegment>(options_.key, options_.path);
    shared_.store(segment_->state(), std::memory_order_release);
  }
  const int saved = errno;
  const bool opened = follow_locked();
  const int error = errno;
  lock_->unlock();
  errno = saved;
  if (!opened) {
    std::string why = error_text(error);
    if (error == ELOOP) why = "it is a symbolic link";
    if (error == ENXIO || error == EINVAL) why = "it is not a regular file";
    return fail("cannot open " + options_.path + ": " + why);
  }
  if (open_failing_.exchange(false))
    report(options_.owner + ": " + options_.path + " is open again");
  return true;
}

void FileSink::check_path(std::int64_t now_ms) {
  std::int64_t due = next_check_ms_.load();
  if (now_ms < due || !next_check_ms_.compare_exchange_strong(due, now_ms + kCheckIntervalMs)) {
    return;
  }
  const OpenFile* file = file_.load();
  struct stat status;
  if (::stat(options_.path.c_str(), &status) == 0 && status.st_ino == file->inode &&
      status.st_dev == file->device) {
    return;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (lock_->lock()) {
    follow_locked();
    lock_->unlock();
  }
}

bool FileSink::follow_locked() {
  SharedFileState* shared = shared_.load();
  const OpenFile* file = file_.load();
  struct stat status;
  if (file == nullptr || ::stat(options_.path.c_str(), &status) != 0 ||
      status.st_ino != file->inode || status.st_dev != file->device) {
    if (!open_at_path_locked()) {
      generation_.store(shared->generation.load());  // go on with the file held, if any
      return false;
    }
    file = file_.load();
  }
  if (shared->inode.load() != file->inode || shared->device.load() != file->device) {
    // This process is the first to see the file: the others follow.
    struct stat now;
    shared->device.store(file->device);
    shared->inode.store(file->inode);
    shared->size.store(::fstat(file->fd, &now) == 0 ? now.st_size : 0);
    shared->generation.fetch_add(1);
  }
  const std::int64_t limit = file_size_limit();
  std::int64_t bound = rotation_limit_;
  if (limit > 0 && (bound == 0 || limit < bound)) bound = limit;
  bound_.store(bound);
  generation_.store(shared->generation.load(), std::memory_order_release);
  return true;
}

bool FileSink::open_at_path_locked() {
  const char* path = options_.path.c_str();
  int fd = ::open(path, kOpenFlags);
  bool created = false;
  if (fd < 0 && errno == ENOENT && make_parent_directories(options_.path)) {
    fd = ::open(path, kOpenFlags | O_CREAT | O_EXCL, options_.permissions);
    if (fd >= 0) {
      created = true;
    } else if (errno == EEXIST) {
      fd = ::open(path, kOpenFlags);
    }
  }
  if (fd < 0) return false;
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return false;
  }
  (void)::fcntl(fd, F_SETFL, O_APPEND);  // blocking from now on
  // The permissions are the configured ones, whatever the umask.
  if (created) (void)::fchmod(fd, options_.permissions);
  const char* header = header_.load();
  if (status.st_size == 0 && header != nullptr && *header != '\0') {
    (void)write_all(fd, header, std::strlen(header));
  }
  auto file = new OpenFile;
  file->fd = fd;
  file->device = status.st_dev;
  file->inode = status.st_ino;
  install_locked(file);
  return true;
}

void FileSink::install_locked(OpenFile* file) {
  OpenFile* old = file_.exchange(file);
  if (old != nullptr) retire_local(old);  // other threads may still write through it
}

FileSink::Room FileSink::make_room_locked(std::size_t size) {
  const std::uint64_t before = generation_.load();
  follow_locked();
  if (generation_.load() != before) return Room::kRetry;  // rotated meanwhile: try the new file
  // Let every write under way land, so that the file's size is all there is.
  quiesce_locked();
  const OpenFile* file = file_.load();
  struct stat status;
  if (::fstat(file->fd, &status) != 0) return Room::kWriteAnyway;
  shared_.load()->size.store(status.st_size);
  const auto length = static_cast<std::int64_t>(size);
  const std::int64_t fsize_limit = file_size_limit();
  std::int64_t bound = rotation_limit_;
  if (fsize_limit > 0 && (bound == 0 || fsize_limit < bound)) bound = fsize_limit;
  bound_.store(bound);
  if (bound == 0 || status.st_size + length + reserve_.load() <= bound) {
    return Room::kRetry;  // the count had run ahead of the file
  }
  const bool fits_fsize = fsize_limit == 0 || status.st_size + length <= fsize_limit;
  const auto header = static_cast<std::int64_t>(text_length(header_.load()));
  // No rotation while writes fail (it would leave empty files), and none of
  // a file that holds no record yet: one record larger than the limit.
  // With both limits, the file rotates below RLIMIT_FSIZE.
  if (failing_.load() || status.st_size <= header || rotation_limit_ == 0) {
    return fits_fsize ? Room::kWriteAnyway : Room::kDrop;
  }
  rotate_locked();
  return Room::kRetry;
}

void FileSink::drain_locked(std::uint64_t old_generation) {
  SharedFileState* shared = shared_.load();
  const std::uint64_t parity = old_generation & 1;
  const auto writing = [shared, parity] {
    if (shared->in_flight[parity].load() > 0) return true;  // writers of earlier builds
    for (const WriterSlot& slot : shared->writers) {
      if (slot.in_flight[parity].load() > 0) return true;
    }
    return false;
  };
  struct timespec pause = {0, 50000};
  std::int64_t waited_us = 0;
  for (; writing() && waited_us < kDrainWaitMs * 1000; waited_us += 50) nanosleep(&pause, nullptr);
  // A writer killed during its write never ends it: forget it.  (Reset
  // only then: a writer that announces itself late, sees the new
  // generation and withdraws must not take the count below zero.)
  if (waited_us >= kDrainWaitMs * 1000) {
    shared->in_flight[parity].store(0);
    for (WriterSlot& slot : shared->writers) slot.in_flight[parity].store(0);
  }
}

void FileSink::quiesce_locked() {
  SharedFileState* shared = shared_.load();
  const std::uint64_t old_generation = shared->generation.fetch_add(1);
  drain_locked(old_generation);
  generation_.store(old_generation + 1, std::memory_order_release);
}

void FileSink::rotate_locked() {
  const OpenFile* file = file_.load();
  const char* trailer = trailer_.load();
  if (trailer != nullptr && *trailer != '\0')
    (void)write_all(file->fd, trailer, std::strlen(trailer));
  const std::string& path = options_.path;
  bool moved = true;
  if (options_.count <= 0) {
    moved = ::unlink(path.c_str()) == 0;
  } else {
    for (int index = options_.count - 1; index >= 1; --index) {
      (void)::rename((path + "." + std::to_string(index)).c_str(),
                     (path + "." + std::to_string(index + 1)).c_str());
    }
    moved = ::rename(path.c_str(), (path + ".1").c_str()) == 0;
  }
  if (!moved) report(options_.owner + ": cannot rotate " + path + ": " + error_text(errno));
  follow_locked();  // opens the new file and publishes it
}

std::shared_ptr<Sink> console_sink() {
  static std::shared_ptr<Sink>* sink = new std::shared_ptr<Sink>(std::make_shared<ConsoleSink>());
  return *sink;
}

}  // namespace gw

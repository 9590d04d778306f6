#include "toolkit/file_sink.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "toolkit/archive_compressor.h"
#include "toolkit/clock.h"
#include "toolkit/diagnostics.h"
#include "toolkit/epoch.h"
#include "toolkit/file_trust.h"
#include "toolkit/fork_handlers.h"
#include "toolkit/os.h"
#include "toolkit/process_lock.h"
#include "toolkit/shared_file_state.h"
#include "toolkit/stager.h"

namespace gw {

namespace {

constexpr std::int64_t kDrainWaitMs = 50;          // for writes of a generation to end
constexpr std::int64_t kLockReportAfterMs = 2000;  // without the lock, before a report
constexpr std::int64_t kChurnLimitMs = 2000;       // of a record meeting change after change

// O_NONBLOCK: a FIFO planted at the path must not block the open.
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

std::size_t text_length(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

}  // namespace

std::int64_t file_size_limit() {
  struct rlimit limit;
  if (os().getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(INT64_MAX)) {
    return 0;
  }
  return static_cast<std::int64_t>(limit.rlim_cur);
}

FileSink::OpenFile::~OpenFile() {
  if (fd >= 0) os().close(fd);
}

FileSink::FileSink(FileSinkOptions options)
    : options_(std::move(options)), rotation_limit_(options_.limit) {
  if (options_.compress) prepare_archive_compression();
  if (options_.staging > 0 && !options_.path.empty()) stager_ = std::make_unique<Stager>(*this);
  hold_across_fork(mutex_);
}

FileSink::~FileSink() {
  stager_.reset();  // its records are written first
  withdraw_from_fork(mutex_);
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

void FileSink::note_failure(int error, const char* what) {
  if (!failing_.exchange(true)) {
    report(options_.owner + ": cannot " + what + " " + options_.path + ": " + error_text(error) +
           ": records are dropped until it can be written again");
  }
}

// A write announced for one generation, in the count of its parity: a
// rotation waits until the announced writes of the generation it ends land.
class FileSink::AnnouncedWrite {
 public:
  AnnouncedWrite(SharedFileState& shared, std::uint64_t generation)
      : count_(shared.in_flight[generation & 1]) {
    count_.fetch_add(1);
  }
  ~AnnouncedWrite() {
    if (!ended_) count_.fetch_sub(1);
  }
  void end() {
    count_.fetch_sub(1);
    ended_ = true;
  }

 private:
  std::atomic<std::int64_t>& count_;
  bool ended_ = false;
};

// The steps of write_framed, inline in it: a call each would cost the record
// more than the steps themselves.
__attribute__((always_inline)) inline void FileSink::remember_frame(const char* header,
                                                                    const char* trailer) {
  if (header_.load(std::memory_order_relaxed) != header) header_.store(header);
  if (trailer_.load(std::memory_order_relaxed) != trailer) {
    trailer_.store(trailer);
    reserve_.store(static_cast<std::int64_t>(text_length(trailer)));
  }
}

__attribute__((always_inline)) inline bool FileSink::claim_room(SharedFileState& shared,
                                                                std::size_t size) {
  const std::int64_t bound = bound_.load(std::memory_order_relaxed);
  if (bound <= 0) return true;
  const auto length = static_cast<std::int64_t>(size);
  const std::int64_t end = shared.size.fetch_add(length) + length;
  if (end + reserve_.load(std::memory_order_relaxed) <= bound) return true;
  shared.size.fetch_sub(length);
  return false;
}

__attribute__((always_inline)) inline int FileSink::append_whole(SharedFileState& shared,
                                                                 const OpenFile* file,
                                                                 std::string_view record) {
  // After a record cut short, the next one starts on a line of its own.
  const std::size_t lead =
      shared.torn.load(std::memory_order_relaxed) != 0 && shared.torn.exchange(0) != 0 ? 1 : 0;
  struct iovec parts[2] = {{const_cast<char*>("\n"), 1},
                           {const_cast<char*>(record.data()), record.size()}};
  ssize_t done;
  do {
    done = lead != 0 ? os_writev(file->fd, parts, 2)
                     : os_write(file->fd, record.data(), record.size());
  } while (done < 0 && errno == EINTR);
  if (done >= 0 && static_cast<std::size_t>(done) == record.size() + lead) return 0;
  int error = done < 0 ? errno : EIO;  // nothing written, no error: no progress either
  if (done > 0) {
    // Short: the rest follows at once (a regular file writes short only
    // when it runs out of room, and then the rest fails too).
    const std::size_t from = static_cast<std::size_t>(done) - lead;
    if (write_all(file->fd, record.data() + from, record.size() - from)) return 0;
    error = errno;
  }
  if (done > 0 || lead != 0) shared.torn.store(1);
  return error != 0 ? error : EIO;
}

bool FileSink::write_framed(std::string_view record, const char* header, const char* trailer) {
  if (stager_ != nullptr && stager_->stage(record, header, trailer)) return true;
  EpochGuard guard;  // for the open file, which a rotation retires
  remember_frame(header, trailer);
  const std::int64_t now = coarse_monotonic_ms();
  if (file_.load(std::memory_order_acquire) == nullptr) {
    if (!ensure_open(now)) return false;
    if (!orphans_drained_.exchange(true)) Stager::drain_orphans(*this);
  } else if (now >= next_check_ms_.load(std::memory_order_relaxed)) {
    check_path(now);
  }
  SharedFileState& shared = *shared_.load(std::memory_order_acquire);
  bool reserve = true;
  // Each turn that does not write is a change of file seen (a rotation,
  // another process's reopening); under churn a record may meet several.
  for (int attempt = 1;; ++attempt) {
    if (attempt % 16 == 0 && coarse_monotonic_ms() - now >= kChurnLimitMs) break;
    const std::uint64_t generation = shared.generation.load();
    if (generation != generation_.load(std::memory_order_acquire)) {
      follow_generation(shared, now);
      continue;
    }
    AnnouncedWrite announced(shared, generation);
    if (shared.generation.load() != generation) continue;
    if (reserve && !claim_room(shared, record.size())) {
      announced.end();  // a rotation waits for it
      Room room;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        room = make_room_locked(record.size(), now);
      }
      if (room == Room::kDrop) {
        note_failure(EFBIG, "write");
        return false;
      }
      if (room == Room::kWriteAnyway) reserve = false;
      continue;
    }
    const int error = append_whole(shared, file_.load(std::memory_order_acquire), record);
    announced.end();
    if (error == 0) {
      if (failing_.load(std::memory_order_relaxed)) failing_.store(false);
      return true;
    }
    note_failure(error, "write");
    return false;
  }
  note_failure(EAGAIN, "write");  // the file kept changing under the record
  return false;
}

std::size_t FileSink::write_batch(std::string_view text, RecordBatch& batch, const char* header,
                                  const char* trailer) {
  const std::size_t count = batch.count();
  if (count == 0) return 0;
  EpochGuard guard;
  remember_frame(header, trailer);
  const std::int64_t now = coarse_monotonic_ms();
  if (file_.load(std::memory_order_acquire) == nullptr) {
    if (!ensure_open(now)) {
      batch.after_write(count);
      return count;
    }
  } else if (now >= next_check_ms_.load(std::memory_order_relaxed)) {
    check_path(now);
  }
  SharedFileState& shared = *shared_.load(std::memory_order_acquire);
  if (cut_record_.load() && cut_record_.exchange(false)) shared.torn.store(1);
  std::size_t first = 0;   // the first record not written yet
  std::size_t offset = 0;  // where it starts
  std::size_t dropped = 0;
  bool reserve = true;
  for (int attempt = 1; first < count; ++attempt) {
    if (attempt % 16 == 0 && coarse_monotonic_ms() - now >= kChurnLimitMs) break;
    const std::uint64_t generation = shared.generation.load();
    if (generation != generation_.load(std::memory_order_acquire)) {
      follow_generation(shared, now);
      continue;
    }
    AnnouncedWrite announced(shared, generation);
    if (shared.generation.load() != generation) continue;
    std::size_t last = count;
    if (reserve && !claim_room(shared, batch.end(count - 1) - offset)) {
      // As many whole records as fit below the bound, else room for one.
      const std::int64_t room = bound_.load() - reserve_.load() - shared.size.load();
      last = first;
      while (last < count && static_cast<std::int64_t>(batch.end(last) - offset) <= room) ++last;
      if (last == first || !claim_room(shared, batch.end(last - 1) - offset)) {
        announced.end();
        Room made;
        {
          std::lock_guard<std::mutex> hold(mutex_);
          made = make_room_locked(batch.end(first) - offset, now);
        }
        if (made == Room::kDrop) {
          note_failure(EFBIG, "write");
          offset = batch.end(first++);
          ++dropped;
          batch.after_write(first);
        } else if (made == Room::kWriteAnyway) {
          reserve = false;
        }
        continue;
      }
    }
    const OpenFile* file = file_.load(std::memory_order_acquire);
    batch.before_write(first, last, file->fd, file->device, file->inode);
    const int error = append_whole(shared, file, text.substr(offset, batch.end(last - 1) - offset));
    announced.end();
    if (error == 0) {
      if (failing_.load(std::memory_order_relaxed)) failing_.store(false);
    } else {
      note_failure(error, "write");
      dropped += last - first;
    }
    first = last;
    offset = batch.end(last - 1);
    batch.after_write(last);
    reserve = true;
  }
  if (first < count) {
    note_failure(EAGAIN, "write");  // the file kept changing under the records
    dropped += count - first;
    batch.after_write(count);
  }
  return dropped;
}

void FileSink::follow_generation(const SharedFileState& shared, std::int64_t now_ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (generation_.load() != shared.generation.load()) follow_or_go_on_locked(now_ms);
}

bool FileSink::ensure_open(std::int64_t now_ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (file_.load() != nullptr) return true;
  if (open_failing_.load() && now_ms < next_check_ms_.load()) return false;
  next_check_ms_.store(now_ms + kRetryIntervalMs);
  const auto fail = [&](const std::string& why) {
    if (!open_failing_.exchange(true)) {
      report(options_.owner + ": " + why + ": records are dropped");
    }
    return false;
  };
  if (options_.path.empty()) return fail("no fileName is configured");
  if (lock_ == nullptr) {
    std::string leaf, why;
    const int directory = open_directory_of(options_.path, true, leaf, why);
    if (directory < 0) return fail("cannot open " + options_.path + ": " + why);
    os().close(directory);
    std::string problem;
    lock_ = ProcessLock::open(options_.key, options_.path, problem);
    if (lock_ == nullptr) {
      // Whole records need no lock, only rotation does: the file is
      // written, without rotation.
      problem += ": writing without rotation";
      lock_ = ProcessLock::local();
      rotation_limit_ = 0;
    }
    if (!problem.empty()) report(options_.owner + ": " + problem);
  }
  if (!take_lock_locked(now_ms)) return join_unlocked_locked(now_ms, fail);
  if (segment_ == nullptr) {
    segment_ = std::make_unique<SharedSegment>(options_.key, options_.path);
    if (!segment_->problem().empty()) report(options_.owner + ": " + segment_->problem());
    shared_.store(segment_->state(), std::memory_order_release);
  }
  std::string why;
  OpenFile* file = open_file_locked(why);
  if (file != nullptr) switch_to_locked(file);
  lock_->unlock();
  if (file == nullptr) return fail("cannot open " + options_.path + ": " + why);
  if (open_failing_.exchange(false))
    report(options_.owner + ": " + options_.path + " is open again");
  // What a process killed while compressing left is finished.
  compress_archives_locked();
  // A file last written before the current day or hour is rotated before
  // the first record goes in.
  if (options_.rotate != RotateEvery::kNever && period_ended(now_ms)) {
    rotate_for_period_locked(now_ms);
  }
  return true;
}

template <typename Fail>
bool FileSink::join_unlocked_locked(std::int64_t now_ms, Fail fail) {
  // Another process holds the lock (most often rotating).  Nothing may be
  // created or claimed without it, but the file it keeps, with its shared
  // state, can be joined at once: the records of a process that starts
  // while another rotates are not dropped.
  if (segment_ == nullptr) {
    segment_ = SharedSegment::existing(options_.key, options_.path);
    if (segment_ != nullptr) shared_.store(segment_->state(), std::memory_order_release);
  }
  std::string why;
  OpenFile* file = segment_ == nullptr ? nullptr : open_file_locked(why, false);
  const SharedFileState* shared = shared_.load();
  if (file != nullptr && file->inode == shared->inode.load() &&
      file->device == shared->device.load()) {
    install_locked(file);
    publish_locked();
    if (open_failing_.exchange(false))
      report(options_.owner + ": " + options_.path + " is open again");
    return true;
  }
  delete file;
  next_check_ms_.store(now_ms);  // the next record tries again, without waiting for the lock
  return fail("cannot open " + options_.path + ": its lock is held too long");
}

void FileSink::check_path(std::int64_t now_ms) {
  std::int64_t due = next_check_ms_.load();
  if (now_ms < due || !next_check_ms_.compare_exchange_strong(
                          due, std::min(now_ms + kRetryIntervalMs, boundary_ms_.load()))) {
    return;
  }
  if (options_.rotate != RotateEvery::kNever && period_ended(now_ms)) {
    // Then the path as always: a rotation that could not be done must not
    // keep the handler from following a file changed from outside.
    std::lock_guard<std::mutex> hold(mutex_);
    rotate_for_period_locked(now_ms);
  }
  const OpenFile* file = file_.load();
  struct stat status;
  if (os().stat(options_.path.c_str(), &status) == 0 && status.st_ino == file->inode &&
      status.st_dev == file->device) {
    if (has_retired_.load()) {
      // Files replaced a while ago: no writer can still hold them.
      std::lock_guard<std::mutex> hold(mutex_);
      has_retired_.store(retired_.reclaim());
    }
    return;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (take_lock_locked(now_ms)) {
    follow_locked(now_ms);
    lock_->unlock();
  }
  has_retired_.store(retired_.reclaim());
}

bool FileSink::take_lock_locked(std::int64_t now_ms) {
  if (now_ms < lock_retry_ms_) return false;
  if (lock_->lock()) {
    lock_failing_since_ms_ = 0;
    lock_reported_ = false;
    return true;
  }
  // A holder that is only slow (a busy machine) costs a record 100 ms and
  // a late rotation; one that keeps it for seconds is worth a report.
  lock_retry_ms_ = now_ms + kRetryIntervalMs;
  if (lock_failing_since_ms_ == 0) lock_failing_since_ms_ = now_ms;
  if (!lock_reported_ && now_ms - lock_failing_since_ms_ >= kLockReportAfterMs) {
    lock_reported_ = true;
    report(options_.owner + ": the lock of " + options_.path +
           " is held too long: writing without it, without rotating, until it can be had");
  }
  return false;
}

void FileSink::follow_or_go_on_locked(std::int64_t now_ms) {
  if (take_lock_locked(now_ms)) {
    follow_locked(now_ms);
    lock_->unlock();
    return;
  }
  // Without the lock nothing is created or claimed, but the file at the
  // path is taken when it is the one the shared state names: a file held
  // past a few rotations would be removed under its writer.  Else go on
  // with the file held.
  std::string why;
  OpenFile* opened = open_file_locked(why, false);
  const SharedFileState* shared = shared_.load();
  if (opened != nullptr && opened->inode == shared->inode.load() &&
      opened->device == shared->device.load()) {
    install_locked(opened);
  } else {
    delete opened;
  }
  publish_locked();
}

bool FileSink::follow_locked(std::int64_t now_ms) {
  const OpenFile* file = file_.load();
  struct stat status;
  if (file != nullptr && os().stat(options_.path.c_str(), &status) == 0 &&
      status.st_ino == file->inode && status.st_dev == file->device) {
    switch_to_locked(nullptr);
    return true;
  }
  if (file != nullptr && now_ms < reopen_retry_ms_) {
    publish_locked();
    return false;
  }
  std::string why;
  OpenFile* opened = open_file_locked(why);
  if (opened == nullptr) {
    reopen_retry_ms_ = now_ms + kRetryIntervalMs;
    if (file != nullptr && !reopen_failing_) {
      reopen_failing_ = true;
      report(options_.owner + ": cannot reopen " + options_.path + ": " + why +
             ": writing on to the file held");
    }
    publish_locked();  // go on with the file held, if any
    return false;
  }
  if (reopen_failing_) {
    reopen_failing_ = false;
    report(options_.owner + ": " + options_.path + " is open again");
  }
  switch_to_locked(opened);
  return true;
}

FileSink::OpenFile* FileSink::open_file_locked(std::string& why, bool create) {
  std::string leaf;
  Descriptor directory(open_directory_of(options_.path, create, leaf, why));
  if (directory.get() < 0) return nullptr;
  struct stat status;
  if (!directory_reported_ && os().fstat(directory.get(), &status) == 0 &&
      (status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0) {
    directory_reported_ = true;
    report(options_.owner + ": the directory of " + options_.path +
           " is writable by every user and not sticky: anyone can replace its log files");
  }
  const mode_t permissions = options_.permissions & kLogFileModeMask;
  Descriptor fd(os().openat(directory.get(), leaf.c_str(), kOpenFlags));
  bool created = false;
  if (fd.get() < 0 && errno == ENOENT && create) {
    fd.reset(
        os().openat(directory.get(), leaf.c_str(), kOpenFlags | O_CREAT | O_EXCL, permissions));
    created = fd.get() >= 0;
    if (!created && errno == EEXIST) {
      fd.reset(os().openat(directory.get(), leaf.c_str(), kOpenFlags));
    }
  }
  if (fd.get() < 0) {
    why = errno == ELOOP   ? "it is a symbolic link"
          : errno == ENXIO ? "it is not a regular file"
                           : error_text(errno);
    return nullptr;
  }
  if (os().fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    why = "it is not a regular file";
    return nullptr;
  }
  if (!trusted_owner(status.st_uid)) {
    why = owner_text(status.st_uid);
    return nullptr;
  }
  (void)os().fcntl(fd.get(), F_SETFL, O_APPEND);  // blocking from now on
  // The permissions are the configured ones, whatever the umask.
  if (created) (void)os().fchmod(fd.get(), permissions);
  const char* header = header_.load();
  // A new or empty file (logrotate's create) starts with the header; only
  // under the lock, which create stands for.
  if (create && status.st_size == 0 && header != nullptr && *header != '\0') {
    (void)write_all(fd.get(), header, std::strlen(header));
  }
  auto file = new OpenFile;
  file->fd = fd.release();
  file->device = status.st_dev;
  file->inode = status.st_ino;
  return file;
}

void FileSink::switch_to_locked(OpenFile* file) {
  SharedFileState* shared = shared_.load();
  const OpenFile* current = file != nullptr ? file : file_.load();
  if (shared->inode.load() != current->inode || shared->device.load() != current->device) {
    // This process is the first to see the file: every writer (of every
    // process) is held off, and the writes under way land in the file they
    // began in, before the count starts anew for this one.
    drain_locked(shared->generation.fetch_add(1));
    struct stat now;
    shared->device.store(current->device);
    shared->inode.store(current->inode);
    shared->size.store(os().fstat(current->fd, &now) == 0 ? now.st_size : 0);
    if (options_.rotate != RotateEvery::kNever) {
      shared->period.store(period_of_file_locked(current->fd));
    }
  }
  if (file != nullptr) install_locked(file);
  publish_locked();
}

void FileSink::install_locked(OpenFile* file) {
  OpenFile* old = file_.exchange(file);
  if (old != nullptr) {
    // Other threads may still write through it: closed once none can.
    retired_.retire(old, [](void* object) { delete static_cast<OpenFile*>(object); });
  }
  has_retired_.store(retired_.reclaim());
}

void FileSink::publish_locked() {
  const std::int64_t limit = file_size_limit();
  std::int64_t bound = rotation_limit_;
  if (limit > 0 && (bound == 0 || limit < bound)) bound = limit;
  bound_.store(bound);
  generation_.store(shared_.load()->generation.load(), std::memory_order_release);
}

void FileSink::drain_locked(std::uint64_t old_generation) {
  SharedFileState* shared = shared_.load();
  std::atomic<std::int64_t>& in_flight = shared->in_flight[old_generation & 1];
  struct timespec pause = {0, 50000};
  std::int64_t waited_us = 0;
  for (; in_flight.load() > 0 && waited_us < kDrainWaitMs * 1000; waited_us += 50)
    os().nanosleep(&pause, nullptr);
  // A writer killed during its write never ends it: forget it.  (Reset
  // only then: a writer that announces itself late, sees the new
  // generation and withdraws must not take the count below zero.)
  if (waited_us >= kDrainWaitMs * 1000) in_flight.store(0);
}

}  // namespace gw

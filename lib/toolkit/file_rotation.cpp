// A file handler's rotation, by size and by time: when a record would take
// the file past its limit, or is the first after a local midnight or hour
// (rotate), the file is renamed away and a new one takes its place, with
// every writer of every process held off meanwhile (file_sink.h).  The
// processes agree on the day or hour a file belongs to through the shared
// state, so that one of them rotates at each boundary.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "toolkit/archive_compressor.h"
#include "toolkit/clock.h"
#include "toolkit/diagnostics.h"
#include "toolkit/file_sink.h"
#include "toolkit/file_trust.h"
#include "toolkit/os.h"
#include "toolkit/process_lock.h"
#include "toolkit/shared_file_state.h"

namespace gw {

namespace {

std::size_t text_length(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;

}  // namespace

std::int64_t FileSink::period_start(std::int64_t seconds) const {
  const time_t when = static_cast<time_t>(seconds);
  struct tm local;
  if (localtime_r(&when, &local) == nullptr) return seconds - seconds % 3600;
  // The local hour starts where the minutes and seconds do, whatever the
  // zone's offset from UTC.
  if (options_.rotate == RotateEvery::kHour) return seconds - local.tm_min * 60 - local.tm_sec;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;  // midnight's own offset, across a change of summer time
  const time_t midnight = mktime(&local);
  return midnight == static_cast<time_t>(-1) ? seconds - seconds % kSecondsPerDay : midnight;
}

std::int64_t FileSink::period_after(std::int64_t start) const {
  if (options_.rotate == RotateEvery::kHour) return start + 3600;
  const time_t when = static_cast<time_t>(start);
  struct tm local;
  if (localtime_r(&when, &local) == nullptr) return start + kSecondsPerDay;
  local.tm_mday += 1;  // 23 or 25 hours on the days summer time begins or ends
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  const time_t midnight = mktime(&local);
  return midnight == static_cast<time_t>(-1) || midnight <= start ? start + kSecondsPerDay
                                                                  : midnight;
}

bool FileSink::period_ended(std::int64_t now_ms) {
  const std::int64_t now_us = realtime_us();
  const std::int64_t now_s = now_us / 1000000;
  std::int64_t start = period_s_.load();
  std::int64_t boundary = boundary_s_.load();
  if (now_s < start || now_s >= boundary) {  // a boundary passed, or the clock was set
    start = period_start(now_s);
    boundary = period_after(start);
    period_s_.store(start);
    boundary_s_.store(boundary);
  }
  // The coarse clock the records read, brought to the boundary: the record
  // path compares it with next_check_ms_ as it does anyway.
  const std::int64_t deadline = now_ms + (boundary * 1000000 - now_us + 999) / 1000;
  boundary_ms_.store(deadline);
  std::int64_t next = next_check_ms_.load();
  while (deadline < next && !next_check_ms_.compare_exchange_weak(next, deadline)) {
  }
  const SharedFileState* shared = shared_.load();
  if (shared == nullptr) return false;
  const std::int64_t period = shared->period.load();
  // 0: not known yet (the state was set up by a process that does not
  // rotate by time), settled under the lock.
  return period < start;
}

std::int64_t FileSink::period_of_file_locked(int fd) const {
  const std::int64_t now = period_start(realtime_us() / 1000000);
  struct stat status;
  if (os().fstat(fd, &status) != 0 ||
      status.st_size <= static_cast<std::int64_t>(text_length(header_.load()))) {
    return now;
  }
  const std::int64_t changed = period_start(status.st_mtim.tv_sec);
  return changed < now ? changed : now;
}

void FileSink::rotate_for_period_locked(std::int64_t now_ms) {
  // Without a lock of the processes, a time rotation could be done by
  // several of them: none is done, as none by size.
  if (now_ms < rotate_retry_ms_ || std::strcmp(lock_->kind(), "local") == 0 ||
      !take_lock_locked(now_ms)) {
    return;
  }
  const std::int64_t current = period_s_.load();
  SharedFileState* shared = shared_.load();
  // The file at the path: a process that rotated first has put a new one
  // there, of the current period, and nothing more is done.
  if (follow_locked(now_ms)) {
    std::int64_t period = shared->period.load();
    if (period == 0) {
      period = period_of_file_locked(file_.load()->fd);
      shared->period.store(period);
    }
    if (period < current) {
      drain_locked(shared->generation.fetch_add(1));
      struct stat status;
      std::string why;
      if (failing_.load() || os().fstat(file_.load()->fd, &status) != 0) {
        // No rotation while writes fail; tried again a second later.
        publish_locked();
        rotate_retry_ms_ = now_ms + kRetryIntervalMs;
      } else if (status.st_size <= static_cast<std::int64_t>(text_length(header_.load()))) {
        // Nothing was written in the period that ended: the file stays.
        shared->size.store(status.st_size);
        shared->period.store(current);
        publish_locked();
      } else if (rotate_locked(why)) {
        if (rotate_failing_) {
          rotate_failing_ = false;
          report(options_.owner + ": " + options_.path + " rotates again");
        }
      } else {
        shared->size.store(status.st_size);
        publish_locked();
        rotate_retry_ms_ = now_ms + kRetryIntervalMs;
        if (!rotate_failing_) {
          rotate_failing_ = true;
          report(options_.owner + ": cannot rotate " + options_.path + ": " + why +
                 ": writing on into it, trying again each second");
        }
      }
    }
  }
  lock_->unlock();
}

FileSink::Room FileSink::past_limit_locked(std::size_t size) const {
  const std::int64_t limit = file_size_limit();
  if (limit == 0) return Room::kWriteAnyway;
  struct stat status;
  return os().fstat(file_.load()->fd, &status) == 0 &&
                 status.st_size + static_cast<std::int64_t>(size) <= limit
             ? Room::kWriteAnyway
             : Room::kDrop;
}

FileSink::Room FileSink::make_room_locked(std::size_t size, std::int64_t now_ms) {
  // While rotation fails, or the lock cannot be had, records go on past the
  // limit into the file held, and rotation is tried again a second later.
  if (now_ms < rotate_retry_ms_ || !take_lock_locked(now_ms)) return past_limit_locked(size);
  const Room room = make_room_with_lock_locked(size, now_ms);
  lock_->unlock();
  return room;
}

FileSink::Room FileSink::make_room_with_lock_locked(std::size_t size, std::int64_t now_ms) {
  const std::uint64_t before = generation_.load();
  // Never rotate a file that is no longer at the path.
  if (!follow_locked(now_ms)) return past_limit_locked(size);
  if (generation_.load() != before) return Room::kRetry;  // rotated meanwhile: try the new file
  // Hold every writer off and let every write under way land, so that the
  // file's size is all there is, and stays so until publish_locked.
  SharedFileState* shared = shared_.load();
  drain_locked(shared->generation.fetch_add(1));
  const OpenFile* file = file_.load();
  struct stat status;
  if (os().fstat(file->fd, &status) != 0) {
    publish_locked();
    return Room::kWriteAnyway;
  }
  shared->size.store(status.st_size);
  const auto length = static_cast<std::int64_t>(size);
  const std::int64_t fsize_limit = file_size_limit();
  std::int64_t bound = rotation_limit_;
  if (fsize_limit > 0 && (bound == 0 || fsize_limit < bound)) bound = fsize_limit;
  if (bound == 0 || status.st_size + length + reserve_.load() <= bound) {
    publish_locked();
    return Room::kRetry;  // the count had run ahead of the file
  }
  const bool fits_fsize = fsize_limit == 0 || status.st_size + length <= fsize_limit;
  const auto header = static_cast<std::int64_t>(text_length(header_.load()));
  // No rotation while writes fail (it would leave empty files), and none of
  // a file that holds no record yet: one record larger than the limit.
  // With both limits, the file rotates below RLIMIT_FSIZE.
  if (failing_.load() || status.st_size <= header || rotation_limit_ == 0) {
    publish_locked();
    return fits_fsize ? Room::kWriteAnyway : Room::kDrop;
  }
  std::string why;
  if (rotate_locked(why)) {
    if (rotate_failing_) {
      rotate_failing_ = false;
      report(options_.owner + ": " + options_.path + " rotates again");
    }
    return Room::kRetry;
  }
  publish_locked();
  rotate_retry_ms_ = now_ms + kRetryIntervalMs;
  if (!rotate_failing_) {
    rotate_failing_ = true;
    report(options_.owner + ": cannot rotate " + options_.path + ": " + why +
           ": writing on past the limit, trying again each second");
  }
  return fits_fsize ? Room::kWriteAnyway : Room::kDrop;
}

bool FileSink::rotate_locked(std::string& why) {
  std::string leaf;
  Descriptor directory(open_directory_of(options_.path, false, leaf, why));
  if (directory.get() < 0) return false;
  // The new file first, under a name of its own, so that a failure here
  // (EMFILE, ENOSPC) leaves the set as it was.
  const std::string fresh = "." + leaf + ".new";
  const mode_t permissions = options_.permissions & kLogFileModeMask;
  const int create = O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  Descriptor fd(os().openat(directory.get(), fresh.c_str(), create, permissions));
  struct stat status;
  if (fd.get() < 0 && errno == EEXIST &&
      os().fstatat(directory.get(), fresh.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(status.st_mode) && trusted_owner(status.st_uid)) {
    // Left by a rotation that died halfway.
    (void)os().unlinkat(directory.get(), fresh.c_str(), 0);
    fd.reset(os().openat(directory.get(), fresh.c_str(), create, permissions));
  }
  if (fd.get() < 0 || os().fstat(fd.get(), &status) != 0) {
    why = "cannot make its next file: " + error_text(errno);
    return false;
  }
  (void)os().fchmod(fd.get(), permissions);
  const char* header = header_.load();
  if (header != nullptr && *header != '\0' && !write_all(fd.get(), header, std::strlen(header))) {
    why = "cannot make its next file: " + error_text(errno);
    (void)os().unlinkat(directory.get(), fresh.c_str(), 0);
    return false;
  }
  if (!shift_locked(directory.get(), leaf, why)) {
    (void)os().unlinkat(directory.get(), fresh.c_str(), 0);
    return false;
  }
  remove_expired_locked(directory.get(), leaf);
  const char* trailer = trailer_.load();
  if (trailer != nullptr && *trailer != '\0')
    (void)write_all(file_.load()->fd, trailer, std::strlen(trailer));
  // Into place only if nobody has taken the name meanwhile.
  int placed = os().renameat2(directory.get(), fresh.c_str(), directory.get(), leaf.c_str(),
                              RENAME_NOREPLACE);
  if (placed != 0 && errno == EINVAL) {  // a file system without RENAME_NOREPLACE
    placed = os().linkat(directory.get(), fresh.c_str(), directory.get(), leaf.c_str(), 0);
    if (placed == 0) (void)os().unlinkat(directory.get(), fresh.c_str(), 0);
  }
  if (placed != 0) {
    why = errno == EEXIST ? "another file took its name while it rotated, and is not written"
                          : error_text(errno);
    (void)os().unlinkat(directory.get(), fresh.c_str(), 0);
    return false;
  }
  auto file = new OpenFile;
  file->fd = fd.release();
  file->device = status.st_dev;
  file->inode = status.st_ino;
  switch_to_locked(file);
  compress_archives_locked();
  return true;
}

void FileSink::compress_archives_locked() const {
  if (!options_.compress || options_.count <= 0) return;
  ArchiveSet set;
  set.owner = options_.owner;
  set.path = options_.path;
  set.key = options_.key;
  set.count = options_.count;
  set.delay = options_.delay_compress;
  compress_archives(set);
}

bool FileSink::shift_locked(int directory, const std::string& leaf, std::string& why) {
  const auto failed = [&](const std::string& what) {
    why = what + ": " + error_text(errno);
    return false;
  };
  if (options_.count <= 0) {
    return os().unlinkat(directory, leaf.c_str(), 0) == 0 || failed("cannot remove it");
  }
  // A place of the set holds name.N, or its compressed name.N.gz, or both
  // while it is compressed (name.N.gz.tmp beside name.N): every member
  // present moves with it.
  constexpr int kMembers = sizeof kArchiveSuffixes / sizeof kArchiveSuffixes[0];
  const auto name = [&leaf](int index, int suffix) {
    return leaf + "." + std::to_string(index) + kArchiveSuffixes[suffix];
  };
  struct stat status;
  const auto present = [&](int index, int suffix) {
    return os().fstatat(directory, name(index, suffix).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  };
  const auto occupied = [&](int index) {
    for (int suffix = 0; suffix < kMembers; ++suffix) {
      if (present(index, suffix)) return true;
    }
    return false;
  };
  // Only the rotated files that exist move, so a rotation costs what is
  // there, whatever the count.
  int existing = 0;
  while (existing < options_.count && occupied(existing + 1)) ++existing;
  if (existing == options_.count) {
    // The oldest goes.
    for (int suffix = 0; suffix < kMembers; ++suffix) {
      if (present(existing, suffix) &&
          os().unlinkat(directory, name(existing, suffix).c_str(), 0) != 0) {
        return failed("cannot remove " + name(existing, suffix));
      }
    }
    --existing;
  }
  struct Move {
    std::string from, to;
  };
  std::vector<Move> done;
  const auto move = [&](const std::string& from, const std::string& to) {
    if (os().renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0 ||
        (errno == EINVAL && os().renameat(directory, from.c_str(), directory, to.c_str()) == 0)) {
      done.push_back({from, to});
      return true;
    }
    const int error = errno;
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
      (void)os().renameat(directory, it->to.c_str(), directory, it->from.c_str());
    }
    errno = error;
    return false;
  };
  for (int index = existing; index >= 1; --index) {
    for (int suffix = 0; suffix < kMembers; ++suffix) {
      if (present(index, suffix) && !move(name(index, suffix), name(index + 1, suffix))) {
        return failed("cannot rename " + name(index, suffix) + " to " + name(index + 1, suffix));
      }
    }
  }
  if (!move(leaf, name(1, 0))) return failed("cannot rename it to " + name(1, 0));
  return true;
}

void FileSink::remove_expired_locked(int directory, const std::string& leaf) {
  if (options_.max_age_days <= 0) return;
  const std::int64_t oldest =
      realtime_us() / 1000000 - static_cast<std::int64_t>(options_.max_age_days) * kSecondsPerDay;
  // The set is in order of age: once one file is past maxAge, so is every
  // later one, whatever its own time says (a touched file, a gap).
  bool expired = false;
  struct stat status;
  for (int index = 1; index <= options_.count; ++index) {
    for (const char* suffix : kArchiveSuffixes) {
      const std::string name = leaf + "." + std::to_string(index) + suffix;
      if (os().fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!expired && status.st_mtim.tv_sec >= oldest) continue;
      // A compressed file keeps the time of its original.
      expired = true;
      (void)os().unlinkat(directory, name.c_str(), 0);
    }
  }
}

}  // namespace gw

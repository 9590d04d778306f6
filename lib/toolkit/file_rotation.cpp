// A file handler's rotation by size: when a record would take the file past
// its limit, the file is renamed away and a new one takes its place, with
// every writer of every process held off meanwhile (file_sink.h).
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "toolkit/diagnostics.h"
#include "toolkit/file_sink.h"
#include "toolkit/file_trust.h"
#include "toolkit/os.h"
#include "toolkit/process_lock.h"
#include "toolkit/shared_file_state.h"

namespace gw {

namespace {

std::size_t text_length(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

}  // namespace

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
  return true;
}

bool FileSink::shift_locked(int directory, const std::string& leaf, std::string& why) {
  const auto name = [&leaf](int index) { return leaf + "." + std::to_string(index); };
  const auto failed = [&](const std::string& what) {
    why = what + ": " + error_text(errno);
    return false;
  };
  if (options_.count <= 0) {
    return os().unlinkat(directory, leaf.c_str(), 0) == 0 || failed("cannot remove it");
  }
  // Only the rotated files that exist move, so a rotation costs what is
  // there, whatever the count.
  int existing = 0;
  struct stat status;
  while (existing < options_.count &&
         os().fstatat(directory, name(existing + 1).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    ++existing;
  }
  if (existing == options_.count) {
    // The oldest goes.
    if (os().unlinkat(directory, name(existing).c_str(), 0) != 0) {
      return failed("cannot remove " + name(existing));
    }
    --existing;
  }
  const auto undo = [&](int from) {
    const int error = errno;
    for (int index = from; index <= existing; ++index) {
      (void)os().renameat(directory, name(index + 1).c_str(), directory, name(index).c_str());
    }
    errno = error;
  };
  for (int index = existing; index >= 1; --index) {
    if (os().renameat2(directory, name(index).c_str(), directory, name(index + 1).c_str(),
                       RENAME_NOREPLACE) != 0 &&
        (errno != EINVAL ||
         os().renameat(directory, name(index).c_str(), directory, name(index + 1).c_str()) != 0)) {
      const std::string what = "cannot rename " + name(index) + " to " + name(index + 1);
      undo(index + 1);
      return failed(what);
    }
  }
  if (os().renameat2(directory, leaf.c_str(), directory, name(1).c_str(), RENAME_NOREPLACE) != 0 &&
      (errno != EINVAL ||
       os().renameat(directory, leaf.c_str(), directory, name(1).c_str()) != 0)) {
    const std::string what = "cannot rename it to " + name(1);
    undo(1);
    return failed(what);
  }
  return true;
}

}  // namespace gw

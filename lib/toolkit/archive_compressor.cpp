#include "toolkit/archive_compressor.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "toolkit/diagnostics.h"
#include "toolkit/file_trust.h"
#include "toolkit/fork_handlers.h"
#include "toolkit/os.h"
#include "toolkit/process_lock.h"
#include "toolkit/shared_file_state.h"
#include "toolkit/sink.h"

namespace gw {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

// The process's compression work.  Leaked on purpose: the thread may still
// run while the process exits.
struct Compressor {
  std::mutex queue_mutex;
  std::deque<ArchiveSet> queue;   // guarded by queue_mutex
  bool running = false;           // a thread works the queue; guarded by queue_mutex
  std::set<std::string> failing;  // paths whose failure was reported; guarded by queue_mutex
  // Held with the processes' lock and while the descriptors of the work
  // under way change, so that at fork() neither is in the middle.
  std::mutex io_mutex;
  int directory_fd = -1;  // of the compression under way; guarded by io_mutex
  int source_fd = -1;
  int temporary_fd = -1;
};

Compressor& compressor() {
  static Compressor* const instance = new Compressor;
  return *instance;
}

void close_if_open(int& fd) {
  if (fd >= 0) os().close(fd);
  fd = -1;
}

void before_fork() {
  Compressor& work = compressor();
  work.queue_mutex.lock();
  work.io_mutex.lock();
}

void after_fork_in_parent() {
  Compressor& work = compressor();
  work.io_mutex.unlock();
  work.queue_mutex.unlock();
}

void after_fork_in_child() {
  Compressor& work = compressor();
  // The thread stayed in the parent, with its work.  The copies of its
  // descriptors go: the one of the temporary file would keep the parent's
  // lock on it alive after the parent died, and the file would look worked
  // on for ever.
  close_if_open(work.directory_fd);
  close_if_open(work.source_fd);
  close_if_open(work.temporary_fd);
  work.queue.clear();
  work.running = false;
  work.io_mutex.unlock();
  work.queue_mutex.unlock();
}

// The processes' lock of the set's file, opened as the file handler opens
// it, and given up as a file handler gives it up (the last user of a key
// removes it).
class SetLock {
 public:
  explicit SetLock(const ArchiveSet& set) : key_(set.key) {
    std::string problem;
    lock_ = ProcessLock::open(set.key, set.path, problem);
  }
  ~SetLock() {
    if (lock_ == nullptr || !lock_->lock()) return;
    if (lock_->detach_locked()) {
      if (key_ != static_cast<key_t>(-1) && std::strcmp(lock_->kind(), "sem") == 0) {
        SharedSegment::unlink_all(key_);
      }
      lock_->finish();
    } else {
      lock_->unlock();
    }
  }
  SetLock(const SetLock&) = delete;
  SetLock& operator=(const SetLock&) = delete;
  bool lock() { return lock_ != nullptr && lock_->lock(); }
  void unlock() { lock_->unlock(); }

 private:
  key_t key_;
  std::unique_ptr<ProcessLock> lock_;
};

std::string member(const std::string& leaf, int index, int suffix) {
  return leaf + "." + std::to_string(index) + kArchiveSuffixes[suffix];
}

bool regular_at(int directory, const std::string& name, struct stat& status) {
  return os().fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(status.st_mode);
}

// Takes an OFD lock on fd: held by whoever compresses into the file, and
// dropped by the kernel when that process dies.
bool lock_file(int fd) {
  struct flock range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  return os().fcntl_lock(fd, F_OFD_SETLK, &range) == 0;
}

// A temporary file nobody compresses into any more: left by a process
// that died (or gave up) before it renamed it.
bool abandoned(int directory, const std::string& name) {
  Descriptor fd(os().openat(directory, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat status;
  return fd.get() >= 0 && os().fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) &&
         trusted_owner(status.st_uid) && lock_file(fd.get());
}

// One file's compression, from its choice to its rename.
struct Claim {
  std::string leaf;
  int index = 0;
  int directory = -1;
  int source = -1;
  int temporary = -1;
  struct stat source_status {};
  struct stat temporary_status {};
};

// With the processes' lock held: finishes what a killed process left
// (a name.N beside its complete name.N.gz, an abandoned name.N.gz.tmp) and
// claims the first rotated file to compress.
bool claim_next(const ArchiveSet& set, Claim& claim) {
  std::string why;
  Descriptor directory(open_directory_of(set.path, false, claim.leaf, why));
  if (directory.get() < 0) return false;
  const std::string& leaf = claim.leaf;
  const int first = set.delay ? 2 : 1;
  for (int index = 1; index <= set.count; ++index) {
    const std::string plain = member(leaf, index, 0);
    const std::string packed = member(leaf, index, 1);
    const std::string temporary = member(leaf, index, 2);
    struct stat plain_status, packed_status, temporary_status;
    const bool has_plain = regular_at(directory.get(), plain, plain_status);
    const bool has_packed = regular_at(directory.get(), packed, packed_status);
    // The set ends at its first empty place, as a rotation counts it.
    if (!has_plain && !has_packed &&
        os().fstatat(directory.get(), temporary.c_str(), &temporary_status, AT_SYMLINK_NOFOLLOW) !=
            0) {
      break;
    }
    if (!has_plain || !trusted_owner(plain_status.st_uid)) continue;
    // name.N.gz is only ever made by a rename of a complete, fsynced file.
    if (has_packed && trusted_owner(packed_status.st_uid)) {
      (void)os().unlinkat(directory.get(), plain.c_str(), 0);
      continue;
    }
    if (os().fstatat(directory.get(), temporary.c_str(), &temporary_status, AT_SYMLINK_NOFOLLOW) ==
        0) {
      if (!abandoned(directory.get(), temporary)) continue;  // another process is at it
      (void)os().unlinkat(directory.get(), temporary.c_str(), 0);
    }
    if (index < first) continue;
    Descriptor source(os().openat(directory.get(), plain.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (source.get() < 0 || os().fstat(source.get(), &claim.source_status) != 0 ||
        claim.source_status.st_ino != plain_status.st_ino) {
      continue;
    }
    const mode_t permissions = plain_status.st_mode & 0666;
    Descriptor target(os().openat(directory.get(), temporary.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  permissions));
    if (target.get() < 0) continue;
    (void)os().fchmod(target.get(), permissions);
    if (!lock_file(target.get()) || os().fstat(target.get(), &claim.temporary_status) != 0) {
      (void)os().unlinkat(directory.get(), temporary.c_str(), 0);
      continue;
    }
    claim.index = index;
    claim.directory = directory.release();
    claim.source = source.release();
    claim.temporary = target.release();
    return true;
  }
  return false;
}

// Compresses source into target in the gzip format, with the source's time
// in the header and on the file, and fsyncs it: 0, or the errno of the
// failure.
int deflate_file(int source, int target, const struct stat& source_status) {
  z_stream stream = {};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return ENOMEM;
  }
  gz_header header = {};
  header.time = static_cast<uLong>(source_status.st_mtim.tv_sec);
  header.os = 3;  // Unix
  (void)deflateSetHeader(&stream, &header);
  std::vector<unsigned char> in(kChunk), out(kChunk);
  int error = 0;
  for (int flush = Z_NO_FLUSH; error == 0 && flush != Z_FINISH;) {
    const ssize_t got = os().read(source, in.data(), in.size());
    if (got < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = in.data();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      (void)deflate(&stream, flush);
      const std::size_t have = out.size() - stream.avail_out;
      errno = 0;
      if (have > 0 && !write_all(target, reinterpret_cast<const char*>(out.data()), have)) {
        error = errno != 0 ? errno : EIO;
        break;
      }
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  if (error != 0) return error;
  // The archive keeps the time of its last record, which maxAge goes by.
  const struct timespec times[2] = {source_status.st_atim, source_status.st_mtim};
  (void)os().futimens(target, times);
  return os().fsync(target) == 0 ? 0 : errno;
}

// With the processes' lock held: puts the compressed file in place of the
// source, wherever rotations since have moved the two, or removes it when
// the compression failed or the source is gone.  0, or the errno of the
// rename that failed.
int finish(const ArchiveSet& set, const Claim& claim, int error) {
  const std::string& leaf = claim.leaf;
  int found = 0;
  struct stat status;
  for (int index = 1; index <= set.count && found == 0; ++index) {
    if (regular_at(claim.directory, member(leaf, index, 0), status) &&
        status.st_ino == claim.source_status.st_ino &&
        status.st_dev == claim.source_status.st_dev &&
        regular_at(claim.directory, member(leaf, index, 2), status) &&
        status.st_ino == claim.temporary_status.st_ino) {
      found = index;
    }
  }
  if (found != 0 && error == 0) {
    const std::string temporary = member(leaf, found, 2);
    const std::string packed = member(leaf, found, 1);
    int renamed = os().renameat2(claim.directory, temporary.c_str(), claim.directory,
                                 packed.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL) {
      renamed = os().renameat(claim.directory, temporary.c_str(), claim.directory, packed.c_str());
    }
    if (renamed == 0) {
      // The rename reaches the disk before the original goes.
      Descriptor directory(os().openat(claim.directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (directory.get() >= 0) (void)os().fsync(directory.get());
      (void)os().unlinkat(claim.directory, member(leaf, found, 0).c_str(), 0);
      return 0;
    }
    error = errno;
  }
  for (int index = 1; index <= set.count; ++index) {
    const std::string temporary = member(leaf, index, 2);
    if (regular_at(claim.directory, temporary, status) &&
        status.st_ino == claim.temporary_status.st_ino) {
      (void)os().unlinkat(claim.directory, temporary.c_str(), 0);
    }
  }
  return error;
}

void note_outcome(const ArchiveSet& set, const Claim& claim, int error) {
  Compressor& work = compressor();
  std::lock_guard<std::mutex> hold(work.queue_mutex);
  if (error == 0) {
    work.failing.erase(set.path);
  } else if (work.failing.insert(set.path).second) {
    report(set.owner + ": cannot compress " + set.path + "." + std::to_string(claim.index) + ": " +
           error_text(error) + ": it is kept uncompressed, and compressed after a later rotation");
  }
}

// Compresses the set's files one after the other, until none is left or
// the lock cannot be had (the next rotation or open tries again).
void run_pass(const ArchiveSet& set) {
  Compressor& work = compressor();
  SetLock lock(set);
  for (;;) {
    Claim claim;
    {
      std::lock_guard<std::mutex> hold(work.io_mutex);
      if (!lock.lock()) return;
      const bool claimed = claim_next(set, claim);
      lock.unlock();
      if (!claimed) return;
      work.directory_fd = claim.directory;
      work.source_fd = claim.source;
      work.temporary_fd = claim.temporary;
    }
    int error = deflate_file(claim.source, claim.temporary, claim.source_status);
    {
      std::lock_guard<std::mutex> hold(work.io_mutex);
      // Without the lock the temporary file is left, and its lock goes
      // with its descriptor: the next pass removes it and starts again.
      if (lock.lock()) {
        error = finish(set, claim, error);
        lock.unlock();
      }
      close_if_open(work.directory_fd);
      close_if_open(work.source_fd);
      close_if_open(work.temporary_fd);
    }
    note_outcome(set, claim, error);
    if (error != 0) return;  // a full disk fails the next ones too
  }
}

// The nice value the thread takes, unless the process's is higher: the
// records of the process's own threads come before the archives.
constexpr int kCompressionNice = 10;

void work_the_queue() {
  Compressor& work = compressor();
  errno = 0;
  const int nice = os().getpriority(PRIO_PROCESS, 0);
  if (errno == 0 && nice < kCompressionNice) {
    (void)os().setpriority(PRIO_PROCESS, 0, kCompressionNice);
  }
  for (;;) {
    ArchiveSet set;
    {
      std::lock_guard<std::mutex> hold(work.queue_mutex);
      if (work.queue.empty()) {
        work.running = false;
        return;
      }
      set = std::move(work.queue.front());
      work.queue.pop_front();
    }
    run_pass(set);
  }
}

}  // namespace

void prepare_archive_compression() {
  static const bool installed = [] {
    run_around_fork(before_fork, after_fork_in_parent, after_fork_in_child);
    return true;
  }();
  (void)installed;
}

void compress_archives(const ArchiveSet& set) {
  Compressor& work = compressor();
  std::lock_guard<std::mutex> hold(work.queue_mutex);
  for (const ArchiveSet& queued : work.queue) {
    if (queued.path == set.path) return;
  }
  work.queue.push_back(set);
  if (work.running) return;
  // The thread takes no signal of the program's: they go to its own threads.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    std::thread(work_the_queue).detach();
    work.running = true;
  } catch (const std::system_error&) {
    // No thread to be had: the files stay uncompressed until a later
    // rotation or open asks again.
    work.queue.clear();
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace gw

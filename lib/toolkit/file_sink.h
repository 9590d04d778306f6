// A file handler's output: a log file.  A FileSink opens its file at the
// first record, creating missing directories, and hands each record to the
// kernel with one write(2) on an O_APPEND descriptor: no user-space buffer
// and no lock across the write, so records of concurrent writers (threads
// and processes) never interleave.  The processes that write one file agree
// through a ProcessLock (process_lock.h) and a SharedSegment
// (shared_file_state.h) on its header, its rotation at "limit" bytes
// (file_rotation.cpp) and on following it when it is renamed or removed
// from outside.  It trusts only files, links and directories of
// the process's own user or root, and no record waits on another process
// for more than about 100 ms.  write is safe from any thread; the sink is
// destroyed only once no thread can still be writing through it.
#ifndef EKLOGGER_TOOLKIT_FILE_SINK_H_
#define EKLOGGER_TOOLKIT_FILE_SINK_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "toolkit/epoch.h"
#include "toolkit/sink.h"

namespace gw {

class ProcessLock;
class SharedSegment;
class Stager;
struct SharedFileState;

constexpr mode_t kDefaultFilePermissions = 0640;
// A log file is never executable, whatever the configuration says.
constexpr mode_t kLogFileModeMask = 0666;
// How often a handler looks at its path, and retries what failed.
constexpr std::int64_t kRetryIntervalMs = 1000;

// RLIMIT_FSIZE, or 0 when there is none.
std::int64_t file_size_limit();

// When a file handler rotates by time: at the first record after each
// local midnight, or after each local hour.
enum class RotateEvery { kNever, kDay, kHour };

struct FileSinkOptions {
  std::string owner;  // the handler's name, for reports
  std::string path;   // empty: no "fileName", every record is dropped
  mode_t permissions = kDefaultFilePermissions;
  std::int64_t limit = 0;                    // rotate before the file passes this size; 0 never
  int count = 0;                             // rotated files kept beside the live one
  key_t key = -1;                            // the IPC key of the processes' lock; -1 none
  RotateEvery rotate = RotateEvery::kNever;  // besides the limit
  int max_age_days = 0;                      // rotated files older are removed; 0 never
  bool compress = false;        // rotated files become name.N.gz (archive_compressor.h)
  bool delay_compress = false;  // but name.1
  // Bytes of the staging area records are copied into, to be written in
  // batches by the process's flusher (stager.h); 0 writes each record.
  std::size_t staging = 0;
  int flush_delay_ms = 5;  // the longest a staged record waits
};

// A run of records for FileSink::write_batch, told of each write it takes.
class RecordBatch {
 public:
  virtual ~RecordBatch() = default;
  virtual std::size_t count() const = 0;
  // One past the last byte of record index in the batch's text.
  virtual std::size_t end(std::size_t index) const = 0;
  // The records [first, last) are about to be written, with one write, to
  // fd (the file device:inode).
  virtual void before_write(std::size_t first, std::size_t last, int fd, dev_t device,
                            ino_t inode) = 0;
  // They were written, or dropped.
  virtual void after_write(std::size_t last) = 0;
};

class FileSink final : public Sink {
 public:
  explicit FileSink(FileSinkOptions options);
  ~FileSink() override;

  bool write(std::string_view record, const char* header) override {
    return write_framed(record, header, nullptr);
  }
  bool write_framed(std::string_view record, const char* header, const char* trailer) override;
  // Writes the records of text in order, with as few writes as the limit
  // allows (a run is cut only at a record's end); the number dropped.
  std::size_t write_batch(std::string_view text, RecordBatch& batch, const char* header,
                          const char* trailer);
  // The file ends in a record cut short (its writer was killed during the
  // write): the next record starts on a line of its own.
  void follow_cut_record() { cut_record_.store(true); }
  std::uint64_t dropped_after_return() const override { return dropped_after_return_.load(); }
  void count_dropped_after_return(std::size_t records) { dropped_after_return_ += records; }
  const FileSinkOptions& options() const { return options_; }
  const std::string& path() const { return options_.path; }
  // True while the file cannot be opened: records are dropped, and opening
  // is tried again at most once a second.
  bool failed() const { return open_failing_.load(); }

 private:
  struct OpenFile {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    ~OpenFile();
  };
  enum class Room { kRetry, kWriteAnyway, kDrop };
  class AnnouncedWrite;

  // The steps of a record, in order.
  void remember_frame(const char* header, const char* trailer);
  // Reserves the record's bytes below the bound; false when they do not fit.
  bool claim_room(SharedFileState& shared, std::size_t size);
  // Writes the record whole, after a newline when the last one was cut
  // short; 0, or the errno of the failure.
  int append_whole(SharedFileState& shared, const OpenFile* file, std::string_view record);

  bool ensure_open(std::int64_t now_ms);
  // A writer that saw a new shared generation: follows it (see
  // follow_or_go_on_locked) unless another thread of this process did.
  void follow_generation(const SharedFileState& shared, std::int64_t now_ms);
  // With mutex_ held and the process lock busy: takes the file at the path
  // when it is the one the shared state names.
  template <typename Fail>
  bool join_unlocked_locked(std::int64_t now_ms, Fail fail);
  void check_path(std::int64_t now_ms);
  // With rotation by time, from check_path: true when a local day or hour
  // has begun since the one of the file; else moves the next check up to
  // the next boundary.
  bool period_ended(std::int64_t now_ms);
  // The start of the day or hour that holds the wall-clock second, and the
  // start of the next one.
  std::int64_t period_start(std::int64_t seconds) const;
  std::int64_t period_after(std::int64_t start) const;
  // The rest need mutex_ held.
  // Takes the process lock unless it failed less than a second ago; a
  // failure is reported once an episode.
  bool take_lock_locked(std::int64_t now_ms);
  // What a writer does that finds a new generation: follows it under the
  // process lock, or without the lock goes on with the file it holds.
  void follow_or_go_on_locked(std::int64_t now_ms);
  // With the process lock held from here on.
  // Brings file_ in line with the path; false when the file at the path
  // cannot be opened (file_ then stays as it was).
  bool follow_locked(std::int64_t now_ms);
  // Opens the file at the path, or with create set makes it (and its
  // directories) when missing; null with why set when it cannot be, or
  // must not be, used.
  OpenFile* open_file_locked(std::string& why, bool create = true);
  // Makes file the one written: when the shared state still names another
  // file, holds every writer off and lets the writes under way land first.
  void switch_to_locked(OpenFile* file);
  // Replaces file_, retiring the old one.
  void install_locked(OpenFile* file);
  // Lets writers through again, on file_, with the bound of this moment.
  void publish_locked();
  Room make_room_locked(std::size_t size, std::int64_t now_ms);
  Room make_room_with_lock_locked(std::size_t size, std::int64_t now_ms);
  // Waits (bounded) for the writes of a generation to end.
  void drain_locked(std::uint64_t old_generation);
  // With the writers held off: the renames and the new file.  False, with
  // why set, when nothing of the set changed.
  bool rotate_locked(std::string& why);
  // Rotates the file when the shared state still gives it a period before
  // the current one (another process has not rotated it yet).
  void rotate_for_period_locked(std::int64_t now_ms);
  // The period a file that becomes the shared one belongs to: the current
  // one, or for a file that holds records, that of its last change when
  // earlier (a process started after the boundary rotates yesterday's file).
  std::int64_t period_of_file_locked(int fd) const;
  // With maxAge: removes the rotated files past it, and every older one.
  void remove_expired_locked(int directory, const std::string& leaf);
  // With compress: has the rotated files compressed in the background.
  void compress_archives_locked() const;
  // Renames name.N ... name.1 and the file one up, each with its
  // compressed forms (kArchiveSuffixes); false, with why set and every
  // rename undone, at the first that fails.
  bool shift_locked(int directory, const std::string& leaf, std::string& why);
  // Room::kWriteAnyway when the record fits RLIMIT_FSIZE, else kDrop.
  Room past_limit_locked(std::size_t size) const;
  void note_failure(int error, const char* what);

  const FileSinkOptions options_;
  // Made before mutex_ is held across fork(): its lock comes first.
  std::unique_ptr<Stager> stager_;
  std::atomic<std::uint64_t> dropped_after_return_{0};
  std::atomic<bool> orphans_drained_{false};  // the staging areas left by the dead
  std::atomic<bool> cut_record_{false};       // see follow_cut_record
  // options_.limit, or 0 when only a lock of this process could be had.
  // Guarded by mutex_.
  std::int64_t rotation_limit_;
  mutable std::mutex mutex_;                       // serialises opening, following and rotating
  std::unique_ptr<ProcessLock> lock_;              // guarded by mutex_
  std::unique_ptr<SharedSegment> segment_;         // guarded by mutex_
  std::atomic<SharedFileState*> shared_{nullptr};  // set once under mutex_
  std::atomic<OpenFile*> file_{nullptr};           // replaced under mutex_, old ones retired
  RetiredList retired_;                            // files replaced; guarded by mutex_
  std::atomic<bool> has_retired_{false};           // retired_ is not empty
  std::atomic<std::uint64_t> generation_{0};       // the shared generation file_ is of
  std::atomic<std::int64_t> bound_{0};             // min(limit, RLIMIT_FSIZE); 0 none
  std::atomic<std::int64_t> reserve_{0};           // the trailer's length
  std::atomic<const char*> trailer_{nullptr};
  std::atomic<const char*> header_{nullptr};
  std::atomic<std::int64_t> next_check_ms_{0};  // of the path, or of a failed open
  // With rotation by time: the next boundary, in wall-clock seconds and as
  // a deadline of the coarse monotonic clock the record path compares
  // (next_check_ms_ is never later).  Recomputed at each check, so that a
  // change of the wall clock is seen within a second.
  std::atomic<std::int64_t> period_s_{0};  // the start of the current day or hour
  std::atomic<std::int64_t> boundary_s_{0};
  std::atomic<std::int64_t> boundary_ms_{INT64_MAX};
  std::atomic<bool> open_failing_{false};
  std::atomic<bool> failing_{false};  // a failure episode is under way (reported)
  // Episodes of the lock, of reopening and of rotation failing: each is
  // reported once (the lock's only when it lasts), and tried again a second
  // later at the earliest.
  // Guarded by mutex_.
  std::int64_t lock_retry_ms_ = 0;
  std::int64_t lock_failing_since_ms_ = 0;  // 0: the last attempt had it
  std::int64_t reopen_retry_ms_ = 0;
  std::int64_t rotate_retry_ms_ = 0;
  bool lock_reported_ = false;
  bool reopen_failing_ = false;
  bool rotate_failing_ = false;
  bool directory_reported_ = false;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_FILE_SINK_H_

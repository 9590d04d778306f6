// A staging area: the memory a staged file handler copies its records into
// instead of writing each one, a POSIX shared-memory file (0600, under
// /dev/shm) that outlives its process, so that a record whose call returned
// is kept by the kernel when the process is killed.  The process that made
// it owns it and holds an open-file-description lock on it for its whole
// life; an area whose lock can be had is an orphan, drained by whoever takes
// the lock (stager.h).  Any number of threads of the owner stage records at
// once (stage is lock-free); one reader at a time collects them (the caller
// serialises collect and the marks).
#ifndef EKLOGGER_TOOLKIT_STAGING_AREA_H_
#define EKLOGGER_TOOLKIT_STAGING_AREA_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

// What a drainer needs to write an orphan's records as its owner would have.
struct StagingIdentity {
  std::string path;  // the log file
  key_t key = -1;
  std::int64_t limit = 0;
  int count = 0;
  mode_t permissions = 0;
};

// The area's header, at the start of the file.  Records follow it in a ring
// of capacity bytes, each a frame: length, checksum, the frame's position
// (absolute, stored last: the frame is whole once it equals where the frame
// stands) and the text, padded to 8 bytes.
struct StagingHeader {
  static constexpr std::uint64_t kMagic = 0x6777737467303031ULL;  // "gwstg001"
  std::atomic<std::uint64_t> magic;
  std::uint64_t capacity;
  std::int64_t limit;
  std::int32_t key;
  std::int32_t count;
  std::uint32_t permissions;
  std::int32_t owner;  // the pid that made it: for people, never trusted
  alignas(64) std::atomic<std::uint64_t> head;     // bytes reserved by writers
  alignas(64) std::atomic<std::uint64_t> flushed;  // bytes before it are in the log file
  // A write of [from, to) under way, into the file (device, inode), which
  // was size bytes long before it: a reader that finds it set after its
  // writer's death looks in the file for those bytes before writing them.
  alignas(64) std::atomic<std::uint64_t> intent;  // 0, or 1 while it stands
  std::uint64_t intent_from;
  std::uint64_t intent_to;
  std::uint64_t intent_device;
  std::uint64_t intent_inode;
  std::int64_t intent_size;
  char path[4096];
  char header_text[2048];   // the formatter's, or empty when longer
  char trailer_text[2048];  // likewise
};

// A record collected: where its text ends in the batch, and where in the
// ring the next record starts.
struct StagedEnd {
  std::size_t text_end;
  std::uint64_t ring_end;
};

class StagingArea {
 public:
  static constexpr std::size_t kMinCapacity = 64 * 1024;
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 30;
  static constexpr std::size_t kFrameHead = 16;

  // Makes this process's area for identity, of at least capacity bytes (a
  // power of two within the bounds above); null with why set.
  static std::unique_ptr<StagingArea> create(const StagingIdentity& identity,
                                             std::size_t capacity, std::string& why);
  // Takes the area of that shared-memory name when its owner is gone and it
  // is this user's: null when it is alive, being drained, or not an area
  // (why says which; empty when it is alive).  A name left without a valid
  // area (its maker died making it) is removed.
  static std::unique_ptr<StagingArea> adopt(const std::string& name, std::string& why);
  // The names of the areas of (key, path); every area for an empty path.
  static std::vector<std::string> list(key_t key, const std::string& path);
  // The shared-memory name prefix of (key, path)'s areas.
  static std::string prefix_for(key_t key, const std::string& path);

  ~StagingArea();
  StagingArea(const StagingArea&) = delete;
  StagingArea& operator=(const StagingArea&) = delete;

  enum class Staged { kDone, kDoneWake, kFull, kTooLarge };
  // Copies record into the ring: kDoneWake when the area just passed half
  // full (a reader should come), kFull when it has no room, kTooLarge for a
  // record of more than a quarter of the ring.
  Staged stage(std::string_view record);
  bool empty() const {
    // Sequentially consistent: the flusher's "asleep" against a writer's
    // reservation.
    return header_->head.load() == header_->flushed.load();
  }

  // Copies the texts of whole records from `from` on into out, at most
  // about max bytes, and their ends into ends; stops at a record not yet
  // whole, or, for an orphan, skips what is damaged or was never finished
  // (counted in damaged).  Returns the ring position reached.
  std::uint64_t collect(std::uint64_t from, std::size_t max, std::string& out,
                        std::vector<StagedEnd>& ends, std::uint64_t& damaged) const;
  std::uint64_t flushed() const { return header_->flushed.load(std::memory_order_acquire); }
  std::uint64_t head() const;
  void note_intent(std::uint64_t from, std::uint64_t to, dev_t device, ino_t inode,
                   std::int64_t size);
  // [.., to) is in the log file (or given up): its room is free again.
  void mark_flushed(std::uint64_t to);
  const StagingHeader& header() const { return *header_; }
  // Keeps the formatter's frame texts for a drainer without a configuration.
  void remember_frame(const char* header, const char* trailer);
  const std::string& name() const { return name_; }
  bool orphan() const { return orphan_; }
  // Removes the name (the memory goes with the last mapping).
  void remove();
  // Lets the area go without removing it (a forked child's copy of its
  // parent's): the lock stays with the parent.
  void abandon();

 private:
  StagingArea() = default;
  bool map(int fd, std::size_t capacity);

  std::string name_;
  int fd_ = -1;
  StagingHeader* header_ = nullptr;
  char* ring_ = nullptr;  // mapped twice in a row: a frame never wraps
  std::size_t capacity_ = 0;
  std::uint64_t mask_ = 0;
  bool orphan_ = false;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_STAGING_AREA_H_

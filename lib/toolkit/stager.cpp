#include "toolkit/stager.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "toolkit/clock.h"
#include "toolkit/diagnostics.h"
#include "toolkit/file_sink.h"
#include "toolkit/file_trust.h"
#include "toolkit/fork_handlers.h"
#include "toolkit/os.h"

namespace gw {

namespace {

constexpr std::size_t kBatchBytes = 512 * 1024;  // of text, per write at most
constexpr std::int64_t kOrphanScanMs = 1000;     // how often the flusher looks for the dead
constexpr std::int64_t kFullWaitMs = 1000;       // for another thread's copy, when full
constexpr std::int64_t kSearchBytes = 16 << 20;  // past a dead writer's noted size

std::atomic<unsigned> g_fork_generation{1};  // bumped in each forked child
std::atomic<bool> g_exiting{false};          // exit(3) has begun: records are written at once

// Under ThreadSanitizer the child of a threaded process writes each record
// itself, without a flusher (fork_handlers.h).
bool g_forked_from_threads = false;  // only under ThreadSanitizer

bool process_has_threads() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return true;
  int count = 0;
  while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count > 1;
}

// The process's flusher: one thread for every staged handler.
struct Flusher {
  std::mutex mutex;  // guards stagers and running; held for each pass and across fork
  std::vector<Stager*> stagers;
  bool running = false;
  std::mutex wake_mutex;
  std::condition_variable wake;
  bool kicked = false;            // guarded by wake_mutex
  std::atomic<bool> idle{false};  // asleep until a record comes
};

void flusher_after_fork_in_child();

// Leaked on purpose: the thread may run while the process exits.
Flusher& flusher() {
  static Flusher* made = [] {
    auto* flusher = new Flusher;
    hold_across_fork(flusher->mutex);
    pthread_atfork(nullptr, nullptr, flusher_after_fork_in_child);
    return flusher;
  }();
  return *made;
}

// Registered when the toolkit is loaded, so that a child is told from its
// parent even when the parent never staged.
bool g_forking_with_threads = false;  // between a fork's prepare and its child
const bool g_fork_seen =
    pthread_atfork([] { g_forking_with_threads = kUnderThreadSanitizer && process_has_threads(); },
                   nullptr,
                   [] {
                     g_forked_from_threads = g_forked_from_threads || g_forking_with_threads;
                     g_fork_generation.fetch_add(1);
                   }) == 0;

void flusher_after_fork_in_child() {
  Flusher& f = flusher();
  // The parent's thread is not here, nor are its areas this process's.
  f.stagers.clear();
  f.running = false;
  f.idle.store(false);
  new (&f.wake_mutex) std::mutex;
  new (&f.wake) std::condition_variable;
  f.kicked = false;
}

void kick() {
  Flusher& f = flusher();
  std::lock_guard<std::mutex> hold(f.wake_mutex);
  f.kicked = true;
  f.wake.notify_one();
}

bool all_empty() {
  Flusher& f = flusher();
  std::lock_guard<std::mutex> hold(f.mutex);
  for (Stager* stager : f.stagers) {
    if (stager->has_records()) return false;
  }
  return true;
}

void exit_handler() {
  g_exiting.store(true);
  Flusher& f = flusher();
  std::lock_guard<std::mutex> hold(f.mutex);
  for (Stager* stager : f.stagers) {
    stager->flush();
    stager->remove_area_if_empty();
  }
}

void run_flusher() {
  Flusher& f = flusher();
  bool quiet = false;
  std::int64_t next_scan_ms = 0;
  for (;;) {
    int delay_ms = 1000;
    {
      std::lock_guard<std::mutex> hold(f.mutex);
      for (Stager* stager : f.stagers) delay_ms = std::min(delay_ms, stager->flush_delay_ms());
    }
    if (quiet) {
      // Asleep until the first record, but awake once a second for areas
      // their owners left.
      f.idle.store(true);
      if (all_empty()) {
        std::unique_lock<std::mutex> hold(f.wake_mutex);
        f.wake.wait_for(hold, std::chrono::milliseconds(kOrphanScanMs), [&] { return f.kicked; });
        f.kicked = false;
      }
      f.idle.store(false);
    } else {
      std::unique_lock<std::mutex> hold(f.wake_mutex);
      f.wake.wait_for(hold, std::chrono::milliseconds(delay_ms), [&] { return f.kicked; });
      f.kicked = false;
    }
    std::size_t moved = 0;
    std::lock_guard<std::mutex> hold(f.mutex);
    if (g_exiting.load()) return;
    for (Stager* stager : f.stagers) moved += stager->flush();
    const std::int64_t now = monotonic_ms();
    if (now >= next_scan_ms) {
      next_scan_ms = now + kOrphanScanMs;
      for (Stager* stager : f.stagers) stager->drain_orphans_of_file();
    }
    quiet = moved == 0;
  }
}

// Registers stager with the flusher, starting its thread in this process.
void enlist(Stager* stager) {
  Flusher& f = flusher();
  std::lock_guard<std::mutex> hold(f.mutex);
  if (std::find(f.stagers.begin(), f.stagers.end(), stager) == f.stagers.end()) {
    f.stagers.push_back(stager);
  }
  if (!f.running) {
    static const bool registered = std::atexit(exit_handler) == 0;
    (void)registered;
    std::thread(run_flusher).detach();
    f.running = true;
  }
}

void withdraw(Stager* stager) {
  Flusher& f = flusher();
  std::lock_guard<std::mutex> hold(f.mutex);
  f.stagers.erase(std::remove(f.stagers.begin(), f.stagers.end(), stager), f.stagers.end());
}

// The records of one collected batch, as FileSink::write_batch sees them;
// every write is noted in the area first, and confirmed after.
class CollectedBatch final : public RecordBatch {
 public:
  CollectedBatch(StagingArea& area, const std::vector<StagedEnd>& ends, std::uint64_t from)
      : area_(area), ends_(ends), from_(from) {}
  std::size_t count() const override { return ends_.size(); }
  std::size_t end(std::size_t index) const override { return ends_[index].text_end; }
  void before_write(std::size_t first, std::size_t last, int fd, dev_t device,
                    ino_t inode) override {
    struct stat status;
    const std::int64_t size = os().fstat(fd, &status) == 0 ? status.st_size : 0;
    area_.note_intent(first == 0 ? from_ : ends_[first - 1].ring_end, ends_[last - 1].ring_end,
                      device, inode, size);
  }
  void after_write(std::size_t last) override { area_.mark_flushed(ends_[last - 1].ring_end); }

 private:
  StagingArea& area_;
  const std::vector<StagedEnd>& ends_;
  const std::uint64_t from_;
};

// How much of text a writer that died during its write left in the file
// (device, inode) at path or one of its rotated names: the longest prefix
// of text found at or after offset (one write of O_APPEND lands after every
// byte there was before it, whole or, when its writer was killed during it,
// cut short).  A prefix shorter than kLeastEvidence counts as none: with
// the time at the start of every record, a longer match is the write itself.
std::size_t written_before(const std::string& path, int count, std::uint64_t device,
                           std::uint64_t inode, std::int64_t offset, std::string_view text) {
  constexpr std::size_t kLeastEvidence = 32;
  const std::size_t evidence = std::min(kLeastEvidence, text.size());
  for (int index = 0; index <= count; ++index) {
    const std::string name = index == 0 ? path : path + "." + std::to_string(index);
    Descriptor fd(os().open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status;
    if (fd.get() < 0 || os().fstat(fd.get(), &status) != 0 || status.st_dev != device ||
        status.st_ino != inode) {
      continue;
    }
    // The write began soon after offset: others append only while the
    // writer went from noting it to making it.
    const std::int64_t end = std::min<std::int64_t>(
        status.st_size, offset + kSearchBytes + static_cast<std::int64_t>(text.size()));
    if (end <= offset) return 0;
    std::string region(static_cast<std::size_t>(end - offset), '\0');
    std::size_t got = 0;
    while (got < region.size()) {
      const ssize_t part = os().pread(fd.get(), &region[got], region.size() - got,
                                      static_cast<off_t>(offset) + static_cast<off_t>(got));
      if (part <= 0) break;
      got += static_cast<std::size_t>(part);
    }
    region.resize(got);
    std::size_t longest = 0;
    for (std::size_t at = region.find(text.substr(0, evidence)); at != std::string::npos;
         at = region.find(text.substr(0, evidence), at + 1)) {
      std::size_t same = evidence;
      while (same < text.size() && at + same < region.size() && region[at + same] == text[same])
        ++same;
      longest = std::max(longest, same);
      if (longest == text.size()) break;
    }
    return longest;
  }
  return 0;
}

// A write its dead writer noted and never confirmed: the records of it in
// the file whole are confirmed, the rest are written again.  A record the
// kill cut short stays in the file as a line cut short.
void resolve_intent(StagingArea& area, FileSink& sink, const std::string& path, int count) {
  const StagingHeader& header = area.header();
  const std::uint64_t from = header.intent_from;
  const std::uint64_t to = header.intent_to;
  if (from != area.flushed() || to <= from || to - from > header.capacity) {
    area.mark_flushed(area.flushed());
    return;
  }
  std::string text;
  std::vector<StagedEnd> ends;
  std::uint64_t damaged = 0;
  area.collect(from, to - from, text, ends, damaged);
  const auto last = std::find_if(ends.begin(), ends.end(),
                                 [&](const StagedEnd& end) { return end.ring_end == to; });
  if (last == ends.end()) {
    area.mark_flushed(from);
    return;
  }
  const std::size_t written =
      written_before(path, count, header.intent_device, header.intent_inode, header.intent_size,
                     std::string_view(text).substr(0, last->text_end));
  std::uint64_t confirmed = from;
  std::size_t whole = 0;
  for (auto end = ends.begin(); end != last + 1 && end->text_end <= written; ++end) {
    confirmed = end->ring_end;
    whole = end->text_end;
  }
  if (written > whole) sink.follow_cut_record();
  area.mark_flushed(confirmed);
}

}  // namespace

Stager::Stager(FileSink& sink) : sink_(sink) {
  flusher();  // its lock is held across fork before this one
  hold_across_fork(flush_mutex_);
}

Stager::~Stager() {
  withdraw(this);
  {
    std::lock_guard<std::mutex> hold(flush_mutex_);
    if (area_ != nullptr && made_in_fork_.load() == g_fork_generation.load()) {
      move_records(*area_, sink_, header_.load(), trailer_.load(), scratch_);
      area_->remove();
    } else if (area_ != nullptr) {
      area_->abandon();  // the parent's
    }
  }
  withdraw_from_fork(flush_mutex_);
  for (auto& parent : parents_) parent->abandon();
  // What ended processes of the file left (forked children that called
  // _exit, most often) is not left behind by the last one to close it.
  if (made_in_fork_.load() == g_fork_generation.load()) drain_orphans(sink_);
}

int Stager::flush_delay_ms() const { return sink_.options().flush_delay_ms; }

StagingArea* Stager::area_for_this_process() {
  const unsigned generation = g_fork_generation.load(std::memory_order_acquire);
  if (made_in_fork_.load(std::memory_order_acquire) == generation) {
    return current_.load(std::memory_order_acquire);
  }
  {
    std::lock_guard<std::mutex> hold(flush_mutex_);
    if (made_in_fork_.load() == generation) return current_.load();
    if (area_ != nullptr) {
      area_->abandon();
      parents_.push_back(std::move(area_));
    }
    const FileSinkOptions& options = sink_.options();
    std::string why;
    if (!g_forked_from_threads) {
      area_ = StagingArea::create(
          {options.path, options.key, options.limit, options.count, options.permissions},
          options.staging, why);
      if (area_ == nullptr) {
        report(options.owner + ": " + why + ": its records are written one by one");
      } else {
        area_->remember_frame(header_.load(), trailer_.load());
      }
    }
    current_.store(area_.get(), std::memory_order_release);
    made_in_fork_.store(generation, std::memory_order_release);
  }
  StagingArea* area = current_.load();
  if (area != nullptr) {
    enlist(this);
    // What a process that ended left of this file goes first.
    drain_orphans(sink_);
  }
  return area;
}

bool Stager::stage(std::string_view record, const char* header, const char* trailer) {
  if (g_exiting.load(std::memory_order_relaxed)) return false;
  StagingArea* area = area_for_this_process();
  if (area == nullptr) return false;
  if (header != header_.load(std::memory_order_relaxed) ||
      trailer != trailer_.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> hold(flush_mutex_);
    header_.store(header);
    trailer_.store(trailer);
    area->remember_frame(header, trailer);
  }
  const std::int64_t started = coarse_monotonic_ms();
  for (;;) {
    switch (area->stage(record)) {
      case StagingArea::Staged::kDone:
        if (flusher().idle.load() && flusher().idle.exchange(false)) kick();
        return true;
      case StagingArea::Staged::kDoneWake:
        kick();
        return true;
      case StagingArea::Staged::kTooLarge:
        flush();  // what this thread staged before it comes first
        return false;
      case StagingArea::Staged::kFull:
        // Moved here and now; what stays is another thread's record still
        // being copied, or a file that takes nothing.
        if (flush() == 0) {
          if (coarse_monotonic_ms() - started >= kFullWaitMs) return false;
          std::this_thread::yield();
        }
        break;
    }
  }
}

std::size_t Stager::flush() {
  std::lock_guard<std::mutex> hold(flush_mutex_);
  StagingArea* area = current_.load();
  if (area == nullptr || made_in_fork_.load() != g_fork_generation.load() || area->empty()) {
    return 0;
  }
  return move_records(*area, sink_, header_.load(), trailer_.load(), scratch_);
}

void Stager::remove_area_if_empty() {
  std::lock_guard<std::mutex> hold(flush_mutex_);
  if (area_ != nullptr && made_in_fork_.load() == g_fork_generation.load() && area_->empty()) {
    area_->remove();
  }
}

void Stager::drain_orphans_of_file() { drain_orphans(sink_); }

bool Stager::has_records() const {
  const StagingArea* area = current_.load();
  return area != nullptr && made_in_fork_.load() == g_fork_generation.load() && !area->empty();
}

void Stager::drain_orphans(FileSink& sink) {
  const FileSinkOptions& options = sink.options();
  StagingScratch scratch;
  for (const std::string& name : StagingArea::list(options.key, options.path)) {
    std::string why;
    std::unique_ptr<StagingArea> area = StagingArea::adopt(name, why);
    if (area == nullptr || options.path != area->header().path) continue;
    const std::size_t moved =
        move_records(*area, sink, area->header().header_text, area->header().trailer_text, scratch);
    area->remove();
    report(options.owner + ": wrote " + std::to_string(moved) + " records that process " +
           std::to_string(area->header().owner) + " left staged when it ended");
  }
}

std::size_t Stager::move_records(StagingArea& area, FileSink& sink, const char* header,
                                 const char* trailer, StagingScratch& scratch) {
  if (area.orphan() && area.header().intent.load() != 0) {
    resolve_intent(area, sink, area.header().path, area.header().count);
  }
  std::string& text = scratch.text;
  std::vector<StagedEnd>& ends = scratch.ends;
  std::uint64_t damaged = 0;
  std::size_t moved = 0;
  for (;;) {
    const std::uint64_t from = area.flushed();
    text.clear();
    ends.clear();
    const std::uint64_t reached = area.collect(from, kBatchBytes, text, ends, damaged);
    if (reached == from) break;
    if (!ends.empty()) {
      CollectedBatch batch(area, ends, from);
      const std::size_t dropped = sink.write_batch(text, batch, header, trailer);
      sink.count_dropped_after_return(dropped);
      moved += ends.size() - dropped;
    }
    area.mark_flushed(reached);
  }
  if (damaged != 0) {
    sink.count_dropped_after_return(damaged);
    report(sink.options().owner + ": " + std::to_string(damaged) + " damaged records in " +
           area.name() + " were not written");
  }
  return moved;
}

}  // namespace gw

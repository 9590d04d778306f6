// A staged file handler's records on their way to the file: each record is
// copied into the process's staging area for that file (staging_area.h) and
// the call returns; one flusher thread per process moves the records of all
// its staged handlers into their files in batches, through FileSink's
// write_batch, at most flush_delay_ms after they were staged.  A writer that
// finds the area full moves it itself.  Areas of processes that died are
// drained, in their order, by the next process that opens the same file and
// by the flushers of live ones once a second; exit(3) and the sink's end
// leave nothing staged, a forked child makes its own area.  stage is safe
// from any thread; a Stager is owned by its FileSink and ends with it.
#ifndef EKLOGGER_TOOLKIT_STAGER_H_
#define EKLOGGER_TOOLKIT_STAGER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/staging_area.h"

namespace gw {

class FileSink;

// What moving records reuses from one batch to the next, so that the steady
// state allocates nothing: one reader's at a time.
struct StagingScratch {
  std::string text;
  std::vector<StagedEnd> ends;
};

class Stager {
 public:
  explicit Stager(FileSink& sink);
  ~Stager();
  Stager(const Stager&) = delete;
  Stager& operator=(const Stager&) = delete;

  // Stages record; false when the caller must write it itself (no area can
  // be had, the record is too large for it, the process is exiting): what
  // was staged before it has been written by then.
  bool stage(std::string_view record, const char* header, const char* trailer);
  // Moves every whole staged record into the file; the number moved.
  std::size_t flush();
  int flush_delay_ms() const;
  bool has_records() const;
  // By exit(3): the area goes once nothing is left in it.
  void remove_area_if_empty();
  void drain_orphans_of_file();

  // Drains every orphaned area of sink's file into it, through it.
  static void drain_orphans(FileSink& sink);
  // Moves area's records into sink's file, resolving a write its dead
  // writer left unconfirmed first; the number moved.  header and trailer
  // frame the file (null: none).
  static std::size_t move_records(StagingArea& area, FileSink& sink, const char* header,
                                  const char* trailer, StagingScratch& scratch);

 private:
  StagingArea* area_for_this_process();

  FileSink& sink_;
  std::mutex flush_mutex_;             // serialises moving; made before sink_'s is held across fork
  std::mutex area_mutex_;              // serialises making the area
  std::unique_ptr<StagingArea> area_;  // this process's; guarded by area_mutex_
  std::atomic<StagingArea*> current_{nullptr};  // area_, for the record path
  std::atomic<unsigned> made_in_fork_{0};       // the fork generation current_ was made in
  std::atomic<const char*> header_{nullptr};    // the frame last staged with
  std::atomic<const char*> trailer_{nullptr};
  std::vector<std::unique_ptr<StagingArea>> parents_;  // a forked child's copies, let go
  StagingScratch
      scratch_;  // guarded by flush_mutex_ (a thread's own would be gone by exit(3)'s handlers)
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_STAGER_H_

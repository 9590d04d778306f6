// One rotated set read on a thread of its own: its records in time order,
// already formatted for the output, handed to the merge in batches, so that
// the sets are read, parsed and formatted on every core while one thread
// merges and writes.  A record whose JSON is written later
// (ReadOptions::json_later) is parsed again and written by next(), on the
// consuming thread.  next() is for one consuming thread; the SetReader
// and the Printer's scratch belong to the reading thread until finish()
// returns, and to the caller again after it (to follow the files).
#ifndef EKLOG_READING_THREAD_H_
#define EKLOG_READING_THREAD_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "input.h"
#include "output.h"
#include "record_parser.h"

namespace eklog {

class ReadingThread {
 public:
  // Starts reading at once; reads on the calling thread, batch by batch
  // from next(), if no thread can be started.
  ReadingThread(SetReader& reader, OutputMode mode, bool color);
  ~ReadingThread();  // finish()
  ReadingThread(const ReadingThread&) = delete;
  ReadingThread& operator=(const ReadingThread&) = delete;

  // The set's next record: its time and its line as printed (with the line
  // feed), valid until the next call; false when all are read.
  bool next(std::int64_t& time_us, std::string_view& line);
  // Waits for the thread to end; the set must have been read to its end.
  void finish();

 private:
  struct Batch {
    std::vector<std::int64_t> times;
    std::vector<std::size_t> ends;  // of each record's line in bytes
    std::vector<Format> later;      // Record::json_later of each
    std::string bytes;
    bool last = false;  // the set's end: no batch follows
  };
  // Reads the next records into batch; sets batch.last at the set's end.
  void fill(Batch& batch);
  void run();

  SetReader& reader_;
  Printer printer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Batch>> ready_;   // guarded by mutex_, in order
  std::vector<std::unique_ptr<Batch>> spare_;  // guarded by mutex_, for reuse
  bool stop_ = false;                          // guarded by mutex_
  // The consuming thread's.
  std::unique_ptr<Batch> current_;
  std::size_t at_ = 0;
  RecordParser parser_;
  RecordView view_;
  JsonWriter json_;
  std::thread thread_;
};

}  // namespace eklog

#endif  // EKLOG_READING_THREAD_H_

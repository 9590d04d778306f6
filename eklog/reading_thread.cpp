#include "reading_thread.h"

#include <system_error>
#include <utility>

namespace eklog {

namespace {

// A batch is handed over when it holds this many records or bytes: the
// lock and the wake-up then weigh nothing per record, and the batches
// waiting stay within the caches of a core.
constexpr std::size_t kBatchRecords = 512;
constexpr std::size_t kBatchBytes = 128u << 10;
// Batches read ahead of the merge, per set.
constexpr std::size_t kBatchesAhead = 4;

}  // namespace

ReadingThread::ReadingThread(SetReader& reader, OutputMode mode, bool color)
    : reader_(reader), printer_(mode, color) {
  try {
    thread_ = std::thread(&ReadingThread::run, this);
  } catch (const std::system_error&) {
    // No thread to spare: next() reads each batch itself.
  }
}

ReadingThread::~ReadingThread() { finish(); }

void ReadingThread::finish() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ReadingThread::fill(Batch& batch) {
  batch.times.clear();
  batch.ends.clear();
  batch.later.clear();
  batch.bytes.clear();
  batch.last = false;
  while (batch.times.size() < kBatchRecords && batch.bytes.size() < kBatchBytes) {
    const Record* record = reader_.next();
    if (record == nullptr) {
      batch.last = true;
      break;
    }
    if (record->json_later != Format::kUnknown) {
      batch.bytes += record->json_line;
      batch.bytes.push_back('\n');
    } else {
      printer_.format(*record, batch.bytes);
    }
    batch.times.push_back(record->time_us);
    batch.ends.push_back(batch.bytes.size());
    batch.later.push_back(record->json_later);
  }
  // So that the consumer parses a JSON line in place.
  batch.bytes.append(RecordParser::kJsonPadding, ' ');
}

void ReadingThread::run() {
  for (;;) {
    std::unique_ptr<Batch> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        batch = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (!batch) batch.reset(new Batch);
    fill(*batch);
    const bool last = batch->last;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || ready_.size() < kBatchesAhead; });
      if (stop_) return;
      ready_.push_back(std::move(batch));
    }
    changed_.notify_all();
    if (last) return;
  }
}

bool ReadingThread::next(std::int64_t& time_us, std::string_view& line) {
  for (;;) {
    while (!current_ || at_ == current_->times.size()) {
      if (current_ && current_->last) return false;
      if (!thread_.joinable()) {
        if (!current_) current_.reset(new Batch);
        fill(*current_);
      } else {
        std::unique_lock<std::mutex> lock(mutex_);
        if (current_) spare_.push_back(std::move(current_));
        changed_.wait(lock, [this] { return !ready_.empty(); });
        current_ = std::move(ready_.front());
        ready_.pop_front();
        lock.unlock();
        changed_.notify_all();
      }
      at_ = 0;
    }
    const std::size_t begin = at_ == 0 ? 0 : current_->ends[at_ - 1];
    const Format later = current_->later[at_];
    time_us = current_->times[at_];
    line = std::string_view(current_->bytes.data() + begin, current_->ends[at_] - begin);
    ++at_;
    if (later == Format::kUnknown) return true;
    // Read up to its level only, under a filter of the level alone: a
    // record, or a line that is none, left out as the filter leaves out
    // every such line.  Else parsed on the reading thread already.
    const std::string_view read(line.data(), line.size() - 1);
    if (!parser_.parse(later, read, view_, current_->bytes.size() - begin)) {
      ReadStats& stats = reader_.stats();
      ++stats.bad_lines;
      ++stats.skipped_bad;
      continue;
    }
    if (later != Format::kJson) line = json_.line(view_);
    return true;
  }
}

}  // namespace eklog

// Where a handler's records go: a log file (FileSink) or standard error
// (console_sink).  A FileSink opens its file at the first record, creating
// missing directories, and hands each record to the kernel with one write(2)
// on an O_APPEND descriptor: no user-space buffer and no lock across the
// write, so records of concurrent writers never interleave.  The descriptor
// is closed when the sink is destroyed, which the toolkit defers until no
// thread can still be writing through it.  write is safe from any thread.
#ifndef EKLOGGER_TOOLKIT_FILE_HANDLER_H_
#define EKLOGGER_TOOLKIT_FILE_HANDLER_H_

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "record.h"

namespace gw {

constexpr mode_t kDefaultFilePermissions = 0640;
constexpr mode_t kDirectoryPermissions = 0750;

// Writes all of data to fd, retrying short writes and EINTR; false with
// errno set on any other failure.
bool write_all(int fd, const char* data, std::size_t size);

class Sink {
 public:
  virtual ~Sink() = default;
  // Writes one whole record; header is written first into a file that is
  // new or empty (null for none).  False when the record was dropped.
  virtual bool write(std::string_view record, const char* header) = 0;
  // What the record path calls, with text the record as formatted: sinks
  // that need the record's fields as well (syslog) override it.
  virtual bool write_record(const Record& record, std::string_view text, const char* header) {
    (void)record;
    return write(text, header);
  }
};

class FileSink final : public Sink {
 public:
  // An empty path stands for a handler with no "fileName": every record is
  // dropped, and the first drop reported.
  FileSink(std::string owner, std::string path, mode_t permissions);
  ~FileSink() override;

  bool write(std::string_view record, const char* header) override;
  const std::string& path() const { return path_; }
  // True once opening failed: the sink drops every record.
  bool failed() const { return failed_.load(); }

 private:
  // Opens the file unless a thread did so already; the descriptor or -1.
  int open_file(const char* header);

  const std::string owner_;  // the handler's name, for reports
  const std::string path_;
  const mode_t permissions_;
  std::mutex open_mutex_;         // serialises the first open
  std::atomic<int> fd_{-1};       // written once under open_mutex_
  std::atomic<bool> failed_{false};       // open failed: records are dropped
  std::atomic<bool> write_reported_{false};  // a failed write was reported
};

// The process's standard error, shared by every console handler.
std::shared_ptr<Sink> console_sink();

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_FILE_HANDLER_H_

// The cases of the side-by-side comparison: one way of writing records to a
// file (our library, a peer logger in one of its modes, or the raw write(2)
// loop), set up in a fresh process, timed, and torn down.
//
// A case object is used by one process; write_records is called from each
// of its writing threads at once, everything else from the main thread.
#ifndef EKLOGGER_BENCH_COMPARE_CASES_H_
#define EKLOGGER_BENCH_COMPARE_CASES_H_

#include <memory>
#include <string>
#include <vector>

namespace bench {

// What a case is asked to do.
struct CaseOptions {
  std::string directory;  // where its files go, created by the driver
  std::size_t text_length = 80;
};

class WriteCase {
 public:
  virtual ~WriteCase() = default;
  // Opens files and loggers; false with a reason when the case cannot run
  // here (for example a library that did not open).
  virtual bool set_up(const CaseOptions& options, std::string& reason) = 0;
  // Writes count records of the same text.  Thread-safe as the library is.
  virtual void write_records(std::size_t count) = 0;
  // Hands buffered or staged records to the kernel; part of the timed work.
  virtual void flush() {}
  // Closes what set_up opened; not timed.
  virtual void tear_down() {}
};

// When a record reaches the kernel.
enum class CaseMode {
  kWriteThrough,  // before the call returns
  kBuffered,      // when the logger's buffer in the process fills or is flushed
  kStaged,        // copied into shared memory that outlives the process; written by our flusher
};

struct CaseInfo {
  const char* name;         // e.g. "spdlog-flush"
  const char* description;  // one line for the table
  CaseMode mode;
};

// "write-through", "buffered" or "staged".
const char* mode_name(CaseMode mode);

// Every case the program knows, in table order.
const std::vector<CaseInfo>& all_cases();
// The case of that name, or null for an unknown name.
std::unique_ptr<WriteCase> make_case(const std::string& name);

// The record text every case writes: length bytes, no newline.
std::string record_text(std::size_t length);

}  // namespace bench

#endif  // EKLOGGER_BENCH_COMPARE_CASES_H_

// What eklog's tests share: a scratch directory with the program directory
// and properties of a writer, real writer processes (the reliability
// writer and the mixed writer), and eklog or a shell command run with its
// output, error output and exit status.
#ifndef EKLOGGER_TESTS_EKLOG_EKLOG_TEST_SUPPORT_H_
#define EKLOGGER_TESTS_EKLOG_EKLOG_TEST_SUPPORT_H_

#include <string>
#include <vector>

#include "child_process.h"
#include "test_files.h"

namespace eklog_test {

struct Result {
  std::string out, err;
  int status = -1;  // exit status, or 128 + signal
};

// Runs a shell command line.
Result shell(const std::string& command);
// Runs eklog with the arguments (shell words, already quoted as needed).
Result eklog(const std::string& arguments);
std::string eklog_program();
std::vector<std::string> lines_of(const std::string& text);
std::string quoted(const std::string& text);

// A temporary directory, removed at the end unless EKLOG_TEST_KEEP is set.
class Scratch {
 public:
  Scratch();
  const std::string& dir() const { return dir_.path(); }
  std::string path(const std::string& name) const { return dir_.file(name); }
  void write(const std::string& name, const std::string& content) const;

 private:
  TempDir dir_{"eklog-test"};
};

// The mixed writer's program directory with three handlers, one per format,
// that every logger writes to: all.xml, all.json, all.log in logs/ (named
// absolutely: the library places only its own handlers' files), each
// kept under limit bytes with count rotated files (0: no rotation).
void write_mixed_properties(const Scratch& scratch, long limit, int count);
// Starts the mixed writer; its pid, for exit_status (child_process.h).
int start_mixed_writer(const Scratch& scratch, long records, long pause_us = 0);

}  // namespace eklog_test

#endif  // EKLOGGER_TESTS_EKLOG_EKLOG_TEST_SUPPORT_H_

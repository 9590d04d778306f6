// A record costs exactly one system call, its write(2): counted with
// strace -c over a run of the probe with no records and one with many.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <string>

#include "strace_summary.h"
#include "test_support.h"

namespace gw_test {
namespace {

constexpr int kRecords = 2000;

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ptrace_permitted(const TempDir& dir) {
  return run("strace -o " + dir.file("check.txt") + " true >/dev/null 2>&1") == 0;
}

// The system calls that kRecords more records add, by name.
std::map<std::string, long> added_calls(const char* probe, const TempDir& dir, int* exit_code,
                                        const std::string& extra = "") {
  std::map<std::string, long> runs[2];
  for (int i = 0; i < 2; ++i) {
    // Each run in a directory of its own, so both create their file.
    const std::string run_dir = dir.file("run" + std::to_string(i));
    if (::mkdir(run_dir.c_str(), 0700) != 0) return {};
    const std::string summary = dir.file("summary" + std::to_string(i) + ".txt");
    // LeakSanitizer cannot run under ptrace: a sanitized probe goes without.
    *exit_code =
        run(std::string("ASAN_OPTIONS=detect_leaks=0 strace -c -o ") + summary + " " + probe + " " +
            run_dir + " " + std::to_string(i == 0 ? 0 : kRecords) + extra + " 2>/dev/null");
    if (*exit_code != 0) return {};
    runs[i] = strace_calls(read_file(summary));
  }
  std::map<std::string, long> added = strace_added(runs[0], runs[1]);
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's allocator maps and unmaps memory of its own, a
  // different number of times from run to run.
  for (const char* name : {"mmap", "munmap", "madvise"}) added.erase(name);
#endif
  return added;
}

TEST(SystemCallTest, RecordMakesExactlyOneWrite) {
  TempDir dir;
  if (!ptrace_permitted(dir)) GTEST_SKIP() << "ptrace is not permitted here: strace cannot run";
  int exit_code = 0;
  const std::map<std::string, long> added = added_calls(TOOLKIT_PROBE, dir, &exit_code);
  ASSERT_EQ(exit_code, 0);
  EXPECT_EQ(added, (std::map<std::string, long>{{"write", kRecords}}));
}

// With rotation on, the size is counted in shared memory: still one write.
TEST(SystemCallTest, RecordWithRotationOnMakesExactlyOneWrite) {
  TempDir dir;
  if (!ptrace_permitted(dir)) GTEST_SKIP() << "ptrace is not permitted here: strace cannot run";
  int exit_code = 0;
  const std::map<std::string, long> added =
      added_calls(TOOLKIT_PROBE, dir, &exit_code, " 100000000");
  ASSERT_EQ(exit_code, 0);
  EXPECT_EQ(added, (std::map<std::string, long>{{"write", kRecords}}));
}

// Rotation by time adds nothing to a record: the boundary is a deadline of
// the coarse clock that the record path compares anyway.
TEST(SystemCallTest, RecordWithRotationByTimeMakesExactlyOneWrite) {
  TempDir dir;
  if (!ptrace_permitted(dir)) GTEST_SKIP() << "ptrace is not permitted here: strace cannot run";
  int exit_code = 0;
  const std::map<std::string, long> added =
      added_calls(TOOLKIT_PROBE, dir, &exit_code, " 100000000 hourly");
  ASSERT_EQ(exit_code, 0);
  EXPECT_EQ(added, (std::map<std::string, long>{{"write", kRecords}}));
}

// Through the shipped formatters too, and each record is rendered as its
// line: a probe whose file stayed empty (exit status 3) is a failure.
TEST(SystemCallTest, RecordThroughTheShippedFormattersMakesOneWrite) {
  TempDir dir;
  if (!ptrace_permitted(dir)) GTEST_SKIP() << "ptrace is not permitted here: strace cannot run";
  int exit_code = 0;
  std::map<std::string, long> added = added_calls(TOOLKIT_PROBE_SHIPPED, dir, &exit_code);
  ASSERT_EQ(exit_code, 0) << "3: the probe's records left its file empty";
  EXPECT_EQ(read_lines(dir.file("run1/probe.log")).size(), kRecords + 1u)
      << "one line for each record and the first";
  EXPECT_EQ(added["write"], kRecords);
  added.erase("write");
  // A formatter may look at the time zone once per second, never per record.
  long others = 0;
  for (const auto& [name, count] : added) others += count;
  EXPECT_LE(others, 4) << "system calls other than write grew with the number of records";
}

}  // namespace
}  // namespace gw_test

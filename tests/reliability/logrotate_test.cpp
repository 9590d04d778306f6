// logrotate: the real logrotate rotates the file, with "create" and with
// "copytruncate", while two writers write; the writers follow the new file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "reliability_support.h"

namespace reliability {
namespace {

constexpr int kWriters = 2;
constexpr int kThreads = 2;
constexpr int kRotations = 6;

struct Outcome {
  Check check;
  Parsed parsed;
  long live_records = 0;  // records in the live file after the last rotation
};

// The logrotate program: in /usr/sbin, which a user's PATH may lack.
std::string logrotate_program() {
  for (const char* candidate : {"/usr/sbin/logrotate", "/sbin/logrotate", "/usr/bin/logrotate"}) {
    if (::access(candidate, X_OK) == 0) return candidate;
  }
  return {};
}

Outcome run_with(const std::string& mode) {
  Outcome outcome;
  WriterSet setup(0, 0);
  const std::string conf = setup.dir() + "/logrotate.conf";
  std::ofstream(conf) << setup.log_file() << " {\n  rotate 100\n  " << mode
                      << "\n  missingok\n  nocompress\n}\n";
  ::chmod(conf.c_str(), 0600);
  // Paced by the pause, not the CPU: the same under the sanitizers.
  const long records = 6000;
  std::vector<WriterSet::Writer> writers;
  for (int p = 0; p < kWriters; ++p) writers.push_back(setup.start(kThreads, records, 250));
  for (int r = 0; r < kRotations; ++r) {
    ::usleep(150000);
    const std::string command = logrotate_program() + " -f -s " + setup.dir() + "/state " + conf;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
  std::map<std::pair<int, int>, long> last;
  long long longest_us = 0;
  for (WriterSet::Writer& writer : writers) {
    EXPECT_EQ(setup.wait(writer), 0);
    setup.progress_of(writer, last, longest_us);
  }
  // A copy made by copytruncate may end inside a record being appended.
  outcome.parsed = parse_files(rotated_set(setup.log_file(), 200), mode == "copytruncate");
  outcome.check = check_records(outcome.parsed, last);
  outcome.live_records = parse_files({setup.log_file()}).records;
  std::printf("logrotate %s: %d rotations; written %ld, found %ld, lost %ld, duplicated %ld\n",
              mode.c_str(), kRotations, outcome.check.expected, outcome.check.found,
              outcome.check.lost, outcome.check.duplicated);
  return outcome;
}

TEST(ReliabilityLogrotateTest, CreateLosesNothingAndWritersFollow) {
  if (logrotate_program().empty()) GTEST_SKIP() << "no logrotate (tools/install-deps installs it)";
  const Outcome outcome = run_with("create 0640");
  EXPECT_EQ(outcome.check.lost, 0);
  EXPECT_EQ(outcome.check.duplicated, 0);
  EXPECT_EQ(outcome.check.out_of_order, 0);
  EXPECT_EQ(outcome.parsed.bad_lines, 0);
  EXPECT_GT(outcome.live_records, 0);
}

// copytruncate copies and then truncates: what is written between the two
// is lost whoever writes, by design of copytruncate (measured, not bounded:
// it grows with the copy's time).  What we answer for: appends land at the
// new end (no hole of NUL bytes), and no record is torn, doubled or
// reordered, but for the last line of a copy, which logrotate may read while
// a record is being appended.
TEST(ReliabilityLogrotateTest, CopytruncateKeepsAppendingWithoutHoles) {
  if (logrotate_program().empty()) GTEST_SKIP() << "no logrotate (tools/install-deps installs it)";
  const Outcome outcome = run_with("copytruncate");
  EXPECT_EQ(outcome.parsed.nul_bytes, 0);
  EXPECT_EQ(outcome.parsed.bad_lines, 0)
      << (outcome.parsed.bad_samples.empty() ? "" : outcome.parsed.bad_samples[0]);
  // At most each rotated copy ends inside a record.
  EXPECT_LE(outcome.parsed.cut_copies, kRotations);
  EXPECT_EQ(outcome.check.duplicated, 0);
  EXPECT_EQ(outcome.check.out_of_order, 0);
  EXPECT_GT(outcome.check.found, 0);
}

}  // namespace
}  // namespace reliability

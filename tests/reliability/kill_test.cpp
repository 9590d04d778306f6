// Kill: one of four writers is killed with SIGKILL again and again (and
// started anew) while rotation is on; the survivors never wait a second in
// a record call and lose nothing, and every record whose call a killed
// writer had returned from is in the files.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "reliability_support.h"

namespace reliability {
namespace {

constexpr int kSurvivors = 3;
constexpr int kThreads = 2;
constexpr int kKills = 10;
constexpr int kCount = 1000;

// The reports a writer may make: with staging, that it wrote what a killed
// one left staged.
std::string unexpected_reports(const std::string& errors) {
  std::string left;
  std::size_t start = 0;
  for (std::size_t end; (end = errors.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = errors.substr(start, end - start);
    if (line.find("left staged when it ended") == std::string::npos) left += line + "\n";
  }
  return left + errors.substr(start);
}

// Whether a bad line ("file: text") is the start of a whole line of files.
bool cut_short_of_a_whole_record(const std::string& sample, const std::vector<std::string>& files) {
  const std::string cut = sample.substr(sample.find(": ") + 2);
  for (const std::string& file : files) {
    for (const std::string& line : read_lines(file)) {
      if (line.size() > cut.size() && line.compare(0, cut.size(), cut) == 0) return true;
    }
  }
  return false;
}

void survivors_go_on_and_nothing_returned_is_lost(long staging) {
  const long records = scaled(20000);
  WriterSet setup(records < 20000 ? 32 << 10 : 256 << 10, kCount, true, staging);
  ASSERT_NE(setup.key(), -1);
  std::vector<WriterSet::Writer> survivors;
  for (int p = 0; p < kSurvivors; ++p) survivors.push_back(setup.start(kThreads, records, 20));
  std::vector<WriterSet::Writer> victims;
  int killed = 0;
  for (int k = 0; k < kKills; ++k) {
    WriterSet::Writer victim = setup.start(kThreads, 1000000, 20);
    ::usleep(static_cast<useconds_t>(100000 + (k % 4) * 50000));
    ::kill(victim.pid, SIGKILL);
    if (setup.wait(victim) == -SIGKILL) ++killed;
    victims.push_back(victim);
  }
  std::map<std::pair<int, int>, long> last;
  long long longest_us = 0;
  for (WriterSet::Writer& writer : survivors) {
    EXPECT_EQ(setup.wait(writer), 0);
    EXPECT_EQ(unexpected_reports(setup.errors_of(writer)), "") << "records were dropped";
    setup.progress_of(writer, last, longest_us);
  }
  // Survivors may end before the last victim is killed: a writer that runs
  // to its end afterwards is the key's last user and removes what the
  // killed ones left.
  WriterSet::Writer closer = setup.start(1, 10);
  EXPECT_EQ(setup.wait(closer), 0);
  setup.progress_of(closer, last, longest_us);
  std::map<std::pair<int, int>, long> victims_last;
  long long victims_longest = 0;
  for (const WriterSet::Writer& victim : victims)
    setup.progress_of(victim, victims_last, victims_longest);
  const Parsed parsed = parse_files(rotated_set(setup.log_file(), kCount + 1));

  const Check survivors_check = check_records(parsed, last);
  EXPECT_EQ(survivors_check.expected, kSurvivors * kThreads * records + 10);
  EXPECT_EQ(survivors_check.lost, 0);
  EXPECT_EQ(survivors_check.duplicated, 0);
  EXPECT_EQ(survivors_check.out_of_order, 0);
  EXPECT_LT(longest_us, 1000000) << "a survivor stalled";
  // Records of the killed writers up to each thread's last return.
  std::map<std::pair<int, int>, long> all = last;
  all.insert(victims_last.begin(), victims_last.end());
  const Check all_check = check_records(parsed, all);
  EXPECT_EQ(all_check.lost, 0);
  EXPECT_EQ(all_check.duplicated, 0);
  EXPECT_EQ(all_check.out_of_order, 0);
  if (staging == 0) {
    EXPECT_EQ(parsed.bad_lines, 0) << (parsed.bad_samples.empty() ? "" : parsed.bad_samples[0]);
  } else {
    // A kill can cut its flusher's write of a batch short (the kernel stops
    // a write to a file between pages): the record cut stays as a line cut
    // short, and is in the files whole too.
    EXPECT_LE(parsed.bad_lines, killed);
    for (const std::string& sample : parsed.bad_samples) {
      EXPECT_TRUE(cut_short_of_a_whole_record(sample, rotated_set(setup.log_file(), kCount + 1)))
          << sample;
    }
  }
  EXPECT_EQ(killed, kKills);
  EXPECT_FALSE(setup.semaphore_left());
  EXPECT_TRUE(setup.segments_left().empty());
  std::printf(
      "kill%s: %d kills; survivors wrote %ld, found %ld, lost %ld, longest call %lld us; "
      "killed writers returned %ld, found %ld, lost %ld\n",
      staging > 0 ? " staged" : "", killed, survivors_check.expected, survivors_check.found,
      survivors_check.lost, longest_us, all_check.expected - survivors_check.expected,
      all_check.found - survivors_check.found, all_check.lost - survivors_check.lost);
}

TEST(ReliabilityKillTest, SurvivorsGoOnAndNothingReturnedIsLost) {
  survivors_go_on_and_nothing_returned_is_lost(0);
}

TEST(ReliabilityKillTest, StagedSurvivorsGoOnAndNothingReturnedIsLost) {
  survivors_go_on_and_nothing_returned_is_lost(256 << 10);
}

}  // namespace
}  // namespace reliability

// Load: four processes of four threads write into one rotating set of files;
// every record is found once, whole and in order, no file passes its bound,
// and no IPC object of the key is left once the writers are gone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>

#include "reliability_support.h"

namespace reliability {
namespace {

constexpr int kProcesses = 4;
constexpr int kThreads = 4;
constexpr long long kLimit = 1 << 20;
constexpr int kCount = 500;
constexpr long long kLongestLine = 200;  // time, level, labels, text

// staging: the bytes of each writer's staging area, 0 to write each record.
void every_record_once_in_order_through_rotation(long staging) {
  const long records = scaled(25000);
  const long long limit = records < 25000 ? kLimit / 10 : kLimit;
  WriterSet setup(limit, kCount, true, staging);
  ASSERT_NE(setup.key(), -1);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::vector<WriterSet::Writer> writers;
  for (int p = 0; p < kProcesses; ++p) writers.push_back(setup.start(kThreads, records));
  std::map<std::pair<int, int>, long> last;
  long long longest_us = 0;
  for (WriterSet::Writer& writer : writers) {
    EXPECT_EQ(setup.wait(writer), 0);
    EXPECT_EQ(setup.errors_of(writer), "") << "a report: records were dropped";
    setup.progress_of(writer, last, longest_us);
  }
  clock_gettime(CLOCK_MONOTONIC, &end);

  const std::vector<std::string> files = rotated_set(setup.log_file(), kCount + 1);
  const Parsed parsed = parse_files(files);
  const Check check = check_records(parsed, last);
  EXPECT_EQ(check.expected, kProcesses * kThreads * records);
  EXPECT_EQ(check.found, check.expected);
  EXPECT_EQ(check.lost, 0);
  EXPECT_EQ(check.duplicated, 0);
  EXPECT_EQ(check.out_of_order, 0);
  EXPECT_EQ(check.unexpected, 0);
  EXPECT_EQ(parsed.bad_lines, 0) << (parsed.bad_samples.empty() ? "" : parsed.bad_samples[0]);
  EXPECT_GT(files.size(), 12u) << "the load should rotate dozens of times";
  EXPECT_LT(files.size(), static_cast<std::size_t>(kCount)) << "count must keep every file";
  for (const std::string& file : files) {
    struct stat status;
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_LE(status.st_size, limit + kProcesses * kLongestLine) << file;
  }
  EXPECT_FALSE(setup.semaphore_left());
  EXPECT_TRUE(setup.segments_left().empty());
  std::printf(
      "load%s: %d processes x %d threads x %ld records: written %ld, found %ld, lost %ld, "
      "files %zu, longest call %lld us, %.1f s\n",
      staging > 0 ? " staged" : "", kProcesses, kThreads, records, check.expected, check.found,
      check.lost, files.size(), longest_us,
      static_cast<double>(end.tv_sec - start.tv_sec) +
          static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9);
}

TEST(ReliabilityLoadTest, EveryRecordOnceInOrderThroughRotation) {
  every_record_once_in_order_through_rotation(0);
}

TEST(ReliabilityLoadTest, StagedEveryRecordOnceInOrderThroughRotation) {
  every_record_once_in_order_through_rotation(256 << 10);
}

// Without a key (ftok failed) the processes lock "msg.log.lock" instead.
TEST(ReliabilityLoadTest, WithoutAKeyTheLockFileKeepsEveryRecord) {
  const long records = scaled(10000);
  WriterSet setup(64 << 10, kCount, false);
  ASSERT_EQ(setup.key(), -1);
  std::vector<WriterSet::Writer> writers;
  for (int p = 0; p < kProcesses; ++p) writers.push_back(setup.start(2, records));
  std::map<std::pair<int, int>, long> last;
  long long longest_us = 0;
  for (WriterSet::Writer& writer : writers) {
    EXPECT_EQ(setup.wait(writer), 0);
    EXPECT_EQ(setup.errors_of(writer), "") << "a report: records were dropped";
    setup.progress_of(writer, last, longest_us);
  }
  const std::vector<std::string> files = rotated_set(setup.log_file(), kCount + 1);
  const Parsed parsed = parse_files(files);
  const Check check = check_records(parsed, last);
  EXPECT_EQ(check.expected, kProcesses * 2 * records);
  EXPECT_EQ(check.lost, 0);
  EXPECT_EQ(check.duplicated, 0);
  EXPECT_EQ(check.out_of_order, 0);
  EXPECT_EQ(parsed.bad_lines, 0);
  EXPECT_GT(files.size(), 12u);
  for (const std::string& file : files) {
    struct stat status;
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_LE(status.st_size, (64 << 10) + kProcesses * kLongestLine) << file;
  }
  struct stat status;
  EXPECT_EQ(::stat((setup.log_file() + ".lock").c_str(), &status), 0);
  std::printf("load without key: written %ld, found %ld, lost %ld, files %zu\n", check.expected,
              check.found, check.lost, files.size());
}

}  // namespace
}  // namespace reliability

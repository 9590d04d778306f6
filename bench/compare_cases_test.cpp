// Our cases of the side-by-side comparison, checked before they are timed:
// the staged program directory is the write-through one with its two lines
// added, and every record a case writes is in its file by the end of the
// timed work (flush), from one thread or two.
#include "compare_cases.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_config.h"
#include "test_files.h"

namespace bench {
namespace {

constexpr std::size_t kRecords = 50000;  // several times round a 1 MiB staging area
constexpr std::size_t kTextLength = 60;

TEST(BenchConfigTest, StagedPropertiesAreTheWriteThroughOnesWithTwoLinesAdded) {
  TempDir dir("bench-config");
  std::string reason;
  ASSERT_TRUE(write_program_dir(dir.file("program"), reason)) << reason;
  ASSERT_TRUE(write_program_dir(dir.file("program-staged"), reason, kStagingProperties)) << reason;
  EXPECT_EQ(read_file(dir.file("program/eklogger.properties")), kOurProperties);
  EXPECT_EQ(read_file(dir.file("program-staged/eklogger.properties")),
            std::string(kOurProperties) + kStagingProperties);
  EXPECT_TRUE(exists(dir.file("program-staged/") + kProgramName));
}

TEST(CompareCasesTest, StagedCasesAreKnownAndListedAsStaged) {
  for (const std::string name : {"ours-staged", "ours-finer-staged"}) {
    int listed = 0;
    for (const CaseInfo& info : all_cases()) {
      if (name == info.name && info.mode == CaseMode::kStaged) ++listed;
    }
    EXPECT_EQ(listed, 1) << name;
    EXPECT_NE(make_case(name), nullptr) << name;
  }
  EXPECT_STREQ(mode_name(CaseMode::kStaged), "staged");
  EXPECT_EQ(make_case("ours-unknown"), nullptr);
}

TEST(CompareCasesTest, RecordTextHasTheLengthAsked) {
  EXPECT_EQ(record_text(kTextLength).size(), kTextLength);
  EXPECT_EQ(record_text(0), "");
}

// Writes kRecords records from each of threads threads, then flushes when
// flush is set; the lines of file at that moment.
std::vector<std::string> lines_written(const std::string& name, int threads, bool flush,
                                       const std::string& file) {
  TempDir dir("bench-case");
  std::unique_ptr<WriteCase> write_case = make_case(name);
  CaseOptions options;
  options.directory = dir.path();
  options.text_length = kTextLength;
  std::string reason;
  EXPECT_TRUE(write_case->set_up(options, reason)) << reason;
  std::vector<std::thread> writers;
  for (int i = 0; i < threads; ++i)
    writers.emplace_back([&] { write_case->write_records(kRecords); });
  for (std::thread& writer : writers) writer.join();
  if (flush) write_case->flush();
  std::vector<std::string> lines = read_lines(dir.file(file));
  write_case->tear_down();
  return lines;
}

void expect_whole_records(const std::vector<std::string>& lines, std::size_t count) {
  ASSERT_EQ(lines.size(), count);
  const std::string text = record_text(kTextLength);
  for (const std::string& line : lines) {
    ASSERT_EQ(line.substr(line.size() - text.size()), text) << line;
  }
}

TEST(CompareCasesTest, WriteThroughRecordsAreInTheFileWhenTheCallsReturn) {
  expect_whole_records(lines_written("ours", 1, false, "msg.log"), kRecords);
}

TEST(CompareCasesTest, StagedInfoRecordsAreAllInTheFileAfterFlush) {
  expect_whole_records(lines_written("ours-staged", 1, true, "msg.log"), kRecords);
}

TEST(CompareCasesTest, StagedFinerRecordsOfTwoThreadsAreAllInTheFileAfterFlush) {
  expect_whole_records(lines_written("ours-finer-staged", 2, true, "trace.log"), 2 * kRecords);
}

}  // namespace
}  // namespace bench

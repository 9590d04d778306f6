// A set read on its own thread: every line the reader and printer give on
// the calling thread, in the same order, whether the consumer keeps up or
// leaves the threads waiting on their full read-ahead, and whether the
// reading thread or the consumer writes the JSON; and a consumer that stops
// early lets its thread end.
#include "reading_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "filters.h"
#include "input.h"

namespace eklog {
namespace {

std::string write_set(int which, int records) {
  const std::string path = testing::TempDir() + "eklog-reading-thread-" + std::to_string(getpid()) +
                           "-" + std::to_string(which);
  std::FILE* file = std::fopen(path.c_str(), "w");
  for (int i = 0; i < records; ++i) {
    // Late by a few places now and then, and a line that is no record.
    const int late = i % 97 == 0 && i > 0 ? 5 : 0;
    std::fprintf(file, "2026-12-08T10:%02d:%02d.%06d+00:00 INFO [p] [c%d] [] record\\t\"%d\"\n",
                 (i - late) / 60000 % 60, (i - late) / 1000 % 60, (i - late) % 1000 * 1000, which,
                 i);
    if (i % 1000 == 999) std::fputs("not a record\n", file);
  }
  std::fclose(file);
  return path;
}

LogSet set_of(const std::string& path) {
  LogSet set;
  set.base = path;
  set.members = {path};
  return set;
}

TEST(EklogReadingThreadTest, EveryLineInOrderWhetherOrNotTheConsumerKeepsUp) {
  constexpr int kSets = 3, kRecords = 20000;
  Filter filter;
  std::string error;
  ASSERT_TRUE(filter.init(FilterOptions(), error));
  std::vector<std::string> paths;
  std::vector<std::vector<std::string>> expected(kSets);
  for (int i = 0; i < kSets; ++i) {
    paths.push_back(write_set(i, kRecords));
    ReadStats stats;
    SetReader reader(set_of(paths[i]), i, filter, ReadOptions(), stats);
    const Printer printer(OutputMode::kJson, false);
    while (const Record* record = reader.next()) {
      std::string line;
      printer.format(*record, line);
      expected[i].push_back(std::to_string(record->time_us) + " " + line);
    }
  }
  ReadStats stats;
  std::vector<std::unique_ptr<Filter>> filters;
  std::vector<std::unique_ptr<SetReader>> readers;
  std::vector<std::unique_ptr<ReadingThread>> threads;
  for (int i = 0; i < kSets; ++i) {
    filters.emplace_back(new Filter);
    ASSERT_TRUE(filters.back()->init(FilterOptions(), error));
    // The JSON of the second set's lines is written by the consumer.
    ReadOptions options;
    options.keep_json_line = true;
    options.json_later = i == 1;
    readers.emplace_back(new SetReader(set_of(paths[i]), i, *filters.back(), options, stats));
    threads.emplace_back(new ReadingThread(*readers.back(), OutputMode::kJson, false));
  }
  // One set after the other: the others wait on their full read-ahead meanwhile.
  for (int i = 0; i < kSets; ++i) {
    std::vector<std::string> got;
    std::int64_t time_us;
    std::string_view line;
    while (threads[i]->next(time_us, line))
      got.push_back(std::to_string(time_us) + " " + std::string(line));
    EXPECT_EQ(got, expected[i]) << "set " << i;
    EXPECT_FALSE(threads[i]->next(time_us, line));  // and stays at its end
  }
  EXPECT_EQ(stats.bad_lines, kSets * (kRecords / 1000));

  // A consumer that stops after a few records: the thread ends with it.
  {
    Filter early_filter;
    ASSERT_TRUE(early_filter.init(FilterOptions(), error));
    SetReader reader(set_of(paths[0]), 0, early_filter, ReadOptions(), stats);
    ReadingThread thread(reader, OutputMode::kShort, false);
    std::int64_t time_us;
    std::string_view line;
    ASSERT_TRUE(thread.next(time_us, line));
    thread.finish();
  }
  for (const std::string& path : paths) std::remove(path.c_str());
}

// Under a filter of the level alone, a line is read only up to its level
// before the window; the consumer's parse then leaves out a line that
// begins like a record but is none, as the reading thread would have.
TEST(EklogReadingThreadTest, ReadUpToItsLevelLeavesOutWhatIsNoRecord) {
  const std::string basic = write_set(7, 3000);
  const std::string json = basic + ".json";
  {
    Filter all;
    std::string error;
    ASSERT_TRUE(all.init(FilterOptions(), error));
    ReadStats stats;
    SetReader reader(set_of(basic), 0, all, ReadOptions(), stats);
    const Printer printer(OutputMode::kJson, false);
    std::string lines;
    for (int i = 0; const Record* record = reader.next(); ++i) {
      std::string line;
      printer.format(*record, line);
      lines += line;
      if (i % 500 == 0) lines += line.substr(0, line.size() - 20) + "\n";  // torn in its text
    }
    std::FILE* file = std::fopen(json.c_str(), "w");
    std::fputs(lines.c_str(), file);
    std::fclose(file);
    file = std::fopen(basic.c_str(), "a");
    std::fputs("2026-12-08T10:00:03.000000+00:00 INFO [p] [c7\n", file);  // torn in a field
    std::fclose(file);
  }
  FilterOptions level;
  level.has_min_level = true;
  level.min_level = 800;
  for (const auto& [path, torn] : {std::pair{basic, 1}, std::pair{json, 7}}) {
    SCOPED_TRACE(path);
    std::vector<std::string> got[2];
    long bad[2];
    for (int later = 0; later < 2; ++later) {
      Filter filter;
      std::string error;
      ASSERT_TRUE(filter.init(level, error));
      ReadStats stats;
      ReadOptions options;
      options.keep_json_line = true;
      options.json_later = later == 1;
      SetReader reader(set_of(path), 0, filter, options, stats);
      ReadingThread thread(reader, OutputMode::kJson, false);
      std::int64_t time_us;
      std::string_view line;
      while (thread.next(time_us, line))
        got[later].push_back(std::to_string(time_us) + " " + std::string(line));
      bad[later] = stats.skipped_bad;
    }
    EXPECT_EQ(got[1], got[0]);
    EXPECT_EQ(got[0].size(), 3000u);
    EXPECT_EQ(bad[0], 3 + torn);  // the basic file's lines that are no record, and the torn
    EXPECT_EQ(bad[1], 3 + torn);
  }
  std::remove(basic.c_str());
  std::remove(json.c_str());
}

}  // namespace
}  // namespace eklog

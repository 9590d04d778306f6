// eklog's reading of one set in time order: the reorder window on a file
// whose records come late by known amounts, and ties kept in file order.
#include "input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "filters.h"

namespace eklog {
namespace {

struct Written {
  std::int64_t time_us;
  std::string text;
};

std::string basic_line(const Written& record) {
  char time[64];
  const std::int64_t seconds = record.time_us / 1000000;
  std::snprintf(time, sizeof time, "2026-12-08T%02d:%02d:%02d.%06d+00:00",
                static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60), static_cast<int>(record.time_us % 1000000));
  return std::string(time) + " WARNING [p] [c] [] " + record.text + "\n";
}

// Reads the file as eklog does and gives the records' texts (or, with
// json, their -o json lines' texts) in the order they come.
std::vector<std::string> read_in_order(const std::string& path, bool json) {
  Filter filter;
  std::string error;
  FilterOptions none;
  EXPECT_TRUE(filter.init(none, error));
  ReadOptions options;
  options.keep_json_line = json;
  ReadStats stats;
  LogSet set;
  set.base = path;
  set.members = {path};
  SetReader reader(set, 0, filter, options, stats);
  std::vector<std::string> texts;
  while (const Record* record = reader.next()) {
    if (!json) {
      texts.push_back(record->text);
      continue;
    }
    const std::size_t at = record->json_line.find("\"text\":\"");
    texts.push_back(record->json_line.substr(at + 8, record->json_line.size() - at - 10));
  }
  return texts;
}

TEST(EklogInputTest, LateRecordsAndTiesComeInTimeThenFileOrder) {
  std::mt19937 random(7);
  std::vector<Written> written;
  for (int i = 0; i < 30000; ++i) {
    std::int64_t time = 1000000 + 10 * static_cast<std::int64_t>(i);
    const unsigned pick = static_cast<unsigned>(random() % 100);
    if (pick < 5)  // late by up to 4000 places, within the window
      time -= 10 * static_cast<std::int64_t>(random() % std::min(i + 1, 4000));
    else if (pick < 15 && !written.empty())  // the same microsecond as the one before
      time = written.back().time_us;
    written.push_back({time, "n" + std::to_string(i)});
  }
  // The last records: one record earlier than all the others still held.
  written.push_back({written[written.size() - 3000].time_us - 1, "late"});
  const std::string path = testing::TempDir() + "eklog-input-test-" + std::to_string(getpid());
  std::FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  for (const Written& record : written) std::fputs(basic_line(record).c_str(), file);
  std::fclose(file);

  std::vector<Written> expected = written;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Written& a, const Written& b) { return a.time_us < b.time_us; });
  std::vector<std::string> texts;
  for (const Written& record : expected) texts.push_back(record.text);
  EXPECT_EQ(read_in_order(path, false), texts);
  EXPECT_EQ(read_in_order(path, true), texts);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace eklog

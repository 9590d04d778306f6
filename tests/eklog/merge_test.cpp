// eklog's merge against files written by real writer processes: several
// writers on one rotated set (one killed mid-run), compressed members, and
// a set that logrotate copies and truncates.  Every record the reliability
// suite's own reader finds is in eklog's output exactly once, in time order.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "eklog_test_support.h"
#include "reliability_support.h"

namespace {

using eklog_test::eklog;
using eklog_test::lines_of;
using eklog_test::quoted;
using eklog_test::Result;

struct Merged {
  std::map<std::pair<int, int>, std::vector<long>> found;  // as the reliability parse keys it
  long records = 0, unparsed = 0, out_of_order = 0, not_writer_text = 0;
};

// eklog -o json's lines: the writer's "p<pid> t<thread> n<seq>" texts.
Merged read_merged(const std::string& output) {
  Merged merged;
  long long previous = 0;
  for (const std::string& line : lines_of(output)) {
    const nlohmann::json record = nlohmann::json::parse(line);
    if (record.contains("unparsed")) {
      ++merged.unparsed;
      continue;
    }
    ++merged.records;
    const long long time = record.at("time_us").get<long long>();
    if (time < previous) ++merged.out_of_order;
    previous = time;
    int pid, thread;
    long seq;
    if (std::sscanf(record.at("text").get<std::string>().c_str(), "p%d t%d n%ld", &pid, &thread,
                    &seq) != 3) {
      ++merged.not_writer_text;
      continue;
    }
    merged.found[{pid, thread}].push_back(seq);
  }
  return merged;
}

// The same records, each (pid, thread, seq) once in both.
void expect_same_records(const reliability::Parsed& parsed, const Merged& merged) {
  std::multiset<std::tuple<int, int, long>> expected, got;
  for (const auto& entry : parsed.found)
    for (long seq : entry.second) expected.emplace(entry.first.first, entry.first.second, seq);
  for (const auto& entry : merged.found)
    for (long seq : entry.second) got.emplace(entry.first.first, entry.first.second, seq);
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "eklog and the reliability reader disagree";
  long duplicated = 0;
  for (auto it = got.begin(); it != got.end(); it = got.upper_bound(*it))
    duplicated += static_cast<long>(got.count(*it)) - 1;
  EXPECT_EQ(duplicated, 0);
}

TEST(EklogMergeTest, RotatedSetOfSeveralWritersOnceEachInTimeOrder) {
  const long records = reliability::scaled(6000);
  reliability::WriterSet setup(48 << 10, 1000);
  std::vector<reliability::WriterSet::Writer> writers;
  for (int p = 0; p < 3; ++p) writers.push_back(setup.start(2, records, 30));
  reliability::WriterSet::Writer victim = setup.start(2, 1000000, 30);
  ::usleep(300000);
  ::kill(victim.pid, SIGKILL);
  EXPECT_EQ(setup.wait(victim), -SIGKILL);
  std::map<std::pair<int, int>, long> last;
  long long longest_us = 0;
  for (auto& writer : writers) {
    EXPECT_EQ(setup.wait(writer), 0);
    setup.progress_of(writer, last, longest_us);
  }
  const std::vector<std::string> files = reliability::rotated_set(setup.log_file(), 1001);
  ASSERT_GT(files.size(), 5u) << "the set did not rotate";
  const reliability::Parsed parsed = reliability::parse_files(files);
  ASSERT_EQ(parsed.bad_lines, 0);

  // Some members compressed, as an archive step would leave them.
  for (std::size_t i = 1; i < files.size() - 1; i += 3)
    ASSERT_EQ(std::system(("gzip " + quoted(files[i])).c_str()), 0);

  const Result result = eklog("-o json " + quoted(setup.log_file()));
  EXPECT_EQ(result.status, 0) << result.err;
  const Merged merged = read_merged(result.out);
  EXPECT_EQ(merged.unparsed, 0);
  EXPECT_EQ(merged.out_of_order, 0);
  EXPECT_EQ(merged.not_writer_text, 0);
  expect_same_records(parsed, merged);
  // Every record the survivors' calls returned from, each once.
  reliability::Parsed as_parsed;
  as_parsed.found = merged.found;
  const reliability::Check check = reliability::check_records(as_parsed, last);
  EXPECT_EQ(check.lost, 0);
  EXPECT_EQ(check.duplicated, 0);

  // The directory gives the same set.
  const Result by_dir = eklog("-o json " + quoted(setup.dir() + "/logs"));
  EXPECT_EQ(by_dir.out, result.out);
}

TEST(EklogMergeTest, SetsOfSeveralFormatsMergeByTime) {
  eklog_test::Scratch scratch;
  eklog_test::write_mixed_properties(scratch, 64 << 10, 500);
  const int first = eklog_test::start_mixed_writer(scratch, reliability::scaled(3000), 20);
  const int second = eklog_test::start_mixed_writer(scratch, reliability::scaled(3000), 20);
  ASSERT_EQ(exit_status(first), 0);
  ASSERT_EQ(exit_status(second), 0);
  const std::string logs = scratch.path("logs");
  // Each format alone, then all three merged: three copies of each record,
  // in time order.
  std::map<std::string, std::vector<std::string>> texts;
  for (const char* name : {"all.xml", "all.json", "all.log"}) {
    const Result one = eklog("-o json " + quoted(logs + "/" + name));
    ASSERT_EQ(one.status, 0) << name << ": " << one.err;
    for (const std::string& line : lines_of(one.out)) {
      const nlohmann::json record = nlohmann::json::parse(line);
      ASSERT_FALSE(record.contains("unparsed")) << name << ": " << line;
      texts[name].push_back(std::to_string(record.at("time_us").get<long long>()) + " " +
                            record.at("text").get<std::string>());
    }
  }
  EXPECT_GT(texts["all.json"].size(), 1000u);
  // The same records in each (the order of records of one microsecond may
  // differ between files; the merged order is checked below).
  for (auto& [name, list] : texts) std::sort(list.begin(), list.end());
  EXPECT_TRUE(texts["all.xml"] == texts["all.json"])
      << texts["all.xml"].size() << " XML records, " << texts["all.json"].size() << " JSON";
  EXPECT_TRUE(texts["all.log"] == texts["all.json"])
      << texts["all.log"].size() << " basic records, " << texts["all.json"].size() << " JSON";
  const Result all = eklog("-o json " + quoted(logs));
  ASSERT_EQ(all.status, 0) << all.err;
  long long previous = 0;
  long count = 0, out_of_order = 0;
  for (const std::string& line : lines_of(all.out)) {
    const long long time = nlohmann::json::parse(line).at("time_us").get<long long>();
    if (time < previous) ++out_of_order;
    previous = time;
    ++count;
  }
  EXPECT_EQ(out_of_order, 0);
  EXPECT_EQ(count, static_cast<long>(3 * texts["all.json"].size()));
}

std::string logrotate_program() {
  for (const char* candidate : {"/usr/sbin/logrotate", "/sbin/logrotate", "/usr/bin/logrotate"}) {
    if (::access(candidate, X_OK) == 0) return candidate;
  }
  return {};
}

TEST(EklogMergeTest, CopytruncatedCompressedSetReadsLikeTheReliabilityReader) {
  if (logrotate_program().empty()) GTEST_SKIP() << "no logrotate (tools/install-deps installs it)";
  reliability::WriterSet setup(0, 0);
  const std::string conf = setup.dir() + "/logrotate.conf";
  std::ofstream(conf) << setup.log_file()
                      << " {\n  rotate 100\n  copytruncate\n  missingok\n  compress\n}\n";
  std::vector<reliability::WriterSet::Writer> writers;
  for (int p = 0; p < 2; ++p) writers.push_back(setup.start(2, 4000, 250));
  for (int r = 0; r < 4; ++r) {
    ::usleep(150000);
    const std::string command = logrotate_program() + " -f -s " + setup.dir() + "/state " + conf;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  for (auto& writer : writers) EXPECT_EQ(setup.wait(writer), 0);
  // The reliability reader, on the set unpacked.
  std::vector<std::string> plain;
  for (int i = 100; i >= 1; --i) {
    const std::string member = setup.log_file() + "." + std::to_string(i);
    if (::access((member + ".gz").c_str(), R_OK) != 0) continue;
    ASSERT_EQ(
        std::system(
            ("gzip -dc " + quoted(member + ".gz") + " > " + quoted(member + ".plain")).c_str()),
        0);
    plain.push_back(member + ".plain");
  }
  ASSERT_EQ(plain.size(), 4u);
  plain.push_back(setup.log_file());
  const reliability::Parsed parsed = reliability::parse_files(plain, true);
  for (const std::string& file : plain)
    if (file != setup.log_file()) ::unlink(file.c_str());

  const Result result = eklog("-o json " + quoted(setup.log_file()));
  EXPECT_EQ(result.status, 0) << result.err;
  const Merged merged = read_merged(result.out);
  EXPECT_EQ(merged.out_of_order, 0);
  // A copy may end inside a record being appended: shown as a torn line.
  EXPECT_EQ(merged.unparsed, parsed.cut_copies);
  expect_same_records(parsed, merged);
}

}  // namespace

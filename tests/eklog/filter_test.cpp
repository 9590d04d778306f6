// Each of eklog's filters against an independent reading of the same files:
// jq on the JSON Lines file, xmllint on the XML file, grep on the basic
// one.  The files come from two real writer processes through the library.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "eklog_test_support.h"
#include "reliability_support.h"

namespace {

using eklog_test::eklog;
using eklog_test::lines_of;
using eklog_test::quoted;
using eklog_test::Result;
using eklog_test::shell;

class EklogFilterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new eklog_test::Scratch;
    eklog_test::write_mixed_properties(*scratch_, 0, 0);
    const int first = eklog_test::start_mixed_writer(*scratch_, 2000);
    const int second = eklog_test::start_mixed_writer(*scratch_, 2000);
    ASSERT_EQ(exit_status(first), 0);
    ASSERT_EQ(exit_status(second), 0);
  }
  static void TearDownTestSuite() { delete scratch_; }
  static std::string file(const char* name) { return quoted(scratch_->path("logs/") + name); }

  // time_us and text of each record, sorted: the same records whatever the
  // order and formatting of the two readers.
  static std::vector<std::string> keys(const std::string& json_lines) {
    std::vector<std::string> keys;
    for (const std::string& line : lines_of(json_lines)) {
      const nlohmann::json record = nlohmann::json::parse(line);
      keys.push_back(std::to_string(record.at("time_us").get<long long>()) + " " +
                     record.at("text").get<std::string>());
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  }
  // eklog's answer on all.json against jq's select(condition) on the file.
  static void expect_like_jq(const std::string& options, const std::string& condition,
                             std::size_t at_least = 1) {
    const Result ours = eklog("-o json " + options + " " + file("all.json"));
    ASSERT_EQ(ours.status, 0) << ours.err;
    const Result jq =
        shell("jq -c " + quoted("select(" + condition + ")") + " " + file("all.json"));
    ASSERT_EQ(jq.status, 0) << jq.err;
    const std::vector<std::string> got = keys(ours.out), expected = keys(jq.out);
    EXPECT_GE(expected.size(), at_least) << condition << ": the case selects too little";
    EXPECT_EQ(got.size(), expected.size()) << options;
    EXPECT_TRUE(got == expected) << options << " differs from jq's " << condition;
  }
  static eklog_test::Scratch* scratch_;
};

eklog_test::Scratch* EklogFilterTest::scratch_ = nullptr;

TEST_F(EklogFilterTest, LevelNamesAndNumbersAgreeWithJq) {
  expect_like_jq("-p WARNING", ".level_value >= 5000", 100);
  expect_like_jq("-p SEVERE", ".level_value >= 6000", 50);
  expect_like_jq("-p 3000", ".level_value >= 3000", 100);
  expect_like_jq("-p FINEST", "true", 1000);
}

TEST_F(EklogFilterTest, NamesByExactNameAndGlobAgreeWithJq) {
  expect_like_jq("-c orders", ".component == \"orders\"", 100);
  expect_like_jq("-c 'bill*'", ".component | startswith(\"bill\")", 100);
  expect_like_jq("-l '*.err.*'", ".logger | test(\"\\\\.err\\\\.\")", 100);
  expect_like_jq("-l '*.trace.*' -l '*.err.*'", ".logger | test(\"\\\\.(trace|err)\\\\.\")", 100);
  expect_like_jq("--product 'nomatch*'", "false", 0);
}

TEST_F(EklogFilterTest, CatalogNumberAndPatternAgreeWithJq) {
  expect_like_jq("-m 201", ".number == 201", 10);
  expect_like_jq("-m 100 -m 302", ".number == 100 or .number == 302", 10);
  expect_like_jq("--catalog eklogger", ".catalog == \"eklogger\"", 100);
  expect_like_jq("-g 'disk (full|error):\\t'", ".text | test(\"disk (full|error):\\t\")", 50);
  expect_like_jq("-g '^rec p[0-9]+ t1 n[0-9]*7$'", ".text | test(\"^rec p[0-9]+ t1 n[0-9]*7$\")",
                 50);
  expect_like_jq(
      "-p WARNING -c billing -g 'n1[0-9]*$'",
      ".level_value >= 5000 and .component == \"billing\" and (.text | test(\"n1[0-9]*$\"))", 10);
}

TEST_F(EklogFilterTest, TimeRangeAgreesWithJq) {
  const Result all = shell("jq -c '[.time, .time_us]' " + file("all.json"));
  const std::vector<std::string> lines = lines_of(all.out);
  ASSERT_GT(lines.size(), 300u);
  const nlohmann::json from = nlohmann::json::parse(lines[lines.size() / 3]);
  const nlohmann::json to = nlohmann::json::parse(lines[2 * lines.size() / 3]);
  const std::string since = from[0].get<std::string>(), until = to[0].get<std::string>();
  const long long a = from[1].get<long long>(), b = to[1].get<long long>();
  expect_like_jq("--since " + since + " --until " + until,
                 ".time_us >= " + std::to_string(a) + " and .time_us < " + std::to_string(b), 100);
  // Relative: everything was written within the last day, nothing in the future.
  expect_like_jq("--since -1d", "true", 1000);
  expect_like_jq("--since +1h", "false", 0);
  expect_like_jq("-S yesterday -U tomorrow", "true", 1000);
}

TEST_F(EklogFilterTest, XmlFileFiltersLikeXmllint) {
  const std::string xml = file("all.xml");
  auto xpath_count = [&](const std::string& expression) {
    const Result result =
        shell("{ cat " + xml + "; echo '</log>'; } | xmllint --xpath " + quoted(expression) + " -");
    EXPECT_EQ(result.status, 0) << result.err;
    return std::stol(result.out);
  };
  auto ours = [&](const std::string& options) {
    const Result result = eklog("-o json " + options + " " + xml);
    EXPECT_EQ(result.status, 0) << result.err;
    return static_cast<long>(lines_of(result.out).size());
  };
  EXPECT_EQ(ours("-p WARNING"), xpath_count("count(/log/record[@level_value >= 5000])"));
  EXPECT_EQ(ours("-c orders -m 304"),
            xpath_count("count(/log/record[@component='orders' and @number=304])"));
  EXPECT_EQ(ours("-g '&'"), xpath_count("count(/log/record[contains(., '&')])"));
  EXPECT_EQ(ours(""), xpath_count("count(/log/record)"));
  EXPECT_GT(ours("-g '&'"), 10);
}

TEST_F(EklogFilterTest, ProcessAndThreadOfBasicTraceRecordsLikeGrep) {
  const Result pids = shell("grep -o ' pid=[0-9]* tid=[0-9]*\\]' " + file("all.log") +
                            " | sort | uniq -c | sort -rn | head -1");
  ASSERT_EQ(pids.status, 0);
  long count = 0, pid = 0, tid = 0;
  ASSERT_EQ(std::sscanf(pids.out.c_str(), " %ld pid=%ld tid=%ld]", &count, &pid, &tid), 3)
      << pids.out;
  const Result by_pid = eklog("-o json --pid " + std::to_string(pid) + " " + file("all.log"));
  const Result grep_pid = shell("grep -c ' pid=" + std::to_string(pid) + " ' " + file("all.log"));
  EXPECT_EQ(static_cast<long>(lines_of(by_pid.out).size()), std::stol(grep_pid.out));
  const Result by_both = eklog("-o cat --pid " + std::to_string(pid) + " --tid " +
                               std::to_string(tid) + " " + file("all.log"));
  EXPECT_EQ(static_cast<long>(lines_of(by_both.out).size()), count);
  EXPECT_EQ(by_both.out.find("rec p" + std::to_string(pid) + " t"), 0u)
      << by_both.out.substr(0, 200);
}

TEST_F(EklogFilterTest, LastRecordsAndOutputModes) {
  const Result tail = eklog("-n 5 -o json " + file("all.json"));
  // The last by time: two writers' lines reach the file a little out of
  // their time order, which a reader puts right.
  const Result jq = shell("jq -c -s 'sort_by(.time_us) | .[-5:][]' " + file("all.json"));
  EXPECT_EQ(keys(tail.out), keys(jq.out));
  EXPECT_EQ(lines_of(tail.out).size(), 5u);
  // -o json from the basic and XML formats: the JSON Lines fields, for jq.
  const Result from_xml =
      shell(eklog_test::eklog_program() + " -o json -n 1 -p SEVERE " + file("all.xml") +
            " | jq -r '[.level, .level_value, .logger, .catalog, .set, .number] | @tsv'");
  EXPECT_EQ(from_xml.status, 0) << from_xml.err;
  EXPECT_NE(from_xml.out.find("SEVERE\t6000\tlogger.dc."), std::string::npos) << from_xml.out;
  const Result cat = eklog("-o cat -m 100 -n 1 " + file("all.log"));
  EXPECT_EQ(cat.out.compare(0, 5, "rec p"), 0) << cat.out;
  const Result human = eklog("-p SEVERE -n 1 " + file("all.log"));
  EXPECT_NE(human.out.find(" SEVERE  "), std::string::npos) << human.out;
  EXPECT_NE(human.out.find(" eklogger:1:10"), std::string::npos) << human.out;
  EXPECT_EQ(human.out.find('\033'), std::string::npos) << "colour on a pipe";
}

TEST_F(EklogFilterTest, BadOptionsAreRefusedWithAReason) {
  Result result = eklog("-p LOUD " + file("all.json"));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("not a level"), std::string::npos);
  result = eklog("--since 'next tuesday' " + file("all.json"));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("not a time"), std::string::npos);
  result = eklog("-g '(' " + file("all.json"));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("missing closing parenthesis"), std::string::npos) << result.err;
}

}  // namespace

// gw_jsonformatter: exact objects, every line of a real file parsed by jq,
// texts read back by jq, and invalid UTF-8 replaced by U+FFFD.
#include <gtest/gtest.h>

#include "formatter.h"
#include "formatter_test_support.h"
#include "text_escape.h"

namespace gw {
namespace {

using namespace gw::testing;

class JsonFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override { use_time_zone("CET-1CEST,M3.5.0,M10.5.0/3"); }

  std::string format(const Record& record) const {
    std::string out;
    formatter_->format(record, out);
    return out;
  }

  std::unique_ptr<RecordFormatter> formatter_ = make_record_formatter("gw_jsonformatter");
};

TEST_F(JsonFormatterTest, ObjectOfEachKind) {
  EXPECT_EQ(format(message_record("Server started")),
            "{\"time\":\"2026-12-08T11:42:07.123456+01:00\",\"time_us\":1796726527123456,"
            "\"level\":\"INFO\",\"level_value\":4000,\"logger\":\"logger.dc.msg.main\","
            "\"product\":\"ekserver\",\"component\":\"dispatcher\",\"catalog\":\"eklogger\","
            "\"set\":1,\"number\":42,\"text\":\"Server started\"}\n");
  EXPECT_EQ(format(trace_record("opening")),
            "{\"time\":\"2026-12-08T11:42:07.123456+01:00\",\"time_us\":1796726527123456,"
            "\"level\":\"FINER\",\"level_value\":2000,\"logger\":\"logger.dc.trace.main\","
            "\"product\":\"srvport=9000 pid=123 tid=456\",\"component\":\"dispatcher\","
            "\"file\":\"src/session.cpp\",\"function\":\"Session::open\",\"line\":120,"
            "\"text\":\"opening\"}\n");
  EXPECT_EQ(format(text_record("100% %s")),
            "{\"time\":\"2026-12-08T11:42:07.123456+01:00\",\"time_us\":1796726527123456,"
            "\"level\":\"SEVERE\",\"level_value\":6000,\"logger\":\"logger.dc.err.main\","
            "\"product\":\"ekserver\",\"component\":\"dispatcher\",\"text\":\"100% %s\"}\n");
}

TEST_F(JsonFormatterTest, IllFormedUtf8ReplacedOncePerMaximalSubpart) {
  const std::string line = format(text_record("a\xc0\xaf" "b\xed\xa0\x80" "c\xe2\x82" "d\xf0\x9f\x98"));
  const std::string r = "\xef\xbf\xbd";
  EXPECT_NE(line.find("\"text\":\"a" + r + r + "b" + r + r + r + "c" + r + "d" + r + "\"}"),
            std::string::npos)
      << line;
}

// Each line of a file of hostile records is one JSON object for jq, with the
// right types, and its output is valid UTF-8 throughout.
TEST_F(JsonFormatterTest, HostileFilesParseLineByLine) {
  std::string file;
  std::size_t records = 0;
  for (const Sample& sample : hostile_samples()) {
    for (const Record& record : records_of_every_kind(sample.bytes)) {
      formatter_->format(record, file);
      ++records;
    }
  }
  Record odd = trace_record("odd numbers");
  odd.level = -7;
  odd.line = INT32_MIN;
  odd.time_us = -62135510400'000000 + 5'000'000;  // 0001-01-02T00:00:05Z
  formatter_->format(odd, file);
  ++records;

  for (std::size_t i = 0; i < file.size();) {
    const auto step = formatting::decode_utf8(std::string_view(file).substr(i));
    ASSERT_TRUE(step.valid) << "ill-formed byte at " << i;
    i += step.length;
  }

  ScratchDir dir;
  const std::string path = dir.write("records.jsonl", file);
  const CommandResult parsed = run_command("jq -c . " + shell_quote(path) + " 2>&1 | wc -l");
  EXPECT_EQ(std::stoul(parsed.output), records);
  const CommandResult strict = run_command("jq -e -c . " + shell_quote(path) + " >/dev/null 2>&1");
  EXPECT_EQ(strict.exit_status, 0);
  // Types a shipper relies on, for every record; false or null fails -e.
  const CommandResult types = run_command(
      "jq -e -s 'all(.[]; (.time|type)==\"string\" and (.time_us|type)==\"number\" and "
      "(.level|type)==\"string\" and (.level_value|type)==\"number\" and (.text|type)==\"string\" and "
      "((.catalog|type)==\"string\" and (.set|type)==\"number\" and (.number|type)==\"number\" or "
      "(.file|type)==\"string\" and (.function|type)==\"string\" and (.line|type)==\"number\" or "
      "(has(\"catalog\") or has(\"file\") | not)))' " + shell_quote(path) + " 2>&1");
  EXPECT_EQ(types.exit_status, 0) << types.output;
  const CommandResult last = run_command("tail -n 1 " + shell_quote(path) + " | jq -c '[.level,.line,.time]'");
  EXPECT_EQ(last.output, "[\"-7\",-2147483648,\"0001-01-02T01:00:05.000000+01:00\"]\n");
}

// jq gives back every valid UTF-8 value exactly, in text and in the other
// fields, NUL and controls included.
TEST_F(JsonFormatterTest, ValidTextsReadBackThroughJq) {
  ScratchDir dir;
  for (const Sample& sample : hostile_samples()) {
    if (!sample.valid_utf8) continue;
    SCOPED_TRACE(sample.name);
    const std::string want = dir.write("want.txt", sample.bytes);
    std::string lines;
    for (const Record& record : records_of_every_kind(sample.bytes)) formatter_->format(record, lines);
    const std::string path = dir.write("records.jsonl", lines);
    const CommandResult same = run_command(
        "jq -e -s --rawfile want " + shell_quote(want) +
        " 'length == 3 and all(.[]; .text == $want and .product == $want and .logger == $want) and "
        ".[0].catalog == $want and .[1].file == $want and .[1].function == $want' " +
        shell_quote(path) + " 2>&1");
    EXPECT_EQ(same.exit_status, 0) << same.output.substr(0, 500);
  }
}

}  // namespace
}  // namespace gw

// gw_jsonformatter: an exact object, every line of a real file parsed by jq
// with the right types, and values read back by jq.
#include <gtest/gtest.h>

#include "formatter_test_support.h"
#include "toolkit/formatters/text_escape.h"

namespace gw {
namespace {

using namespace gw::testing;

class JsonFormatterTest : public FormatterFixture {
 protected:
  JsonFormatterTest() : FormatterFixture("gw_jsonformatter") {}
};

TEST_F(JsonFormatterTest, ObjectOfEachKind) {
  const std::string start =
      "{\"time\":\"2026-12-08T11:42:07.123456+01:00\",\"time_us\":1796726527123456,";
  EXPECT_EQ(format(sample_record(RecordKind::kMessage, "100% \"q\" \\ \n\x01\xe2\x80\xa8")),
            start +
                "\"level\":\"INFO\",\"level_value\":4000,\"logger\":\"logger.dc.main\",\"product\":"
                "\"ekserver\","
                "\"component\":\"dispatcher\",\"catalog\":\"eklogger\",\"set\":1,\"number\":42,"
                "\"text\":\"100% \\\"q\\\" \\\\ \\n\\u0001\\u2028\"}\n");
  EXPECT_NE(
      format(sample_record(RecordKind::kTrace, "x"))
          .find(",\"file\":\"src/"
                "session.cpp\",\"function\":\"Session::open\",\"line\":120,\"text\":\"x\"}\n"),
      std::string::npos);
  EXPECT_EQ(format(sample_record(RecordKind::kText, "x")),
            start +
                "\"level\":\"SEVERE\",\"level_value\":6000,\"logger\":\"logger.dc.main\","
                "\"product\":\"ekserver\","
                "\"component\":\"dispatcher\",\"text\":\"x\"}\n");
  // One U+FFFD per maximal ill-formed subpart.
  const std::string r = "\xef\xbf\xbd";
  EXPECT_NE(format(sample_record(RecordKind::kText,
                                 "a\xc0\xaf"
                                 "b\xed\xa0\x80"
                                 "c\xe2\x82"
                                 "d\xf0\x9f\x98"))
                .find("\"text\":\"a" + r + r + "b" + r + r + r + "c" + r + "d" + r + "\"}"),
            std::string::npos);
}

// Each line of a file of hostile records is one object for jq, with the
// types a shipper relies on, and the file is valid UTF-8 throughout.
TEST_F(JsonFormatterTest, HostileFilesParseLineByLine) {
  std::size_t records;
  std::string file = hostile_file(*formatter_, records);
  Record odd = sample_record(RecordKind::kTrace, "odd");
  odd.level = -7, odd.line = INT32_MIN, odd.time_us = -62135510400'000000 + 5'000'000;
  formatter_->format(odd, file);
  for (std::size_t i = 0; i < file.size();) {
    const auto step = formatting::decode_utf8(std::string_view(file).substr(i));
    ASSERT_TRUE(step.valid) << "ill-formed byte at " << i;
    i += step.length;
  }
  const std::string path = shell_quote(scratch_file("records.jsonl", file));
  EXPECT_EQ(std::stoul(run_command("jq -c . " + path + " | wc -l").output), records + 1);
  const CommandResult types = run_command(
      "jq -e -s 'all(.[]; (.time|type)==\"string\" and (.time_us|type)==\"number\" and "
      "(.level|type)==\"string\" and (.level_value|type)==\"number\" and (.text|type)==\"string\" "
      "and "
      "((.catalog|type)==\"string\" and (.set|type)==\"number\" and (.number|type)==\"number\" or "
      "(.file|type)==\"string\" and (.function|type)==\"string\" and (.line|type)==\"number\" or "
      "(has(\"catalog\") or has(\"file\") | not)))' " +
      path);
  EXPECT_EQ(types.exit_status, 0);
  EXPECT_EQ(run_command("tail -n 1 " + path + " | jq -c '[.level,.line,.time]'").output,
            "[\"-7\",-2147483648,\"0001-01-02T01:00:05.000000+01:00\"]\n");
}

// jq gives back every valid UTF-8 value exactly, NUL and controls included.
TEST_F(JsonFormatterTest, ValidValuesReadBackThroughJq) {
  for (const Sample& sample : hostile_samples()) {
    if (!sample.valid_utf8) continue;
    std::string lines;
    for (const Record& record : records_of_every_kind(sample.bytes))
      formatter_->format(record, lines);
    const CommandResult same = run_command(
        "jq -e -s --rawfile want " + shell_quote(scratch_file("want.txt", sample.bytes)) +
        " 'length == 3 and all(.[]; .text == $want and .product == $want and .logger == $want) and "
        ".[0].catalog == $want and .[1].file == $want and .[1].function == $want' " +
        shell_quote(scratch_file("records.jsonl", lines)));
    EXPECT_EQ(same.exit_status, 0) << sample.name;
  }
}

}  // namespace
}  // namespace gw

// gw_basicformatter: exact lines, one line per record whatever the fields
// hold, a lossless round trip through the escapes, and the documented
// expressions run by grep and sed over a real file.
#include <gtest/gtest.h>

#include "formatter_test_support.h"
#include "toolkit/formatters/text_escape.h"

namespace gw {
namespace {

using namespace gw::testing;

class BasicFormatterTest : public FormatterFixture {
 protected:
  BasicFormatterTest() : FormatterFixture("gw_basicformatter") {}
};

TEST_F(BasicFormatterTest, LineOfEachKind) {
  const std::string time = "2026-12-08T11:42:07.123456+01:00 ";
  EXPECT_EQ(format(sample_record(RecordKind::kMessage, "Server started")),
            time + "INFO [ekserver] [dispatcher] [eklogger:1:42] Server started\n");
  EXPECT_EQ(format(sample_record(RecordKind::kTrace, "100% %s")),
            time +
                "FINER [srvport=9000 pid=123 tid=456] [dispatcher] [src/session.cpp:120 "
                "Session::open] 100% %s\n");
  Record odd = sample_record(RecordKind::kText, "");
  odd.level = 4500;
  EXPECT_EQ(format(odd), time + "4500 [ekserver] [dispatcher] [] \n");
  odd = sample_record(RecordKind::kMessage, "a\nb");
  odd.set = -1;
  EXPECT_EQ(format(odd), time + "INFO [ekserver] [dispatcher] [eklogger:-1:42] a\\nb\n");
}

TEST_F(BasicFormatterTest, AppendsToAndReusesTheCallersBuffer) {
  std::string out = "kept|";
  formatter_->format(sample_record(RecordKind::kText, "one"), out);
  EXPECT_EQ(out.rfind("kept|2026-12-08T11:42:07.123456+01:00 SEVERE ", 0), 0u);
  const char* buffer = nullptr;
  for (int i = 0; i < 100; ++i) {
    out.clear();
    formatter_->format(sample_record(RecordKind::kTrace, "steady state"), out);
    if (i == 0) buffer = out.data();
  }
  EXPECT_EQ(out.data(), buffer);  // no reallocation once grown
}

// Whatever any field holds: exactly one line of printable ASCII and valid
// UTF-8, and unescaping each field gives back its bytes.
TEST_F(BasicFormatterTest, HostileFieldsStayOneLineAndRoundTrip) {
  for (const Sample& sample : hostile_samples()) {
    for (const Record& record : records_of_every_kind(sample.bytes)) {
      SCOPED_TRACE(sample.name + ", kind " + std::to_string(static_cast<int>(record.kind)));
      const std::string line = format(record);
      ASSERT_EQ(line.find('\n'), line.size() - 1);
      for (std::size_t i = 0; i + 1 < line.size();) {
        const auto step = formatting::decode_utf8(std::string_view(line).substr(i));
        const char32_t c = step.code_point;
        ASSERT_TRUE(step.valid && c >= 0x20 && c != 0x7f && !(c >= 0x80 && c <= 0x9f) &&
                    c != 0x2028 && c != 0x2029)
            << "raw control or ill-formed byte at " << i;
        i += step.length;
      }
      // Split as the documentation says: bracketed fields hold no raw "]".
      std::vector<std::string> fields;  // product, component, origin, text
      std::size_t at = line.find(" [", line.find(' ') + 1);
      for (int i = 0; i < 3; ++i) {
        const std::size_t close = line.find(']', at);
        fields.push_back(line.substr(at + 2, close - at - 2));
        at = close + 1;
      }
      fields.push_back(line.substr(at + 1, line.size() - at - 2));
      // Names hold no raw ":", so the first one ends them.
      const std::string origin = fields[2];
      const std::size_t colon = origin.find(':');
      fields.erase(fields.begin() + 2);
      if (record.kind == RecordKind::kMessage) {
        EXPECT_EQ(origin.substr(colon), ":1:42");
        fields.push_back(origin.substr(0, colon));
      } else if (record.kind == RecordKind::kTrace) {
        ASSERT_EQ(origin.compare(colon, 5, ":120 "), 0) << origin.substr(0, 100);
        fields.push_back(origin.substr(0, colon));
        fields.push_back(origin.substr(colon + 5));
      } else {
        EXPECT_EQ(origin, "");
      }
      std::string bytes;
      for (const std::string& field : fields) {
        ASSERT_TRUE(unescape_basic(field, bytes)) << field.substr(0, 100);
        EXPECT_EQ(bytes, sample.bytes) << field.substr(0, 100);
      }
    }
  }
}

// The expressions published in docs/log-formats.md, run by grep and sed.
TEST_F(BasicFormatterTest, FileMatchesTheDocumentedGrammar) {
  const std::string line_grammar =
      "^([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}[+-][0-9]{2}:[0-9]{2}) "
      "([A-Z]+|-?[0-9]+) \\[([^]]*)\\] \\[([^]]*)\\] \\[([^]]*)\\] (.*)$";
  const std::string origin_grammar = "^([^:]*):(-?[0-9]+):(-?[0-9]+)$|^([^:]*):(-?[0-9]+) (.*)$|^$";
  std::size_t records;
  const std::string path =
      shell_quote(scratch_file("basic.log", hostile_file(*formatter_, records)));
  const auto count = [](const std::string& command) {
    return std::stoul(run_command(command).output);
  };
  EXPECT_EQ(count("wc -l < " + path), records);
  EXPECT_EQ(count("LC_ALL=C grep -c -E " + shell_quote(line_grammar) + " " + path), records);
  EXPECT_EQ(count("LC_ALL=C sed -E " + shell_quote("s/" + line_grammar + "/\\5/") + " " + path +
                  " | LC_ALL=C grep -c -E " + shell_quote(origin_grammar)),
            records);
  const std::string numbers =
      "LC_ALL=C sed -nE 's/^[^[]*\\[[^]]*\\] \\[[^]]*\\] \\[[^]:]*:(-?[0-9]+):(-?[0-9]+)\\] "
      ".*$/\\1 \\2/p' " +
      path;
  EXPECT_EQ(count(numbers + " | wc -l"), records / 3);
  EXPECT_EQ(run_command(numbers + " | sort -u").output, "1 42\n");
  const std::string trace =
      shell_quote(scratch_file("trace.log", format(sample_record(RecordKind::kTrace, "x"))));
  EXPECT_EQ(
      run_command("LC_ALL=C awk -F'] ' '{ sub(/^[^[]*\\[/, \"\", $1); print $1 }' " + trace).output,
      "srvport=9000 pid=123 tid=456\n");
}

}  // namespace
}  // namespace gw

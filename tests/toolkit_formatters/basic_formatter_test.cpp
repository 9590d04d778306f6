// gw_basicformatter: exact lines for each record kind, one line per record
// whatever the fields hold, a lossless round trip through the escapes, and
// the documented grammar checked with grep on a real file.
#include <gtest/gtest.h>

#include "formatter.h"
#include "formatter_test_support.h"
#include "text_escape.h"

namespace gw {
namespace {

using namespace gw::testing;

class BasicFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override { use_time_zone("CET-1CEST,M3.5.0,M10.5.0/3"); }

  std::string format(const Record& record) const {
    std::string out;
    formatter_->format(record, out);
    return out;
  }

  std::unique_ptr<RecordFormatter> formatter_ = make_record_formatter("gw_basicformatter");
};

TEST_F(BasicFormatterTest, LineOfEachKind) {
  EXPECT_EQ(format(message_record("Server started")),
            "2026-12-08T11:42:07.123456+01:00 INFO [ekserver] [dispatcher] [eklogger:1:42] Server started\n");
  EXPECT_EQ(format(trace_record("opening")),
            "2026-12-08T11:42:07.123456+01:00 FINER [srvport=9000 pid=123 tid=456] [dispatcher] "
            "[src/session.cpp:120 Session::open] opening\n");
  EXPECT_EQ(format(text_record("plain")),
            "2026-12-08T11:42:07.123456+01:00 SEVERE [ekserver] [dispatcher] [] plain\n");
}

TEST_F(BasicFormatterTest, NumbersWrittenAsTheyAre) {
  Record record = message_record("");
  record.level = 4500;
  record.set = -1;
  record.number = 2147483647;
  EXPECT_EQ(format(record),
            "2026-12-08T11:42:07.123456+01:00 4500 [ekserver] [dispatcher] [eklogger:-1:2147483647] \n");
  Record trace = trace_record("%s%n%%");
  trace.line = 0;
  trace.function = "";
  EXPECT_EQ(format(trace),
            "2026-12-08T11:42:07.123456+01:00 FINER [srvport=9000 pid=123 tid=456] [dispatcher] "
            "[src/session.cpp:0 ] %s%n%%\n");
}

TEST_F(BasicFormatterTest, AppendsAndReusesTheCallersBuffer) {
  std::string out = "kept|";
  formatter_->format(message_record("one"), out);
  EXPECT_EQ(out.rfind("kept|2026-12-08T11:42:07.123456+01:00 INFO ", 0), 0u);

  out.clear();
  formatter_->format(trace_record("steady state"), out);
  const char* buffer = out.data();
  const std::size_t capacity = out.capacity();
  for (int i = 0; i < 100; ++i) {
    out.clear();
    formatter_->format(trace_record("steady state"), out);
  }
  EXPECT_EQ(out.data(), buffer);
  EXPECT_EQ(out.capacity(), capacity);
}

// Whatever any field holds: exactly one line, only printable ASCII or valid
// UTF-8 in it, and unescaping each field gives back its bytes.
TEST_F(BasicFormatterTest, HostileFieldsStayOneLineAndRoundTrip) {
  for (const Sample& sample : hostile_samples()) {
    for (const Record& record : records_of_every_kind(sample.bytes)) {
      SCOPED_TRACE(sample.name + ", kind " + std::to_string(static_cast<int>(record.kind)));
      const std::string line = format(record);
      ASSERT_FALSE(line.empty());
      ASSERT_EQ(line.back(), '\n');
      const std::string_view body(line.data(), line.size() - 1);
      for (std::size_t i = 0; i < body.size();) {
        const auto step = formatting::decode_utf8(body.substr(i));
        ASSERT_TRUE(step.valid) << "ill-formed byte at " << i;
        ASSERT_FALSE(step.code_point < 0x20 || step.code_point == 0x7f ||
                     (step.code_point >= 0x80 && step.code_point <= 0x9f) ||
                     step.code_point == 0x2028 || step.code_point == 0x2029)
            << "raw control at " << i;
        i += step.length;
      }

      BasicLine fields;
      ASSERT_TRUE(split_basic_line(body, fields));
      std::string bytes;
      ASSERT_TRUE(unescape_basic(fields.product, bytes));
      EXPECT_EQ(bytes, sample.bytes);
      ASSERT_TRUE(unescape_basic(fields.component, bytes));
      EXPECT_EQ(bytes, sample.bytes);
      ASSERT_TRUE(unescape_basic(fields.text, bytes));
      EXPECT_EQ(bytes, sample.bytes);

      // Names inside the origin have no raw ":", so the first ":" ends them.
      const std::size_t colon = fields.origin.find(':');
      switch (record.kind) {
        case RecordKind::kMessage: {
          ASSERT_NE(colon, std::string::npos);
          ASSERT_TRUE(unescape_basic(fields.origin.substr(0, colon), bytes));
          EXPECT_EQ(bytes, sample.bytes);
          EXPECT_EQ(fields.origin.substr(colon), ":1:42");
          break;
        }
        case RecordKind::kTrace: {
          ASSERT_NE(colon, std::string::npos);
          ASSERT_TRUE(unescape_basic(fields.origin.substr(0, colon), bytes));
          EXPECT_EQ(bytes, sample.bytes);
          ASSERT_EQ(fields.origin.compare(colon, 5, ":120 "), 0);
          ASSERT_TRUE(unescape_basic(fields.origin.substr(colon + 5), bytes));
          EXPECT_EQ(bytes, sample.bytes);
          break;
        }
        case RecordKind::kText:
          EXPECT_EQ(fields.origin, "");
          break;
      }
    }
  }
}

TEST_F(BasicFormatterTest, ForgedRecordStaysInsideItsText) {
  const std::string line =
      format(message_record("done\n2026-12-08T11:42:07.000000+01:00 SEVERE [x] [y] [] forged"));
  EXPECT_EQ(line,
            "2026-12-08T11:42:07.123456+01:00 INFO [ekserver] [dispatcher] [eklogger:1:42] "
            "done\\n2026-12-08T11:42:07.000000+01:00 SEVERE [x] [y] [] forged\n");
}

// The regular expressions published in docs/log-formats.md, run by grep and
// sed over a real file: every line and every origin matches, and the line
// count is the record count.
TEST_F(BasicFormatterTest, FileMatchesTheDocumentedGrammar) {
  const std::string line_grammar =
      "^([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}[+-][0-9]{2}:[0-9]{2}) "
      "([A-Z]+|-?[0-9]+) \\[([^]]*)\\] \\[([^]]*)\\] \\[([^]]*)\\] (.*)$";
  const std::string origin_grammar = "^([^:]*):(-?[0-9]+):(-?[0-9]+)$|^([^:]*):(-?[0-9]+) (.*)$|^$";
  std::string file;
  std::size_t records = 0;
  std::size_t messages = 0;
  for (const Sample& sample : hostile_samples()) {
    for (const Record& record : records_of_every_kind(sample.bytes)) {
      formatter_->format(record, file);
      ++records;
      messages += record.kind == RecordKind::kMessage;
    }
  }
  ScratchDir dir;
  const std::string path = shell_quote(dir.write("basic.log", file));
  EXPECT_EQ(std::stoul(run_command("wc -l < " + path).output), records);
  EXPECT_EQ(std::stoul(run_command("LC_ALL=C grep -c -E " + shell_quote(line_grammar) + " " + path).output),
            records);
  const CommandResult origins = run_command("LC_ALL=C sed -E " + shell_quote("s/" + line_grammar + "/\\5/") +
                                            " " + path + " | LC_ALL=C grep -c -E " + shell_quote(origin_grammar));
  EXPECT_EQ(std::stoul(origins.output), records);

  // The documentation's sed for set and number finds every message.
  const std::string numbers =
      "LC_ALL=C sed -nE 's/^[^[]*\\[[^]]*\\] \\[[^]]*\\] \\[[^]:]*:(-?[0-9]+):(-?[0-9]+)\\] .*$/\\1 \\2/p' " +
      path;
  EXPECT_EQ(std::stoul(run_command(numbers + " | wc -l").output), messages);
  EXPECT_EQ(run_command(numbers + " | sort -u").output, "1 42\n");
  // And its awk split finds the product of a trace.
  const CommandResult product = run_command(
      "LC_ALL=C awk -F'] ' '{ sub(/^[^[]*\\[/, \"\", $1); print $1; exit }' " +
      shell_quote(dir.write("trace.log", format(trace_record("x")))));
  EXPECT_EQ(product.output, "srvport=9000 pid=123 tid=456\n");
}

}  // namespace
}  // namespace gw

// gw_xmlformatter: exact records, real files validated by xmllint against
// schema/eklogger-log.xsd, and texts and attributes read back by xmllint.
#include <gtest/gtest.h>

#include "formatter.h"
#include "formatter_test_support.h"
#include "text_escape.h"

namespace gw {
namespace {

using namespace gw::testing;

const std::string kSchema = std::string(EKLOGGER_SOURCE_DIR) + "/schema/eklogger-log.xsd";

class XmlFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override { use_time_zone("CET-1CEST,M3.5.0,M10.5.0/3"); }

  std::string format(const Record& record) const {
    std::string out;
    formatter_->format(record, out);
    return out;
  }

  // header + records + trailer, as a closed file holds them.
  std::string document(const std::vector<Record>& records) const {
    std::string text = formatter_->header();
    for (const Record& record : records) formatter_->format(record, text);
    return text + formatter_->trailer();
  }

  static CommandResult validate(const std::string& path) {
    return run_command("xmllint --noout --schema " + shell_quote(kSchema) + " " + shell_quote(path) +
                       " 2>&1");
  }

  // The string value of an XPath expression, as xmllint prints it.
  static std::string xpath(const std::string& path, const std::string& expression) {
    CommandResult result =
        run_command("xmllint --xpath " + shell_quote(expression) + " " + shell_quote(path));
    EXPECT_EQ(result.exit_status, 0) << expression;
    if (!result.output.empty() && result.output.back() == '\n') result.output.pop_back();
    return result.output;
  }

  std::unique_ptr<RecordFormatter> formatter_ = make_record_formatter("gw_xmlformatter");
};

TEST_F(XmlFormatterTest, RecordOfEachKind) {
  EXPECT_EQ(format(message_record("Server started")),
            "<record time=\"2026-12-08T11:42:07.123456+01:00\" time_us=\"1796726527123456\" "
            "level=\"INFO\" level_value=\"4000\" logger=\"logger.dc.msg.main\" product=\"ekserver\" "
            "component=\"dispatcher\" catalog=\"eklogger\" set=\"1\" number=\"42\">Server started</record>\n");
  EXPECT_EQ(format(trace_record("opening")),
            "<record time=\"2026-12-08T11:42:07.123456+01:00\" time_us=\"1796726527123456\" "
            "level=\"FINER\" level_value=\"2000\" logger=\"logger.dc.trace.main\" "
            "product=\"srvport=9000 pid=123 tid=456\" component=\"dispatcher\" "
            "file=\"src/session.cpp\" function=\"Session::open\" line=\"120\">opening</record>\n");
  EXPECT_EQ(format(text_record("100% %s")),
            "<record time=\"2026-12-08T11:42:07.123456+01:00\" time_us=\"1796726527123456\" "
            "level=\"SEVERE\" level_value=\"6000\" logger=\"logger.dc.err.main\" product=\"ekserver\" "
            "component=\"dispatcher\">100% %s</record>\n");
}

TEST_F(XmlFormatterTest, ForbiddenCharactersReplacedVisibly) {
  using namespace std::string_literals;
  const std::string line = format(text_record("a\0b\x1b[0m\xff\xef\xbf\xbe\n<&>"s));
  EXPECT_NE(line.find(">a\xe2\x90\x80" "b\xe2\x90\x9b[0m\xef\xbf\xbd\xef\xbf\xbd&#10;&lt;&amp;&gt;</record>\n"),
            std::string::npos)
      << line;
}

// Every record on its own line, and the closed file valid against the schema,
// whatever the fields hold, including odd levels, numbers and times.
TEST_F(XmlFormatterTest, HostileFilesValidateAgainstTheSchema) {
  std::vector<Record> records;
  const std::vector<Sample> samples = hostile_samples();
  for (const Sample& sample : samples) {
    for (Record& record : records_of_every_kind(sample.bytes)) records.push_back(record);
  }
  Record odd = message_record("odd numbers");
  odd.level = -7;
  odd.set = INT32_MIN;
  odd.number = INT32_MAX;
  odd.time_us = INT64_MIN;
  records.push_back(odd);
  odd.time_us = INT64_MAX;
  odd.level = 0;
  records.push_back(odd);

  const std::string text = document(records);
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, records.size() + 3);  // declaration, <log>, records, </log>

  ScratchDir dir;
  const CommandResult result = validate(dir.write("records.xml", text));
  EXPECT_EQ(result.exit_status, 0) << result.output.substr(0, 2000);
}

// Guards the check above: the same harness rejects what is not valid.
TEST_F(XmlFormatterTest, SchemaRejectsWhatTheFormatterMustNotWrite) {
  ScratchDir dir;
  const std::string header = formatter_->header();
  const std::string good = format(message_record("x"));
  std::string no_offset = good;
  no_offset.replace(no_offset.find("+01:00"), 6, "");
  std::string bad_level = good;
  bad_level.replace(bad_level.find("\"INFO\""), 6, "\"Info\"");
  for (const std::string& bad : {header + good, header + no_offset + "</log>\n",
                                 header + bad_level + "</log>\n",
                                 header + "<record>\x01</record>\n</log>\n"}) {
    EXPECT_NE(validate(dir.write("bad.xml", bad)).exit_status, 0) << bad;
  }
}

// A parser gives back each text and attribute exactly when it is valid
// UTF-8 with no character XML cannot carry.
TEST_F(XmlFormatterTest, TextsAndAttributesReadBack) {
  std::vector<std::string> values;
  for (const Sample& sample : hostile_samples()) {
    if (!sample.valid_utf8 || sample.bytes.size() > 4096) continue;
    bool xml_safe = true;
    for (std::size_t i = 0; i < sample.bytes.size();) {
      const auto step = formatting::decode_utf8(std::string_view(sample.bytes).substr(i));
      const char32_t c = step.code_point;
      if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xfffe || c == 0xffff) xml_safe = false;
      i += step.length;
    }
    if (xml_safe) values.push_back(sample.bytes);
  }
  ASSERT_GE(values.size(), 8u);

  std::vector<Record> records;
  for (const std::string& value : values) {
    Record record = trace_record(value);
    record.product = value;
    record.function = value;
    records.push_back(record);
  }
  ScratchDir dir;
  const std::string path = dir.write("readback.xml", document(records));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string record = "/log/record[" + std::to_string(i + 1) + "]";
    SCOPED_TRACE(record);
    // xmllint ends what it prints with a newline of its own, taken off
    // above, so a value that ends in one is compared with it.
    EXPECT_EQ(xpath(path, "string(" + record + ")"), values[i]);
    EXPECT_EQ(xpath(path, "string(" + record + "/@product)"), values[i]);
    EXPECT_EQ(xpath(path, "string(" + record + "/@function)"), values[i]);
  }
  EXPECT_EQ(xpath(path, "string(/log/record[1]/@line)"), "120");
  EXPECT_EQ(xpath(path, "string(/log/record[1]/@time_us)"), "1796726527123456");
}

}  // namespace
}  // namespace gw

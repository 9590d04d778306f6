// gw_xmlformatter: an exact record, real files validated by xmllint against
// schema/eklogger-log.xsd, and values read back by xmllint.
#include <gtest/gtest.h>

#include "formatter_test_support.h"
#include "toolkit/formatters/text_escape.h"

namespace gw {
namespace {

using namespace gw::testing;

const std::string kSchema = std::string(EKLOGGER_SOURCE_DIR) + "/schema/eklogger-log.xsd";

class XmlFormatterTest : public FormatterFixture {
 protected:
  XmlFormatterTest() : FormatterFixture("gw_xmlformatter") {}
  static int validate(const std::string& document) {
    const std::string path = scratch_file("validate.xml", document);
    return run_command("xmllint --noout --schema " + shell_quote(kSchema) + " " +
                       shell_quote(path) + " 2>/dev/null")
        .exit_status;
  }
};

TEST_F(XmlFormatterTest, RecordOfEachKind) {
  const std::string start =
      "<record time=\"2026-12-08T11:42:07.123456+01:00\" time_us=\"1796726527123456\" level=\"";
  EXPECT_EQ(format(sample_record(RecordKind::kTrace, "100% <x> \"q\" &\t\n")),
            start +
                "FINER\" level_value=\"2000\" logger=\"logger.dc.main\" product=\"srvport=9000 "
                "pid=123 tid=456\" "
                "component=\"dispatcher\" file=\"src/session.cpp\" function=\"Session::open\" "
                "line=\"120\">"
                "100% &lt;x&gt; &quot;q&quot; &amp;&#9;&#10;</record>\n");
  const std::string message = format(sample_record(RecordKind::kMessage, ""));
  EXPECT_NE(message.find("\" catalog=\"eklogger\" set=\"1\" number=\"42\"></record>\n"),
            std::string::npos);
  // Characters XML cannot carry: control pictures and U+FFFD.
  const std::string text =
      format(sample_record(RecordKind::kText, "a\0b\x1b\xff\xef\xbf\xbe\xc2\x85"s));
  EXPECT_NE(text.find("\">a\xe2\x90\x80"
                      "b\xe2\x90\x9b\xef\xbf\xbd\xef\xbf\xbd&#133;</record>\n"),
            std::string::npos);
  EXPECT_EQ(text.find("catalog="), std::string::npos);
  EXPECT_EQ(text.find("file="), std::string::npos);
}

// The closed file is valid against the schema whatever the fields hold, and
// the same check rejects what the formatter must never write.
TEST_F(XmlFormatterTest, FilesValidateAgainstTheSchema) {
  std::size_t records;
  std::string body = hostile_file(*formatter_, records);
  Record odd = sample_record(RecordKind::kMessage, "odd");
  odd.level = -7, odd.set = INT32_MIN, odd.time_us = INT64_MIN;
  formatter_->format(odd, body);
  EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), static_cast<long>(records + 1));
  const std::string header = formatter_->header();
  EXPECT_EQ(validate(header + body + formatter_->trailer()), 0);

  const std::string good = format(odd);
  for (const auto& [from, to] :
       {std::pair{"+01:00\"", "\""}, {"\"-7\"", "\"Info\""}, {">odd<", ">\x01<"}}) {
    std::string bad = good;
    bad.replace(bad.find(from), std::string_view(from).size(), to);
    EXPECT_NE(validate(header + bad + formatter_->trailer()), 0) << bad;
  }
  EXPECT_NE(validate(header + good), 0);  // no trailer
}

// A parser gives back each text and attribute exactly when it is valid
// UTF-8 with no character XML 1.0 cannot carry.
TEST_F(XmlFormatterTest, ValuesReadBackThroughXmllint) {
  std::string body;
  std::vector<std::string> values;
  for (const Sample& sample : hostile_samples()) {
    bool xml_safe = sample.valid_utf8 && sample.bytes.size() < 4096;
    for (std::size_t i = 0; xml_safe && i < sample.bytes.size();) {
      const auto step = formatting::decode_utf8(std::string_view(sample.bytes).substr(i));
      const char32_t c = step.code_point;
      xml_safe = !(c < 0x20 && c != '\t' && c != '\n' && c != '\r') && c != 0xfffe && c != 0xffff;
      i += step.length;
    }
    if (!xml_safe) continue;
    values.push_back(sample.bytes);
    for (const Record& record : records_of_every_kind(sample.bytes))
      formatter_->format(record, body);
  }
  ASSERT_GE(values.size(), 8u);
  const std::string path = shell_quote(
      scratch_file("readback.xml", formatter_->header() + body + formatter_->trailer()));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string message = "/log/record[" + std::to_string(3 * i + 1) + "]";
    const std::string trace = "/log/record[" + std::to_string(3 * i + 2) + "]";
    for (const std::string& expression :
         {message, message + "/@product", message + "/@catalog", trace + "/@logger",
          trace + "/@file", trace + "/@function"}) {
      // xmllint ends what it prints with a newline of its own.
      EXPECT_EQ(
          run_command("xmllint --xpath " + shell_quote("string(" + expression + ")") + " " + path)
              .output,
          values[i] + "\n")
          << expression;
    }
  }
}

}  // namespace
}  // namespace gw

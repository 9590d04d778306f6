#include "toolkit/syslog/rfc5424.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "toolkit/levels.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

gw::Record message_record(int level, std::string_view text) {
  gw::Record record;
  record.time_us = 1796726527123456;  // 2026-12-08T10:42:07.123456Z
  record.level = level;
  record.kind = gw::RecordKind::kMessage;
  record.component = "orders";
  record.catalog = "eklogger";
  record.set = 1;
  record.number = 42;
  record.text = text;
  return record;
}

std::string build(const gw::Record& record, std::string_view message, std::size_t max = 8192) {
  gw::SyslogHeader header;
  header.facility = 16;  // local0
  header.hostname = "host1";
  header.app_name = "srv";
  header.process_id = 321;
  header.thread_id = 654;
  std::string out;
  gw::build_syslog_message(record, header, message, max, out);
  return out;
}

TEST(SyslogMessageTest, HeaderCarriesPriorityTimeHostAppProcidAndMsgid) {
  const std::string out = build(message_record(gw::kLevelSevere, "disk full"), "disk full\n");
  EXPECT_EQ(out,
            "<131>1 2026-12-08T10:42:07.123456Z host1 srv 321 eklogger.1.42 "
            "[eklogger@32473 component=\"orders\" catalog=\"eklogger\" set=\"1\" number=\"42\" "
            "pid=\"321\" tid=\"654\"] disk full");
}

TEST(SyslogMessageTest, SeverityFollowsTheRecordLevel) {
  EXPECT_EQ(gw::syslog_severity(gw::kLevelSevere), 3);
  EXPECT_EQ(gw::syslog_severity(gw::kLevelWarning), 4);
  EXPECT_EQ(gw::syslog_severity(gw::kLevelInfo), 6);
  EXPECT_EQ(gw::syslog_severity(gw::kLevelFine), 7);
  EXPECT_EQ(gw::syslog_severity(gw::kLevelFinest), 7);
  EXPECT_EQ(gw::syslog_facility("user"), 1);
  EXPECT_EQ(gw::syslog_facility("local7"), 23);
  EXPECT_EQ(gw::syslog_facility("LOCAL7"), -1);
}

TEST(SyslogMessageTest, TraceRecordsCarryTheSourcePosition) {
  gw::Record record = message_record(gw::kLevelFiner, "t");
  record.kind = gw::RecordKind::kTrace;
  record.file = "a.cpp";
  record.function = "serve";
  record.line = 17;
  const std::string out = build(record, "t");
  EXPECT_THAT(out, StartsWith("<135>1 "));
  EXPECT_THAT(out, HasSubstr(" FINER [eklogger@32473 component=\"orders\" file=\"a.cpp\" "
                             "function=\"serve\" line=\"17\" pid=\"321\" tid=\"654\"] t"));
}

TEST(SyslogMessageTest, StructuredDataValuesAreEscaped) {
  gw::Record record = message_record(gw::kLevelInfo, "x");
  record.component = "a\"b]c\\d\ne";
  const std::string out = build(record, "x");
  EXPECT_THAT(out, HasSubstr("component=\"a\\\"b\\]c\\\\d\\x0ae\""));
}

TEST(SyslogMessageTest, HeaderFieldsArePrintableAsciiWithinTheirLimits) {
  gw::Record record = message_record(gw::kLevelInfo, "x");
  gw::SyslogHeader header;
  const std::string long_app(100, 'a');
  header.app_name = "my app\xc3\xa9";
  std::string out;
  gw::build_syslog_message(record, header, "x", 8192, out);
  EXPECT_THAT(out, HasSubstr("Z - my_app__ - eklogger.1.42 "));
  header.app_name = long_app;
  gw::build_syslog_message(record, header, "x", 8192, out);
  EXPECT_THAT(out, HasSubstr(" " + std::string(48, 'a') + " - "));
}

TEST(SyslogMessageTest, MessageIsOneLineOfValidUtf8) {
  const std::string out = build(message_record(gw::kLevelInfo, ""), "a\nb\xff\xc3(c\xe2\x82\xac");
  EXPECT_THAT(out, EndsWith("] a\\x0ab\\xff\\xc3(c\xe2\x82\xac"));
  EXPECT_EQ(out.find('\n'), std::string::npos);
}

TEST(SyslogMessageTest, LongMessageIsCutAtACharacterBoundaryAndMarked) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "\xe2\x82\xac";  // three bytes each
  const std::string out = build(message_record(gw::kLevelInfo, ""), text, 1024);
  EXPECT_LE(out.size(), 1024u);
  EXPECT_GT(out.size(), 1000u);
  EXPECT_THAT(out, EndsWith(std::string(gw::kSyslogTruncatedMarker)));
  const std::string body = out.substr(out.find("] ") + 2);
  const std::string kept = body.substr(0, body.size() - gw::kSyslogTruncatedMarker.size());
  EXPECT_EQ(kept.size() % 3, 0u) << "cut inside a character";
  // A message that fits is not marked.
  EXPECT_THAT(build(message_record(gw::kLevelInfo, ""), "short", 1024), EndsWith("] short"));
}

TEST(SyslogMessageTest, NegativeNumbersStayNegative) {
  gw::Record record = message_record(gw::kLevelInfo, "x");
  record.set = -1;
  record.number = -2147483647 - 1;
  const std::string out = build(record, "x");
  EXPECT_THAT(out, HasSubstr(" eklogger.-1.-2147483648 "));
  EXPECT_THAT(out, HasSubstr(" set=\"-1\" number=\"-2147483648\" "));
}

TEST(SyslogMessageTest, StructuredDataAlwaysClosesInsideTheDatagram) {
  // Long fields in the smallest datagram: the element's values are cut
  // (and marked), never the element itself.
  gw::Record record = message_record(gw::kLevelInfo, "x");
  record.kind = gw::RecordKind::kTrace;
  const std::string long_field(2000, 'q');
  record.component = long_field;
  record.file = long_field;
  record.function = long_field;
  const std::string out = build(record, std::string(100 * 1024, 'm'), 480);
  EXPECT_LE(out.size(), 480u);
  const std::size_t close = out.find("\"] ");
  ASSERT_NE(close, std::string::npos) << out;
  EXPECT_THAT(out.substr(0, close), HasSubstr("qq" + std::string(gw::kSyslogTruncatedMarker)));
  EXPECT_THAT(out.substr(0, close), HasSubstr(" line=\"0\" pid=\"321\" tid=\"654"));
  EXPECT_THAT(out, EndsWith("mm" + std::string(gw::kSyslogTruncatedMarker)));
}

TEST(SyslogMessageTest, EscapedCharactersAreNeverCutApart) {
  // A cut falls between escapes, never inside "\x0a" or "\\]".
  std::string text(300, '\n');
  const std::string out = build(message_record(gw::kLevelInfo, ""), text, 600);
  const std::string body = out.substr(out.find("] ") + 2);
  const std::string kept = body.substr(0, body.size() - gw::kSyslogTruncatedMarker.size());
  EXPECT_EQ(kept.size() % 4, 0u) << kept;
  gw::Record record = message_record(gw::kLevelInfo, "x");
  const std::string brackets(300, ']');
  record.component = brackets;
  const std::string quoted = build(record, "x");
  const std::size_t start = quoted.find("component=\"") + 11;
  const std::string value = quoted.substr(start, quoted.find("...", start) - start);
  ASSERT_FALSE(value.empty());
  for (std::size_t i = 0; i < value.size(); i += 2) ASSERT_EQ(value.substr(i, 2), "\\]");
}

}  // namespace

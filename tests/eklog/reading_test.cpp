// eklog's readers and time parsing on lines given here: the grammar's
// corners that the writers do not reach (escapes, origins, offsets).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "filters.h"
#include "output.h"
#include "record_parser.h"

namespace eklog {
namespace {

TEST(EklogReadingTest, BasicLineEscapesAndOrigins) {
  RecordParser parser;
  RecordView record;
  ASSERT_TRUE(parser.parse(Format::kBasic,
                           "2026-12-08T11:42:07.124001-05:30 FINER [srvport=9000 pid=123 tid=456] "
                           "[disp\\x5dx] [src/a\\x3ab.cpp:-120 Session::open\\x5d] a\\tb\\\\n\\x00",
                           record));
  EXPECT_EQ(record.origin, Origin::kTrace);
  EXPECT_EQ(record.file, "src/a:b.cpp");
  EXPECT_EQ(record.line, -120);
  EXPECT_EQ(record.function, "Session::open]");
  EXPECT_EQ(record.component, "disp]x");
  EXPECT_EQ(record.text, std::string("a\tb\\n\0", 6));
  EXPECT_EQ(record.pid, 123);
  EXPECT_EQ(record.tid, 456);
  EXPECT_EQ(record.level_value, 2000);
  EXPECT_EQ(record.time_us, 1796749927124001LL);  // 17:12:07.124001Z
  ASSERT_TRUE(parser.parse(Format::kBasic,
                           "2026-12-08T11:42:07.123456+01:00 4500 [p] [c] [cat:1:-42] ", record));
  EXPECT_EQ(record.origin, Origin::kMessage);
  EXPECT_EQ(record.number, -42);
  EXPECT_EQ(record.level_value, 4500);
  EXPECT_EQ(record.text, "");
  EXPECT_EQ(record.time_us, 1796726527123456LL);
  for (const char* bad : {"2026-12-08T11:42:07.123456+01:00 INFO [p] [c] [cat:1] x",
                          "2026-12-08T11:42:07.123456+01:00 INFO [p] [c] [nocolon] x",
                          "2026-12-08T11:42:07.123456+01:00 INFO [p] [c] [] bad \\q escape",
                          "2026-12-08T11:42:07.123456+01:00 INFO [p] [c]",
                          "2026-13-08T11:42:07.123456+01:00 INFO [p] [c] [] x",
                          "2026-12-08 11:42:07.123456+01:00 INFO [p] [c] [] x"}) {
    EXPECT_FALSE(parser.parse(Format::kBasic, bad, record)) << bad;
  }
}

TEST(EklogReadingTest, BasicTimesThatRepeatTheOneBeforeButForAPart) {
  // A time equal to the line before's but for its fraction is read from
  // the fraction alone: every other part must still count.
  RecordParser parser;
  RecordView record;
  for (const char* time :
       {"2026-12-08T11:42:07.123456+01:00", "2026-12-08T11:42:07.987650+01:00",
        "2026-12-08T11:42:08.987650+01:00", "2026-12-08T11:43:08.987650+01:00",
        "2026-12-08T12:43:08.987650+01:00", "2026-12-09T12:43:08.987650+01:00",
        "2026-11-09T12:43:08.987650+01:00", "2027-11-09T12:43:08.987650+01:00",
        "2027-11-09T12:43:08.987650-01:00", "2027-11-09T12:43:08.987650-02:00",
        "2027-11-09T12:43:08.987650-02:30", "2026-12-08T11:42:07.123456+01:00"}) {
    ASSERT_TRUE(parser.parse(Format::kBasic, std::string(time) + " INFO [p] [c] [] x", record));
    std::int64_t expected = 0;
    ASSERT_TRUE(parse_record_time(time, expected));
    EXPECT_EQ(record.time_us, expected) << time;
  }
  for (const char* fraction : {"12345x", "1234 6", "-23456", "12345:"})
    EXPECT_FALSE(parser.parse(
        Format::kBasic, "2026-12-08T11:42:07." + std::string(fraction) + "+01:00 INFO [p] [c] [] x",
        record))
        << fraction;
}

TEST(EklogReadingTest, JsonAndXmlRecordsAndWhatTheyRefuse) {
  RecordParser parser;
  RecordView record;
  ASSERT_TRUE(parser.parse(
      Format::kJson,
      R"({"time":"2026-12-08T11:42:07.124001+01:00","time_us":1796726527124001,"level":"FINER","level_value":2000,"logger":"l","product":"p","component":"c","file":"f","function":"g","line":120,"text":"a\u0000\n"})",
      record));
  EXPECT_EQ(record.origin, Origin::kTrace);
  EXPECT_EQ(record.text, std::string("a\0\n", 3));
  EXPECT_EQ(record.line, 120);
  EXPECT_FALSE(parser.parse(Format::kJson, R"({"time":"x","level":"INFO"} trailing)", record));
  EXPECT_FALSE(parser.parse(Format::kJson, R"({"level":"INFO","text":"no time"})", record));
  EXPECT_FALSE(parser.parse(
      Format::kJson, R"({"time":"2026-12-08T11:42:07.124001+01:00","level":"INFO","text":1})",
      record));
  ASSERT_TRUE(parser.parse(
      Format::kXml,
      "<record time=\"2026-12-08T11:42:07.130020+01:00\" time_us=\"1796726527130020\" "
      "level=\"SEVERE\" level_value=\"6000\" logger=\"l\" product=\"p&amp;q\" "
      "component=\"c\" catalog=\"k\" set=\"1\" number=\"42\">disk &lt;full&gt;&#10;x</record>",
      record));
  EXPECT_EQ(record.origin, Origin::kMessage);
  EXPECT_EQ(record.product, "p&q");
  EXPECT_EQ(record.text, "disk <full>\nx");
  EXPECT_EQ(record.number, 42);
  EXPECT_FALSE(parser.parse(Format::kXml,
                            "<record time=\"2026-12-08T11:42:07.130020+01:00\" level=\"INFO\">cut",
                            record));
  EXPECT_FALSE(parser.parse(
      Format::kXml,
      "<record time=\"2026-12-08T11:42:07.130020+01:00\" level=\"INFO\"><b/></record>", record));
  EXPECT_FALSE(parser.parse(Format::kXml, "<other/>", record));
  EXPECT_EQ(detect_format("<?xml version=\"1.0\"?>"), Format::kXml);
  EXPECT_EQ(detect_format("{\"time\":1}"), Format::kJson);
  EXPECT_EQ(detect_format("2026-12-08T11:42:07.123456+01:00 INFO [p] [c] [] x"), Format::kBasic);
  EXPECT_EQ(detect_format("Exception in thread"), Format::kUnknown);
  int level = 0;
  EXPECT_TRUE(RecordParser::quick_json_level(R"({"level_value":-5000,"x":1})", level));
  EXPECT_EQ(level, -5000);
  EXPECT_FALSE(RecordParser::quick_json_level(R"({"level_value": 5000})", level));
}

TEST(EklogReadingTest, TimeSpecsAbsoluteRelativeAndNamed) {
  const std::int64_t now = 1796726527123456LL;  // 2026-12-08T10:42:07.123456Z
  std::int64_t t = 0;
  ASSERT_TRUE(parse_time_spec("2026-12-08T11:42:07.123456+01:00", now, t));
  EXPECT_EQ(t, now);
  ASSERT_TRUE(parse_time_spec("2026-12-08 10:42:07.5Z", now, t));
  EXPECT_EQ(t, 1796726527500000LL);
  ASSERT_TRUE(parse_time_spec("-15min", now, t));
  EXPECT_EQ(t, now - 900000000LL);
  ASSERT_TRUE(parse_time_spec("+2hours", now, t));
  EXPECT_EQ(t, now + 7200000000LL);
  ASSERT_TRUE(parse_time_spec("@1796726527", now, t));
  EXPECT_EQ(t, 1796726527000000LL);
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_TRUE(parse_time_spec("today", now, t));
  EXPECT_EQ(t, 1796688000000000LL);
  ASSERT_TRUE(parse_time_spec("10:02", now, t));
  EXPECT_EQ(t, 1796688000000000LL + (10 * 60 + 2) * 60000000LL);
  ASSERT_TRUE(parse_time_spec("2026-12-08", now, t));
  EXPECT_EQ(t, 1796688000000000LL);
  for (const char* bad :
       {"", "-15 fortnights", "2026-12-08T25:00", "10:02 tomorrow", "2026-1-8", "@x"})
    EXPECT_FALSE(parse_time_spec(bad, now, t)) << bad;
}

TEST(EklogReadingTest, BasicFieldEndsAndEscapesAtEveryPlaceOfABlock) {
  // The ends of the fields and the escapes are searched 16 bytes a step.
  RecordParser parser;
  RecordView record;
  for (std::size_t length = 0; length <= 40; ++length) {
    const std::string product(length, 'p');
    for (std::size_t place = 0; place <= length; ++place) {
      std::string text = product;
      text.insert(place, "\\t");
      const std::string line = "2026-12-08T11:42:07.123456+01:00 INFO [" + product + "] [" +
                               std::string(length / 2, 'c') + "] [] " + text;
      ASSERT_TRUE(parser.parse(Format::kBasic, line, record)) << line;
      EXPECT_EQ(record.product, product);
      EXPECT_EQ(record.component, std::string(length / 2, 'c'));
      std::string unescaped = product;
      unescaped.insert(place, "\t");
      EXPECT_EQ(record.text, unescaped) << line;
      // In the bracketed fields, the escapes are found with their ends.
      const std::string in_fields =
          "2026-12-08T11:42:07.123456+01:00 INFO [" + text + "] [c] [" + text + ":1:2] x";
      ASSERT_TRUE(parser.parse(Format::kBasic, in_fields, record)) << in_fields;
      EXPECT_EQ(record.product, unescaped) << in_fields;
      EXPECT_EQ(record.catalog, unescaped) << in_fields;
      int level = 0;
      ASSERT_TRUE(RecordParser::quick_level(Format::kBasic, line, level));
      EXPECT_EQ(level, 4000);
    }
  }
  EXPECT_FALSE(parser.parse(Format::kBasic,
                            "2026-12-08T11:42:07.123456+01:00 INFO [no end to this product field",
                            record));
}

TEST(EklogReadingTest, LevelNamesAndNumbers) {
  int value = 0;
  for (int level : {6000, 5000, 4000, 3000, 2000, 1000}) {
    ASSERT_TRUE(level_from_text(level_name(level), value)) << level;
    EXPECT_EQ(value, level);
  }
  ASSERT_TRUE(level_from_text("OFF", value));
  EXPECT_EQ(value, 2147483647);
  ASSERT_TRUE(level_from_text("ALL", value));
  EXPECT_EQ(value, -2147483647 - 1);
  ASSERT_TRUE(level_from_text("-2147483648", value));
  EXPECT_EQ(value, -2147483647 - 1);
  ASSERT_TRUE(level_from_text("0450", value));
  EXPECT_EQ(value, 450);
  for (const char* bad : {"", "info", "INF", "INFOS", "FINES", "WARNIN", "SEVERE ", "OFFF", "AL",
                          "-", "2147483648", "12a", "+5", "FINEST1"})
    EXPECT_FALSE(level_from_text(bad, value)) << bad;
}

TEST(EklogReadingTest, JsonOutputIsValidUtf8AndOneLine) {
  std::string out;
  append_json_string(std::string("a\"\\\n\x7f\xc2\x85\xe2\x80\xa8\xff\xed\xa0\x80z", 15), out);
  EXPECT_EQ(
      out,
      "\"a\\\"\\\\\\n\\u007f\\u0085\\u2028\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdz\"");
}

// The escapes one byte at a time, as the printer wrote them before it
// copied plain runs in blocks: the block scan must find the same stops.
std::string escaped_bytewise(const std::string& text) {
  std::string out = "\"";
  static const char kHex[] = "0123456789abcdef";
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const char* named = c == '"'    ? "\\\""
                        : c == '\\' ? "\\\\"
                        : c == '\b' ? "\\b"
                        : c == '\f' ? "\\f"
                        : c == '\n' ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                                    : nullptr;
    if (named != nullptr) {
      out += named;
    } else if (c < 0x20 || c == 0x7f) {
      out += std::string("\\u00") + kHex[c >> 4] + kHex[c & 15];
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      // Only the sequences the test strings hold: é, C1 NEL, U+2028, a lone 0xff.
      const std::string rest = text.substr(at);
      if (rest.compare(0, 2, "\xc3\xa9") == 0) {
        out += "\xc3\xa9";
        at += 2;
      } else if (rest.compare(0, 2, "\xc2\x85") == 0) {
        out += "\\u0085";
        at += 2;
      } else if (rest.compare(0, 3, "\xe2\x80\xa8") == 0) {
        out += "\\u2028";
        at += 3;
      } else {
        out += "\xef\xbf\xbd";
        ++at;
      }
      continue;
    }
    ++at;
  }
  return out + "\"";
}

TEST(EklogReadingTest, JsonEscapesAreFoundAtEveryPlaceOfABlock) {
  const std::string specials[] = {"\"",       "\\",           "\n",  std::string(1, '\0'),
                                  "\x1f",     "\x7f",         " ",   "\xc3\xa9",
                                  "\xc2\x85", "\xe2\x80\xa8", "\xff"};
  for (std::size_t length = 0; length <= 40; ++length) {
    for (std::size_t place = 0; place <= length; ++place) {
      for (const std::string& special : specials) {
        std::string text(length, 'a');
        text.insert(place, special);
        std::string out;
        append_json_string(text, out);
        ASSERT_EQ(out, escaped_bytewise(text)) << length << " " << place;
      }
    }
  }
  std::mt19937 random(42);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int pieces = static_cast<int>(random() % 30);
    for (int i = 0; i < pieces; ++i) {
      const std::uint32_t pick = static_cast<std::uint32_t>(random());
      text += pick % 3 == 0 ? specials[pick % 11] : std::string(pick % 23, 'x');
    }
    std::string out = "kept";
    append_json_string(text, out);
    ASSERT_EQ(out, "kept" + escaped_bytewise(text)) << text;
  }
}

TEST(EklogReadingTest, JsonNumbersAtEveryLength) {
  // The writer cuts a number in parts of eight digits and drops the
  // leading zeros of the first: each power of ten and its neighbours, both
  // signs, and the ends of the range.
  JsonWriter writer;
  RecordView view;
  std::vector<long long> values = {0, 9223372036854775807LL, -9223372036854775807LL - 1};
  long long power = 1;
  for (int e = 0; e <= 18; ++e) {
    if (e > 0) power *= 10;  // 10^18 at most: the next would overflow
    for (long long near = -2; near <= 2; ++near) {
      values.push_back(power + near);
      values.push_back(-(power + near));
    }
  }
  // Every digit at every place: the digits are split several at a time.
  std::mt19937_64 random(7);
  for (int round = 0; round < 2000; ++round) {
    const long long value = static_cast<long long>(random() >> (1 + round % 63));
    values.push_back(round % 2 == 0 ? value : -value);
  }
  for (long long value : values) {
    view.time_us = value;
    EXPECT_NE(writer.line(view).find("\"time_us\":" + std::to_string(value) + ","),
              std::string_view::npos)
        << value;
  }
}

TEST(EklogReadingTest, JsonLineOfAViewIsThePrintersLine) {
  RecordParser parser;
  RecordView view;
  const Printer printer(OutputMode::kJson, false);
  JsonWriter writer;
  for (const char* line :
       {"2026-12-08T11:42:07.124001-05:30 FINER [srv pid=123 tid=456] [disp] "
        "[src/a.cpp:-120 Session::open] a\\tb \\x22\\x5c",
        "2026-12-08T11:42:07.123456+01:00 4500 [p] [c] [cat:1:-42] ",
        "2026-12-08T11:42:07.123456+01:00 -2147483648 [p] [c] [cat:-999999999999999999:0] ",
        "2026-12-08T11:42:07.123456+01:00 9 [p] [c] [f:10 g] ",
        "2026-12-08T11:42:07.123456+01:00 SEVERE [p] [c] [] plain text"}) {
    ASSERT_TRUE(parser.parse(Format::kBasic, line, view)) << line;
    Record record;
    record.assign(view);
    std::string printed;
    printer.format(record, printed);
    EXPECT_EQ(writer.line(view), printed);
  }
  ASSERT_TRUE(parser.parse(
      Format::kBasic,
      "2026-12-08T11:42:07.123456+01:00 -2147483648 [p] [c] [cat:-999999999999999999:0] ", view));
  EXPECT_NE(writer.line(view).find("\"level_value\":-2147483648,"), std::string_view::npos);
  EXPECT_NE(writer.line(view).find("\"set\":-999999999999999999,\"number\":0,"),
            std::string_view::npos);
  ASSERT_TRUE(
      parser.parse(Format::kBasic, "2026-12-08T11:42:07.123456+01:00 9 [p] [c] [f:10 g] ", view));
  EXPECT_NE(writer.line(view).find("\"level_value\":9,"), std::string_view::npos);
  EXPECT_NE(writer.line(view).find("\"line\":10,"), std::string_view::npos);
  ASSERT_TRUE(parser.parse(Format::kBasic,
                           "2026-12-08T11:42:07.123456+01:00 SEVERE [p] [c] [] plain text", view));
  EXPECT_EQ(writer.line(view),
            "{\"time\":\"2026-12-08T11:42:07.123456+01:00\",\"time_us\":1796726527123456,"
            "\"level\":\"SEVERE\",\"level_value\":6000,\"product\":\"p\",\"component\":\"c\","
            "\"text\":\"plain text\"}\n");
  ASSERT_TRUE(parser.parse(Format::kXml,
                           "<record time=\"2026-12-08T11:42:07.130020+01:00\" time_us=\"7\" "
                           "level=\"INFO\" level_value=\"4000\" logger=\"l\" product=\"p\" "
                           "component=\"c\" file=\"f.cpp\" function=\"g\" line=\"3\">x</record>",
                           view));
  EXPECT_EQ(writer.line(view),
            "{\"time\":\"2026-12-08T11:42:07.130020+01:00\",\"time_us\":7,\"level\":\"INFO\","
            "\"level_value\":4000,\"logger\":\"l\",\"product\":\"p\",\"component\":\"c\","
            "\"file\":\"f.cpp\",\"function\":\"g\",\"line\":3,\"text\":\"x\"}\n");
}

}  // namespace
}  // namespace eklog

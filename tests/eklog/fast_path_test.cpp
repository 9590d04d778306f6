// The XML reader's fixed-shape path against libxml2's full reader: on the
// lines the library writes, at the edges of that shape and just past them,
// both must give the same record or both refuse the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record_parser.h"

namespace eklog {
namespace {

std::string describe(bool parsed, const RecordView& r) {
  if (!parsed) return "refused";
  std::string out;
  for (std::string_view field :
       {r.time, r.level, r.logger, r.product, r.component, r.catalog, r.file, r.function, r.text}) {
    out += '[';
    out.append(field);
    out += ']';
  }
  for (std::int64_t number :
       {r.time_us, static_cast<std::int64_t>(r.level_value),
        static_cast<std::int64_t>(r.has_logger), static_cast<std::int64_t>(r.origin), r.set,
        r.number, r.line, r.pid, r.tid})
    out += ' ' + std::to_string(number);
  return out;
}

enum class Taken { kShape, kFullOnly, kNeither };

// Reads the line both ways, checks that they agree, and says which took it.
Taken read_both(const std::string& line) {
  RecordParser shaped, full;
  full.set_xml_shape(false);
  RecordView a, b, c;
  const bool by_shape = shaped.parse_xml_shape(line, c);
  const std::string shape_result = by_shape ? describe(true, c) : "";
  const std::string fast = describe(shaped.parse(Format::kXml, line, a), a);
  const std::string slow = describe(full.parse(Format::kXml, line, b), b);
  EXPECT_EQ(fast, slow) << line;
  if (by_shape) {
    EXPECT_EQ(shape_result, slow) << line;
    return Taken::kShape;
  }
  return slow == "refused" ? Taken::kNeither : Taken::kFullOnly;
}

const std::string kHead =
    "<record time=\"2026-12-08T11:42:07.130020+01:00\" time_us=\"1796726527130020\" "
    "level=\"SEVERE\" level_value=\"6000\" logger=\"l\" product=\"p\" component=\"c\"";

std::string with_text(const std::string& text) { return kHead + ">" + text + "</record>"; }

TEST(EklogFastPathTest, TheWrittenShapeAndItsEscapesTakeTheFastPath) {
  for (const std::string& line : std::vector<std::string>{
           with_text(""),
           with_text("disk &lt;full&gt; &amp; &quot;x&quot; &apos;y&apos;"),
           with_text("tab&#9;lf&#10;cr&#13;del&#127;c1&#128;&#159; end"),
           with_text("\xc2\xa0 \xe2\x90\x9b \xef\xbf\xbd \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"),
           with_text("&#65;&#0065;&#55295;&#57344;&#65533;&#65536;&#1114111;"),
           kHead + " catalog=\"k&amp;&#10;\" set=\"-1\" number=\"42\">x</record>",
           kHead + " file=\"src/a b.cpp\" function=\"f&lt;T&gt;\" line=\"120\">x</record>",
           "<record time=\"t\" time_us=\"1\" level=\"4500\" level_value=\"0\" logger=\"\" "
           "product=\"srv pid=12 tid=34\" component=\"\">x</record>",
       })
    EXPECT_EQ(read_both(line), Taken::kShape) << line;
}

TEST(EklogFastPathTest, OtherWellFormedRecordsGoToTheFullReader) {
  for (const std::string& line : std::vector<std::string>{
           // Attributes in another order, quoted otherwise, spaced otherwise.
           "<record level=\"INFO\" time=\"2026-12-08T11:42:07.130020+01:00\">x</record>",
           "<record time='2026-12-08T11:42:07.130020+01:00' time_us='1' level='INFO' "
           "level_value='4000' logger='l' product='p' component='c'>x</record>",
           "<record  time=\"2026-12-08T11:42:07.130020+01:00\" level=\"INFO\">x</record>",
           kHead + " extra=\"1\">x</record>",
           kHead + "/>",
           kHead + ">x</record >",
           // What the formatter escapes but XML allows raw, and other references.
           with_text("a\tb"),
           with_text("a > b"),
           with_text("say \"hi\""),
           with_text("\x7f"),
           with_text("\xc2\x85"),
           with_text("&#x41;"),
           with_text("<![CDATA[<raw>]]>"),
           "<record time=\"2026-12-08T11:42:07.130020+01:00\" time_us=\"1\" level=\"INFO\" "
           "level_value=\"4000\" logger=\"l\" product=\"&#x50;\" component=\"c\">x</record>",
           "<record time=\"2026-12-08T11:42:07.130020+01:00\" time_us=\"&#49;\" level=\"INFO\" "
           "level_value=\"4000\" logger=\"l\" product=\"p\" component=\"c\">x</record>",
       })
    EXPECT_EQ(read_both(line), Taken::kFullOnly) << line;
}

TEST(EklogFastPathTest, BrokenRecordsAreRefusedByBoth) {
  for (const std::string& line : std::vector<std::string>{
           with_text("&foo;"),
           with_text("&#0;"),
           with_text("&#65534;"),
           with_text("&#1114112;"),
           with_text("&amp"),
           with_text(std::string("nul \0 byte", 10)),
           with_text("\x01"),
           with_text("\xef\xbf\xbe"),
           with_text("\xed\xa0\x80"),
           with_text("\xc0\x80"),
           with_text("\xff"),
           with_text("a ]]> b"),
           kHead + ">cut",
           kHead + ">x</record><record/>",
           kHead + ">x</other>",
           "<record time=\"\" time_us=\"1\" level=\"INFO\" level_value=\"4000\" logger=\"l\" "
           "product=\"p\" component=\"c\">x</record>",
           "<record time=\"t\" time_us=\"1\" level=\"LOUD\" level_value=\"4000\" logger=\"l\" "
           "product=\"p\" component=\"c\">x</record>",
           "<record time=\"t\" time_us=\"1\" level=\"INFO\" level_value=\"4294967296\" "
           "logger=\"l\" product=\"p\" component=\"c\">x</record>",
       })
    EXPECT_EQ(read_both(line), Taken::kNeither) << line;
}

TEST(EklogFastPathTest, EveryStopIsFoundAtEveryPlaceOfABlock) {
  // The plain runs are scanned 16 bytes at a time: a stop at any place of
  // a block, in an attribute or the text, must end the run there.
  const std::vector<std::pair<std::string, Taken>> stops = {
      {"&amp;", Taken::kShape},   {"\xc3\xa9", Taken::kShape}, {"\t", Taken::kFullOnly},
      {"\x7f", Taken::kFullOnly}, {">", Taken::kFullOnly},     {"\xff", Taken::kNeither},
      {"<", Taken::kNeither}};
  for (std::size_t length = 0; length <= 40; ++length) {
    for (std::size_t place = 0; place <= length; ++place) {
      for (const auto& [stop, taken] : stops) {
        std::string value(length, 'v');
        value.insert(place, stop);
        EXPECT_EQ(read_both(with_text(value)), taken) << value;
        const std::string in_attribute =
            "<record time=\"2026-12-08T11:42:07.130020+01:00\" time_us=\"1\" level=\"INFO\" "
            "level_value=\"4000\" logger=\"l\" product=\"" +
            value + "\" component=\"c\">x</record>";
        EXPECT_EQ(read_both(in_attribute), taken) << value;
      }
    }
  }
}

TEST(EklogFastPathTest, QuickLevelFindsTheAttributeWhereverItIs) {
  int level = 0;
  ASSERT_TRUE(RecordParser::quick_level(Format::kXml, with_text("x"), level));
  EXPECT_EQ(level, 6000);
  ASSERT_TRUE(RecordParser::quick_level(
      Format::kXml, "<record level=\"INFO\" level_value=\"-12\" time=\"t\">x</record>", level));
  EXPECT_EQ(level, -12);
  EXPECT_FALSE(RecordParser::quick_level(Format::kXml, "<record level=\"INFO\">x</record>", level));
  // time_us longer, shorter or other than the 16 digits the probe tests first.
  for (const char* time_us : {"17967265271300201", "179672652713002", "1796726527x30020", ""}) {
    const std::string line = "<record time=\"2026-12-08T11:42:07.130020+01:00\" time_us=\"" +
                             std::string(time_us) +
                             "\" level=\"FINE\" level_value=\"3000\" logger=\"l\" product=\"p\" "
                             "component=\"c\">x</record>";
    ASSERT_TRUE(RecordParser::quick_level(Format::kXml, line, level)) << line;
    EXPECT_EQ(level, 3000);
  }
}

}  // namespace
}  // namespace eklog

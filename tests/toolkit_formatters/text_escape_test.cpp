// UTF-8 decoding steps and the escapes of each format at their edges.
#include "text_escape.h"

#include <gtest/gtest.h>

namespace gw::formatting {
namespace {

struct StepCase {
  const char* bytes;
  std::size_t length;
  bool valid;
  char32_t code_point;
};

TEST(Utf8DecodeTest, WellFormedSequencesAtTheirBounds) {
  const StepCase cases[] = {
      {"\x7f", 1, true, 0x7f},
      {"\xc2\x80", 2, true, 0x80},
      {"\xdf\xbf", 2, true, 0x7ff},
      {"\xe0\xa0\x80", 3, true, 0x800},
      {"\xed\x9f\xbf", 3, true, 0xd7ff},
      {"\xee\x80\x80", 3, true, 0xe000},
      {"\xef\xbf\xbf", 3, true, 0xffff},
      {"\xf0\x90\x80\x80", 4, true, 0x10000},
      {"\xf4\x8f\xbf\xbf", 4, true, 0x10ffff},
  };
  for (const StepCase& c : cases) {
    const Utf8Step step = decode_utf8(c.bytes);
    EXPECT_EQ(step.length, c.length) << c.bytes;
    EXPECT_TRUE(step.valid) << c.bytes;
    EXPECT_EQ(step.code_point, c.code_point) << c.bytes;
  }
}

// Each ill-formed input is one maximal subpart long, so one replacement
// stands for it and decoding resumes at the next possible lead byte.
TEST(Utf8DecodeTest, IllFormedInputGivesItsMaximalSubpart) {
  const StepCase cases[] = {
      {"\x80", 1, false, 0},              // stray continuation
      {"\xc0\xaf", 1, false, 0},          // overlong lead, never valid
      {"\xc1\xbf", 1, false, 0},
      {"\xe0\x80\xaf", 1, false, 0},      // overlong three-byte form
      {"\xf0\x80\x80\xaf", 1, false, 0},  // overlong four-byte form
      {"\xed\xa0\x80", 1, false, 0},      // surrogate D800
      {"\xf4\x90\x80\x80", 1, false, 0},  // above U+10FFFF
      {"\xf5\x80\x80\x80", 1, false, 0},
      {"\xff", 1, false, 0},
      {"\xe2\x82", 2, false, 0},          // cut short by the end
      {"\xe2\x82" "A", 2, false, 0},      // cut short by ASCII
      {"\xf0\x9f\x98", 3, false, 0},
      {"\xf0\x9f\x98\xc3\xa9", 3, false, 0},  // cut short by a new lead
  };
  for (const StepCase& c : cases) {
    const Utf8Step step = decode_utf8(c.bytes);
    EXPECT_EQ(step.length, c.length) << testing::PrintToString(std::string(c.bytes));
    EXPECT_FALSE(step.valid) << testing::PrintToString(std::string(c.bytes));
  }
}

std::string basic(std::string_view bytes, BasicField field) {
  std::string out;
  append_basic_escaped(out, bytes, field);
  return out;
}

TEST(BasicEscapeTest, SeparatorsEscapedOnlyWhereTheyWouldEndAField) {
  EXPECT_EQ(basic("a]b:c [d] \\", BasicField::kText), "a]b:c [d] \\\\");
  EXPECT_EQ(basic("a]b:c [d] \\", BasicField::kBracketed), "a\\x5db:c [d\\x5d \\\\");
  EXPECT_EQ(basic("a]b:c [d] \\", BasicField::kName), "a\\x5db\\x3ac [d\\x5d \\\\");
}

TEST(BasicEscapeTest, ControlsLineBreaksAndIllFormedBytes) {
  using namespace std::string_literals;
  EXPECT_EQ(basic("\n\r\t\0\x1b\x7f"s, BasicField::kText), "\\n\\r\\t\\x00\\x1b\\x7f");
  // NEL and LINE SEPARATOR are line breaks to some readers.
  EXPECT_EQ(basic("\xc2\x85|\xe2\x80\xa8|\xe2\x80\xa9", BasicField::kText),
            "\\xc2\\x85|\\xe2\\x80\\xa8|\\xe2\\x80\\xa9");
  EXPECT_EQ(basic("\xe2\x82" "A\xff", BasicField::kText), "\\xe2\\x82A\\xff");
  EXPECT_EQ(basic("caf\xc3\xa9 \xf0\x9f\x98\x80", BasicField::kText), "caf\xc3\xa9 \xf0\x9f\x98\x80");
}

TEST(XmlEscapeTest, MarkupReferencesAndReplacements) {
  using namespace std::string_literals;
  std::string out;
  append_xml_escaped(out, "<a b=\"c\">&'</a>");
  EXPECT_EQ(out, "&lt;a b=&quot;c&quot;&gt;&amp;'&lt;/a&gt;");
  out.clear();
  append_xml_escaped(out, "\t\n\r\x7f\xc2\x85"s);
  EXPECT_EQ(out, "&#9;&#10;&#13;&#127;&#133;");
  out.clear();
  append_xml_escaped(out, "\0\x01\x1f"s);  // control pictures U+2400, U+2401, U+241F
  EXPECT_EQ(out, "\xe2\x90\x80\xe2\x90\x81\xe2\x90\x9f");
  out.clear();
  append_xml_escaped(out, "\xef\xbf\xbe|\xef\xbf\xbf|\xed\xa0\x80|\xe2\x82");
  EXPECT_EQ(out, "\xef\xbf\xbd|\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd");
}

TEST(JsonEscapeTest, ShortEscapesUnicodeEscapesAndReplacements) {
  using namespace std::string_literals;
  std::string out;
  append_json_escaped(out, "\"\\/\b\f\n\r\t\0\x1f\x7f"s);
  EXPECT_EQ(out, "\\\"\\\\/\\b\\f\\n\\r\\t\\u0000\\u001f\\u007f");
  out.clear();
  append_json_escaped(out, "\xc2\x85\xe2\x80\xa8\xe2\x80\xa9\xc3\xa9");
  EXPECT_EQ(out, "\\u0085\\u2028\\u2029\xc3\xa9");
  out.clear();
  append_json_escaped(out, "\xc0\xaf|\xf0\x9f\x98");
  EXPECT_EQ(out, "\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd");
}

// The formatters size a record's room from these expansion bounds, so each
// must hold for the worst byte patterns, and the worst ones reach it.
TEST(EscapeBoundTest, WorstCasePatternsStayWithinTheStatedExpansion) {
  const char* patterns[] = {"\"", "&", "\x01", "\x7f", "\\", "]", ":", "\xc2\x85", "\xe2\x80\xa8",
                            "\xef\xbf\xbe", "\xff", "\xe2\x82", "\xf0\x9f\x98", "\xed\xa0\x80"};
  for (const char* pattern : patterns) {
    std::string bytes;
    while (bytes.size() < 999) bytes += pattern;
    SCOPED_TRACE(testing::PrintToString(std::string(pattern)));
    for (BasicField field : {BasicField::kText, BasicField::kBracketed, BasicField::kName}) {
      std::string out;
      append_basic_escaped(out, bytes, field);
      EXPECT_LE(out.size(), bytes.size() * kBasicExpansion);
    }
    std::string xml;
    append_xml_escaped(xml, bytes);
    EXPECT_LE(xml.size(), bytes.size() * kXmlExpansion);
    std::string json;
    append_json_escaped(json, bytes);
    EXPECT_LE(json.size(), bytes.size() * kJsonExpansion);
  }
  std::string out;
  append_basic_escaped(out, std::string(10, '\x01'), BasicField::kText);
  EXPECT_EQ(out.size(), 10 * kBasicExpansion);
  out.clear();
  append_xml_escaped(out, std::string(10, '"'));
  EXPECT_EQ(out.size(), 10 * kXmlExpansion);
  out.clear();
  append_json_escaped(out, std::string(10, '\x01'));
  EXPECT_EQ(out.size(), 10 * kJsonExpansion);
}

// The word-at-a-time scan must stop at a special byte wherever it sits in
// an eight-byte word, and at the end of input that is not a whole word.
TEST(EscapeBoundTest, SpecialBytesFoundAtEveryOffset) {
  for (std::size_t length = 1; length <= 24; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (char special : {'"', '\\', '\n', '\x7f', '\x80'}) {
        std::string bytes(length, 'a');
        bytes[at] = special;
        std::string json;
        append_json_escaped(json, bytes);
        EXPECT_NE(json.size(), length) << length << " " << at << " " << int(special);
        std::string basic;
        append_basic_escaped(basic, bytes, BasicField::kText);
        EXPECT_EQ(basic.size() == length, special == '"') << length << " " << at << " " << int(special);
      }
      std::string name(length, 'a');
      name[at] = ':';
      std::string out;
      append_basic_escaped(out, name, BasicField::kName);
      EXPECT_EQ(out.size(), length + 3);
      out.clear();
      name[at] = '&';
      append_xml_escaped(out, name);
      EXPECT_EQ(out.size(), length + 4);
    }
  }
}

TEST(DecimalTest, FullRangeOfSixtyFourBits) {
  std::string out;
  append_decimal(out, INT64_MIN);
  out.push_back(' ');
  append_decimal(out, 0);
  out.push_back(' ');
  append_decimal(out, INT64_MAX);
  EXPECT_EQ(out, "-9223372036854775808 0 9223372036854775807");
}

}  // namespace
}  // namespace gw::formatting

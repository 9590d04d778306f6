// UTF-8 decoding steps, and the word-at-a-time scan for plain runs.
#include "text_escape.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace gw::formatting {
namespace {

// Well-formed sequences at the bounds of each length, and ill-formed ones,
// each as long as its maximal subpart: one replacement stands for it and
// decoding resumes at the next possible lead byte.
TEST(Utf8DecodeTest, SequenceBoundsAndMaximalSubparts) {
  const struct {
    const char* bytes;
    std::size_t length;
    char32_t code_point;  // 0 for ill-formed
  } cases[] = {
      {"\x7f", 1, 0x7f},
      {"\xc2\x80", 2, 0x80},
      {"\xdf\xbf", 2, 0x7ff},
      {"\xe0\xa0\x80", 3, 0x800},
      {"\xed\x9f\xbf", 3, 0xd7ff},
      {"\xee\x80\x80", 3, 0xe000},
      {"\xf0\x90\x80\x80", 4, 0x10000},
      {"\xf4\x8f\xbf\xbf", 4, 0x10ffff},
      {"\x80", 1, 0},
      {"\xc0\xaf", 1, 0},
      {"\xc1\xbf", 1, 0},
      {"\xe0\x80\xaf", 1, 0},  // overlong
      {"\xf0\x80\x80\xaf", 1, 0},
      {"\xed\xa0\x80", 1, 0},
      {"\xf4\x90\x80\x80", 1, 0},
      {"\xf5\x80", 1, 0},
      {"\xff", 1, 0},
      {"\xe2\x82", 2, 0},
      {"\xe2\x82"
       "A",
       2, 0},
      {"\xf0\x9f\x98\xc3\xa9", 3, 0},
  };
  for (const auto& c : cases) {
    const Utf8Step step = decode_utf8(c.bytes);
    EXPECT_EQ(step.length, c.length) << ::testing::PrintToString(std::string(c.bytes));
    EXPECT_EQ(step.valid, c.code_point != 0) << ::testing::PrintToString(std::string(c.bytes));
    EXPECT_EQ(step.valid ? step.code_point : 0, c.code_point);
  }
}

// A special byte is found wherever it sits in an eight-byte word, and in a
// tail shorter than a word.
TEST(EscapeScanTest, SpecialBytesFoundAtEveryOffset) {
  const struct {
    char byte;
    bool basic_text, basic_name, xml, json;  // whether each escaper changes it
  } specials[] = {
      {'"', false, false, true, true},   {'\\', true, true, false, true},
      {'\n', true, true, true, true},    {'\x7f', true, true, true, true},
      {'\x1f', true, true, true, true},  {']', false, true, false, false},
      {':', false, true, false, false},  {'&', false, false, true, false},
      {'>', false, false, true, false},  {'\xff', true, true, true, true},
      {'\x80', true, true, true, true},  {' ', false, false, false, false},
      {'~', false, false, false, false}, {'\x01', true, true, true, true},
  };
  // Past 32 bytes, so that a special is found in every lane of more than
  // one block of a wide scan as well as in the tail.
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (const auto& special : specials) {
        std::string bytes(length, 'a');
        bytes[at] = special.byte;
        std::string basic, name, xml, json;
        append_basic_escaped(basic, bytes, BasicField::kText);
        append_basic_escaped(name, bytes, BasicField::kName);
        append_xml_escaped(xml, bytes);
        append_json_escaped(json, bytes);
        SCOPED_TRACE(::testing::Message()
                     << "byte " << int(special.byte) << " at " << at << " of " << length);
        EXPECT_EQ(basic != bytes, special.basic_text);
        EXPECT_EQ(name != bytes, special.basic_name);
        EXPECT_EQ(xml != bytes, special.xml);
        EXPECT_EQ(json != bytes, special.json);
      }
    }
  }
}

// Fields mixing plain runs and escapes of every length, against a byte-by-
// byte reading of the basic escapes: each run found must end exactly at the
// next special, also where the scan tests a field's last bytes together
// with bytes it has passed.
TEST(EscapeScanTest, RunsEndExactlyAtEachSpecial) {
  const char alphabet[] = {'a', ' ', '\\', '\n', '\t', '\x01', '\x7f', ']'};
  std::uint32_t seed = 7;
  for (int trial = 0; trial < 4000; ++trial) {
    std::string bytes;
    std::string expected;
    seed = seed * 1664525u + 1013904223u;
    const std::size_t length = seed % 41;
    for (std::size_t i = 0; i < length; ++i) {
      seed = seed * 1664525u + 1013904223u;
      // Sparser specials in later trials, for long plain runs.
      const unsigned pick = (seed >> 16) % (sizeof alphabet + trial % 60);
      const char c = pick < sizeof alphabet ? alphabet[pick] : 'a';
      bytes += c;
      if (c == '\\') {
        expected += "\\\\";
      } else if (c == '\n') {
        expected += "\\n";
      } else if (c == '\t') {
        expected += "\\t";
      } else if (c == '\x01') {
        expected += "\\x01";
      } else if (c == '\x7f') {
        expected += "\\x7f";
      } else {
        expected += c;
      }
    }
    std::string basic;
    append_basic_escaped(basic, bytes, BasicField::kText);
    ASSERT_EQ(basic, expected) << "trial " << trial;
  }
}

}  // namespace
}  // namespace gw::formatting

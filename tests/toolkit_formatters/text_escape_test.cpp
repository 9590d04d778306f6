// UTF-8 decoding steps, the word-at-a-time scan for plain runs, and what
// each format writes for the bytes it escapes.
#include "toolkit/formatters/text_escape.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace gw::formatting {
namespace {

// What an escaper writes for bytes, into room of exactly its stated worst
// case followed by guard bytes that must stay as they were: an escaper may
// use its room as scratch, never more.
template <typename Write>
std::string escaped(std::string_view bytes, std::size_t expansion, Write write) {
  constexpr std::size_t kGuard = 16;
  const std::size_t room = bytes.size() * expansion;
  const std::unique_ptr<char[]> block(new char[room + kGuard]);
  std::memset(block.get() + room, '\xa5', kGuard);
  char* const end = write(block.get());
  EXPECT_LE(end, block.get() + room);
  EXPECT_EQ(std::string(block.get() + room, kGuard), std::string(kGuard, '\xa5'))
      << "wrote past its room for " << ::testing::PrintToString(std::string(bytes));
  return std::string(block.get(), end);
}

std::string basic(std::string_view bytes, BasicField field) {
  return escaped(bytes, kBasicExpansion,
                 [&](char* at) { return write_basic_escaped(at, bytes, field); });
}
std::string xml(std::string_view bytes) {
  return escaped(bytes, kXmlExpansion, [&](char* at) { return write_xml_escaped(at, bytes); });
}
std::string json(std::string_view bytes) {
  return escaped(bytes, kJsonExpansion, [&](char* at) { return write_json_escaped(at, bytes); });
}

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
        SCOPED_TRACE(::testing::Message()
                     << "byte " << int(special.byte) << " at " << at << " of " << length);
        EXPECT_EQ(basic(bytes, BasicField::kText) != bytes, special.basic_text);
        EXPECT_EQ(basic(bytes, BasicField::kName) != bytes, special.basic_name);
        EXPECT_EQ(xml(bytes) != bytes, special.xml);
        EXPECT_EQ(json(bytes) != bytes, special.json);
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
    ASSERT_EQ(basic(bytes, BasicField::kText), expected) << "trial " << trial;
  }
}

// Every ASCII byte a format escapes, and the characters from U+0080 up it
// treats apart, byte for byte: what the log files hold.
TEST(EscapeTablesTest, EachFormatsEscapes) {
  std::string controls;
  for (char c = 0; c < 0x20; ++c) controls += c;
  const std::string ascii = controls + "\x7f\"&<>\\]:";
  const std::string basic_controls =
      "\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n\\x0b\\x0c\\r\\x0e\\x0f"
      "\\x10\\x11\\x12\\x13\\x14\\x15\\x16\\x17\\x18\\x19\\x1a\\x1b\\x1c\\x1d\\x1e\\x1f"
      "\\x7f\"&<>\\\\";
  EXPECT_EQ(basic(ascii, BasicField::kText), basic_controls + "]:");
  EXPECT_EQ(basic(ascii, BasicField::kBracketed), basic_controls + "\\x5d:");
  EXPECT_EQ(basic(ascii, BasicField::kName), basic_controls + "\\x5d\\x3a");
  std::string pictures;  // U+2400 + c for the C0 controls XML cannot carry
  for (char c = 0; c < 0x20; ++c) pictures += std::string("\xe2\x90") + static_cast<char>(0x80 + c);
  EXPECT_EQ(xml(ascii), pictures.substr(0, 27) + "&#9;&#10;" + pictures.substr(33, 6) + "&#13;" +
                            pictures.substr(42) + "&#127;&quot;&amp;&lt;&gt;\\]:");
  EXPECT_EQ(json(ascii),
            "\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
            "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
            "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\\u007f\\\"&<>\\\\]:");

  // C1 controls, NBSP, the line and paragraph separators, the two
  // noncharacters, an emoji, then ill-formed: a stray byte, a cut sequence
  // and a surrogate.
  const std::string high =
      "\xc2\x80\xc2\x9f\xc2\xa0\xe2\x80\xa8\xe2\x80\xa9\xef\xbf\xbe\xef\xbf\xbf\xf0\x9f\x98\x80"
      "\xff\xe2\x82\xed\xa0\x80";
  const std::string basic_high =
      "\\xc2\\x80\\xc2\\x9f\xc2\xa0\\xe2\\x80\\xa8\\xe2\\x80\\xa9\xef\xbf\xbe\xef\xbf\xbf"
      "\xf0\x9f\x98\x80\\xff\\xe2\\x82\\xed\\xa0\\x80";
  for (BasicField field : {BasicField::kText, BasicField::kBracketed, BasicField::kName}) {
    EXPECT_EQ(basic(high, field), basic_high);
  }
  const std::string replacement = "\xef\xbf\xbd";
  EXPECT_EQ(xml(high), "&#128;&#159;\xc2\xa0\xe2\x80\xa8\xe2\x80\xa9" + replacement + replacement +
                           "\xf0\x9f\x98\x80" + replacement + replacement + replacement +
                           replacement + replacement);
  EXPECT_EQ(json(high),
            "\\u0080\\u009f\xc2\xa0\\u2028\\u2029\xef\xbf\xbe\xef\xbf\xbf\xf0\x9f\x98\x80" +
                replacement + replacement + replacement + replacement + replacement);
}

// Each escape as the last byte of fields of every length, where its whole
// width would reach furthest past a field that had no room to spare (the
// guard bytes of escaped() check it).
TEST(EscapeTablesTest, EscapesAtTheEndStayInTheirRoom) {
  for (std::size_t length = 1; length <= 20; ++length) {
    for (int c = 0; c < 256; ++c) {
      std::string bytes(length - 1, 'a');
      bytes += static_cast<char>(c);
      basic(bytes, BasicField::kName);
      xml(bytes);
      json(bytes);
    }
    for (const char* tail : {"\xc2\x85", "\xe2\x80\xa8", "\xef\xbf\xbe", "\xe2\x82"}) {
      const std::string bytes = std::string(length, 'a') + tail;
      basic(bytes, BasicField::kText);
      xml(bytes);
      json(bytes);
    }
  }
}

}  // namespace
}  // namespace gw::formatting

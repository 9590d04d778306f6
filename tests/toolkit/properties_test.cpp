#include "toolkit/properties.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace gw {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;

std::vector<std::pair<std::string, std::string>> pairs(const ParsedProperties& parsed) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const PropertyLine& entry : parsed.entries) out.emplace_back(entry.key, entry.value);
  return out;
}

TEST(PropertiesTest, SeparatorsCommentsAndBlanks) {
  const ParsedProperties parsed = parse_properties(
      "# a comment\n"
      "! another comment\n"
      "\n"
      "   \t\n"
      "a.b = one\n"
      "a.c:two\n"
      "a.d three\n"
      "  a.e\t=\t four  \n"
      "a.f\n"
      "a.g = x = y : z\n"
      "  # indented comment\n");
  EXPECT_TRUE(parsed.errors.empty());
  EXPECT_THAT(pairs(parsed), ElementsAre(std::pair<std::string, std::string>{"a.b", "one"},
                                         std::pair<std::string, std::string>{"a.c", "two"},
                                         std::pair<std::string, std::string>{"a.d", "three"},
                                         std::pair<std::string, std::string>{"a.e", "four"},
                                         std::pair<std::string, std::string>{"a.f", ""},
                                         std::pair<std::string, std::string>{"a.g", "x = y : z"}));
}

TEST(PropertiesTest, LineNumbersCountEveryPhysicalLineAndEveryLineEnd) {
  const ParsedProperties parsed =
      parse_properties("a.b=1\r\n\r\n# c\ra.c=2\na.d = 3 \\\n  4\na.e=5");
  ASSERT_EQ(parsed.entries.size(), 4u);
  EXPECT_EQ(parsed.entries[0].line, 1);
  EXPECT_EQ(parsed.entries[1].line, 4);
  EXPECT_EQ(parsed.entries[2].line, 5);
  EXPECT_EQ(parsed.entries[2].value, "3 4");
  EXPECT_EQ(parsed.entries[3].line, 7);
  EXPECT_EQ(parsed.entries[3].value, "5");
}

TEST(PropertiesTest, ContinuationJoinsLinesWithoutTheirLeadingBlanks) {
  const ParsedProperties parsed = parse_properties(
      "logger.handlers = handler.a, \\\n"
      "                  handler.b\n"
      "even.slashes = end\\\\\n"
      "next.key = v\n"
      "last.key = dangling \\");
  EXPECT_THAT(
      pairs(parsed),
      ElementsAre(std::pair<std::string, std::string>{"logger.handlers", "handler.a, handler.b"},
                  std::pair<std::string, std::string>{"even.slashes", "end\\"},
                  std::pair<std::string, std::string>{"next.key", "v"},
                  std::pair<std::string, std::string>{"last.key", "dangling"}));
}

TEST(PropertiesTest, CommentLinesDoNotContinue) {
  const ParsedProperties parsed = parse_properties("# comment \\\na.b = 1\n");
  EXPECT_THAT(pairs(parsed), ElementsAre(std::pair<std::string, std::string>{"a.b", "1"}));
}

TEST(PropertiesTest, EscapesInKeysAndValues) {
  const ParsedProperties parsed = parse_properties(
      "a\\ key\\=with\\:seps.p = tab\\there\\nnew\\r\\f\n"
      "u.p = caf\\u00e9 \\u20AC \\uD83D\\uDE00\n"
      "plain.p = back\\\\slash \\q\n"
      "kept.p = trailing\\ \n"
      "percent.p = 100% %s %n\n");
  ASSERT_TRUE(parsed.errors.empty());
  ASSERT_EQ(parsed.entries.size(), 5u);
  EXPECT_EQ(parsed.entries[0].key, "a key=with:seps.p");
  EXPECT_EQ(parsed.entries[0].value, "tab\there\nnew\r\f");
  EXPECT_EQ(parsed.entries[1].value, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(parsed.entries[2].value, "back\\slash q");
  EXPECT_EQ(parsed.entries[3].value, "trailing ");
  EXPECT_EQ(parsed.entries[4].value, "100% %s %n");
}

TEST(PropertiesTest, MalformedLinesAreReportedAndSkipped) {
  const ParsedProperties parsed = parse_properties(
      "good.a = 1\n"
      "bad.u = \\u12G4\n"
      "short.u = \\u12\n"
      "lone.u = \\uD800 alone\n"
      "nul.u = a\\u0000b\n"
      "= no key\n"
      "good.b = 2\n");
  EXPECT_THAT(pairs(parsed), ElementsAre(std::pair<std::string, std::string>{"good.a", "1"},
                                         std::pair<std::string, std::string>{"good.b", "2"}));
  EXPECT_THAT(parsed.errors,
              ElementsAre(Field(&PropertyError::line, 2), Field(&PropertyError::line, 3),
                          Field(&PropertyError::line, 4), Field(&PropertyError::line, 5),
                          Field(&PropertyError::line, 6)));
  EXPECT_THAT(parsed.errors[0].message, ::testing::HasSubstr("\\uXXXX"));
}

TEST(PropertiesTest, BytesOutsideAsciiPassThrough) {
  const ParsedProperties parsed = parse_properties("n.p = gr\xC3\xBC\xC3\x9F \xFF\n");
  ASSERT_EQ(parsed.entries.size(), 1u);
  EXPECT_EQ(parsed.entries[0].value, "gr\xC3\xBC\xC3\x9F \xFF");
}

}  // namespace
}  // namespace gw

// The formatter factory and level names.
#include "formatter.h"

#include <climits>

#include <gtest/gtest.h>

namespace gw {
namespace {

TEST(FormatterFactoryTest, MakesEachClassByItsExactName) {
  for (const char* name : {"gw_basicformatter", "gw_xmlformatter", "gw_jsonformatter"}) {
    const auto formatter = make_record_formatter(name);
    ASSERT_NE(formatter, nullptr) << name;
    EXPECT_EQ(formatter->class_name(), name);
  }
}

TEST(FormatterFactoryTest, OtherNamesGiveNull) {
  for (const char* name : {"", "gw_formatter", "GW_BASICFORMATTER", "gw_basicformatterx",
                           "gw_xmlformatter ", "gw_basic"}) {
    EXPECT_EQ(make_record_formatter(name), nullptr) << '"' << name << '"';
  }
  // A view that stops before the end of a valid name is not that name.
  EXPECT_EQ(make_record_formatter(std::string_view("gw_jsonformatter", 15)), nullptr);
}

TEST(FormatterFactoryTest, OnlyXmlFramesItsFile) {
  EXPECT_EQ(make_record_formatter("gw_basicformatter")->header(), nullptr);
  EXPECT_EQ(make_record_formatter("gw_basicformatter")->trailer(), nullptr);
  EXPECT_EQ(make_record_formatter("gw_jsonformatter")->header(), nullptr);
  EXPECT_EQ(make_record_formatter("gw_jsonformatter")->trailer(), nullptr);
  const auto xml = make_record_formatter("gw_xmlformatter");
  EXPECT_STREQ(xml->header(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log>\n");
  EXPECT_STREQ(xml->trailer(), "</log>\n");
}

// Every field at its worst expansion, behind text already in the buffer:
// the record fits the room its formatter sized (checked by an assertion in
// debug builds and by the address sanitizer) and leaves the text before it.
TEST(FormatterFactoryTest, WorstCaseRecordsFitAfterExistingText) {
  for (const char* name : {"gw_basicformatter", "gw_xmlformatter", "gw_jsonformatter"}) {
    for (const char* pattern : {"\"", "\x01", "]:", "\xc2\x85", "\xff"}) {
      std::string worst;
      while (worst.size() < 4000) worst += pattern;
      for (RecordKind kind : {RecordKind::kMessage, RecordKind::kTrace, RecordKind::kText}) {
        Record record;
        record.kind = kind;
        record.level = INT_MIN;
        record.time_us = INT64_MIN;
        record.set = record.number = record.line = INT_MIN;
        record.logger = record.product = record.component = worst;
        record.catalog = record.file = record.function = record.text = worst;
        std::string out = "before\n";
        make_record_formatter(name)->format(record, out);
        EXPECT_EQ(out.compare(0, 7, "before\n"), 0) << name;
        EXPECT_EQ(out.back(), '\n') << name;
        EXPECT_EQ(out.find('\n', 7), out.size() - 1) << name;
      }
    }
  }
}

TEST(LevelNameTest, StandardLevelsByName) {
  char buffer[12];
  EXPECT_EQ(level_name(6000, buffer), "SEVERE");
  EXPECT_EQ(level_name(5000, buffer), "WARNING");
  EXPECT_EQ(level_name(4000, buffer), "INFO");
  EXPECT_EQ(level_name(3000, buffer), "FINE");
  EXPECT_EQ(level_name(2000, buffer), "FINER");
  EXPECT_EQ(level_name(1000, buffer), "FINEST");
}

TEST(LevelNameTest, OtherLevelsAsDecimalNumbers) {
  char buffer[12];
  EXPECT_EQ(level_name(0, buffer), "0");
  EXPECT_EQ(level_name(4001, buffer), "4001");
  EXPECT_EQ(level_name(-1, buffer), "-1");
  EXPECT_EQ(level_name(INT_MAX, buffer), "2147483647");
  EXPECT_EQ(level_name(INT_MIN, buffer), "-2147483648");
}

}  // namespace
}  // namespace gw

// The formatter factory, level names, and records at their worst expansion.
#include "toolkit/formatters/formatter.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>

#include "toolkit/formatters/text_escape.h"
#include "toolkit/levels.h"

namespace gw {
namespace {

TEST(FormatterFactoryTest, ExactClassNamesOnly) {
  // Each name gives its own format, told apart by how a record starts
  // (the basic line with its year, 1969 or 1970 wherever the zone).
  const std::pair<const char*, const char*> formats[] = {
      {"gw_basicformatter", "19"}, {"gw_xmlformatter", "<record "}, {"gw_jsonformatter", "{"}};
  for (const auto& [name, start] : formats) {
    const std::unique_ptr<RecordFormatter> formatter = make_record_formatter(name);
    ASSERT_NE(formatter, nullptr) << name;
    std::string out;
    formatter->format(Record{}, out);
    EXPECT_EQ(out.rfind(start, 0), 0u) << name << ": " << out;
  }
  for (const char* name :
       {"", "GW_BASICFORMATTER", "gw_basicformatterx", "gw_xmlformatter ", "gw_basic"}) {
    EXPECT_EQ(make_record_formatter(name), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(make_record_formatter(std::string_view("gw_jsonformatter", 15)), nullptr);
  EXPECT_EQ(make_record_formatter("gw_basicformatter")->header(), nullptr);
  EXPECT_EQ(make_record_formatter("gw_jsonformatter")->trailer(), nullptr);
  EXPECT_STREQ(make_record_formatter("gw_xmlformatter")->header(),
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log>\n");
  EXPECT_STREQ(make_record_formatter("gw_xmlformatter")->trailer(), "</log>\n");
}

TEST(LevelNameTest, StandardNamesElseTheNumber) {
  char buffer[12];
  const std::pair<int, const char*> cases[] = {
      {6000, "SEVERE"},         {5000, "WARNING"},      {4000, "INFO"}, {3000, "FINE"},
      {2000, "FINER"},          {1000, "FINEST"},       {0, "0"},       {4001, "4001"},
      {INT_MIN, "-2147483648"}, {INT_MAX, "2147483647"}};
  for (const auto& [level, name] : cases) EXPECT_EQ(level_name(level, buffer), name);
}

// Every field at its worst expansion, after text already in the buffer: the
// record fits the room its formatter sized (its fixed room, and its
// expansion for each byte of the variable fields) and leaves what came
// before.  A record that outgrows a room on the stack corrupts nothing the
// sanitizers see, so the size itself is checked.
TEST(FormatterFactoryTest, WorstCaseRecordsFitAfterExistingText) {
  const struct {
    const char* name;
    std::size_t fixed_room, expansion;
  } formats[] = {{"gw_basicformatter", formatting::kBasicFixedRoom, formatting::kBasicExpansion},
                 {"gw_xmlformatter", formatting::kXmlFixedRoom, formatting::kXmlExpansion},
                 {"gw_jsonformatter", formatting::kJsonFixedRoom, formatting::kJsonExpansion}};
  for (const auto& [name, fixed_room, expansion] : formats) {
    for (const char* pattern : {"\"", "\x01", "]:", "\xc2\x85", "\xe2\x80\xa8", "\xff"}) {
      // Small worst cases are written on the stack, large ones in the
      // string: both must hold their bound (asan checks the stack room).
      for (std::size_t length : {4, 20, 40, 60, 4000}) {
        std::string worst;
        while (worst.size() < length) worst += pattern;
        for (RecordKind kind : {RecordKind::kMessage, RecordKind::kTrace, RecordKind::kText}) {
          Record record{INT64_MIN, INT_MIN, kind,  worst, worst,   worst, worst,
                        INT_MIN,   INT_MIN, worst, worst, INT_MIN, worst};
          std::string out = "before\n";
          make_record_formatter(name)->format(record, out);
          EXPECT_EQ(out.compare(0, 7, "before\n"), 0) << name;
          EXPECT_EQ(out.find('\n', 7), out.size() - 1) << name;
          EXPECT_LE(out.size() - 7,
                    fixed_room + formatting::variable_field_bytes(record) * expansion)
              << name << ", " << length << " bytes of " << ::testing::PrintToString(pattern);
        }
      }
    }
  }
}

}  // namespace
}  // namespace gw

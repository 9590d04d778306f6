#include "toolkit/config.h"

#include <gtest/gtest.h>

namespace gw {
namespace {

ConfigFile config_of(const char* text, std::vector<PropertyError>* errors_out = nullptr) {
  std::vector<PropertyError> errors;
  ConfigFile config = ConfigFile::from(parse_properties(text), errors);
  if (errors_out != nullptr) *errors_out = errors;
  return config;
}

std::string looked_up(const ConfigFile& config, std::string_view object,
                      std::string_view property) {
  const ConfigFile::Entry* entry = config.lookup(object, property);
  return entry == nullptr ? "<none>" : entry->value;
}

TEST(ConfigTest, KeysSplitAtTheLastDot) {
  const ConfigFile config = config_of(
      "logger.dc.msg.level = FINE\n"
      "handler.file.dc.msg.fileName = msg.log\n"
      ".level = SEVERE\n");
  ASSERT_NE(config.own("logger.dc.msg", "level"), nullptr);
  EXPECT_EQ(config.own("logger.dc.msg", "level")->value, "FINE");
  EXPECT_EQ(config.own("handler.file.dc.msg", "fileName")->value, "msg.log");
  EXPECT_EQ(config.own("", "level")->value, "SEVERE");
  EXPECT_EQ(config.own("logger.dc.msg", "level")->line, 1);
}

TEST(ConfigTest, InheritanceTakesTheNearestConfiguredAncestor) {
  const ConfigFile config = config_of(
      "logger.level = WARNING\n"
      "logger.dc.msg.level = FINE\n"
      "logger.dc.msg.orders.eu.level = FINEST\n"
      "logger.dc.handlers = handler.a\n"
      ".root = everywhere\n");
  EXPECT_EQ(looked_up(config, "logger.dc.msg.orders", "level"), "FINE");
  EXPECT_EQ(looked_up(config, "logger.dc.msg.orders.eu", "level"), "FINEST");
  EXPECT_EQ(looked_up(config, "logger.dc.msg.orders.eu.x", "level"), "FINEST");
  EXPECT_EQ(looked_up(config, "logger.dc.err.g", "level"), "WARNING");
  EXPECT_EQ(looked_up(config, "logger.dc.msg.g", "handlers"), "handler.a");
  EXPECT_EQ(looked_up(config, "other.x", "level"), "<none>");
  EXPECT_EQ(looked_up(config, "other.x", "root"), "everywhere");
  // "logger.dc.msgx" is not below "logger.dc.msg": names split at dots only.
  EXPECT_EQ(looked_up(config, "logger.dc.msgx", "level"), "WARNING");
}

TEST(ConfigTest, KeysWithoutObjectOrPropertyAreErrors) {
  std::vector<PropertyError> errors;
  const ConfigFile config = config_of("nodot = 1\ntrailing. = 2\ngood.key = 3\n", &errors);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].line, 1);
  EXPECT_EQ(errors[1].line, 2);
  EXPECT_TRUE(config.configures("good"));
  EXPECT_FALSE(config.configures("trailing"));
}

TEST(ConfigTest, ChangesAreListedKeyByKeyByObject) {
  const ConfigFile before = config_of(
      "logger.dc.trace.level = OFF\n"
      "logger.dc.trace.handlers = handler.t\n"
      "handler.t.fileName = t.log\n"
      ".level = INFO\n"
      "gone.x = 1\n");
  const ConfigFile after = config_of(
      "# only comments and order differ for the handlers line\n"
      "logger.dc.trace.handlers = handler.t\n"
      "logger.dc.trace.level = FINE\n"
      "handler.t.fileName = my trace.log\n"
      ".level = \n"
      "new.y = 2\n");
  EXPECT_EQ(after.changes_from(before),
            "the root name: level INFO -> \"\"; gone: x 1 -> (none); "
            "handler.t: fileName t.log -> \"my trace.log\"; logger.dc.trace: level OFF -> FINE; "
            "new: y (none) -> 2");
  EXPECT_EQ(before.changes_from(before), "");
  EXPECT_EQ(after.changes_from(before, 2),
            "the root name: level INFO -> \"\"; gone: x 1 -> (none); and 3 more");
}

}  // namespace
}  // namespace gw

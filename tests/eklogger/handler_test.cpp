#include "eklogger/handler.h"

#include <gtest/gtest.h>

#include "eklogger/formatter.h"
#include "recording_classes.h"

namespace {

using testing_classes::RecordingHandler;
using testing_classes::RecordingLogger;
using testing_classes::RecordingManager;

class HandlerTest : public testing_classes::RecordingTest {
 protected:
  std::string file_name_for(const std::string& name, const std::string& location) {
    RecordingHandler handler("h", "", logger);
    handler.Log::Handler::set_file_name(name, location);
    return handler.file_name;
  }

  RecordingManager manager;
  RecordingLogger logger{"g", "logger.dc.msg", ""};
};

TEST_F(HandlerTest, BareNamesArePlacedInTheLocation) {
  EXPECT_EQ(file_name_for("app.log", "/var/log/x"), "/var/log/x/app.log");
  EXPECT_EQ(file_name_for("", "/var/log/x"), "/var/log/x/");
  EXPECT_EQ(file_name_for("app.log", ""), "/app.log");
  EXPECT_EQ(file_name_for("app.log", "/var/log/x/"), "/var/log/x//app.log");
}

TEST_F(HandlerTest, RelativeNamesWithDirectoriesArePlacedInTheLocation) {
  EXPECT_EQ(file_name_for("sub/app.log", "/var/log/x"), "/var/log/x/sub/app.log");
  EXPECT_EQ(file_name_for("./app.log", "/var/log/x"), "/var/log/x/./app.log");
  EXPECT_EQ(file_name_for("a..b/..c", "/opt/p/bin/../logs"), "/opt/p/bin/../logs/a..b/..c");
}

TEST_F(HandlerTest, AbsoluteAndClimbingNamesAreKeptAsTheyAre) {
  EXPECT_EQ(file_name_for("/tmp/app.log", "/var/log/x"), "/tmp/app.log");
  EXPECT_EQ(file_name_for("/tmp/../app.log", "/var/log/x"), "/tmp/../app.log");
  EXPECT_EQ(file_name_for("../../escape/err.log", "/var/log/x"), "../../escape/err.log");
  EXPECT_EQ(file_name_for("sub/../../err.log", "/var/log/x"), "sub/../../err.log");
  EXPECT_EQ(file_name_for("sub/..", "/var/log/x"), "sub/..");
  // A bare ".." has no "/": placed like any bare name.
  EXPECT_EQ(file_name_for("..", "/var/log/x"), "/var/log/x/..");
}

TEST_F(HandlerTest, StartsWithNoFormatterAndNoFileName) {
  RecordingHandler handler("handler.file.dc.msg", "cls", logger);
  EXPECT_EQ(handler.get_name(), "handler.file.dc.msg");
  EXPECT_EQ(handler.get_class_name(), "cls");
  EXPECT_EQ(handler.get_formatter(), nullptr);
  EXPECT_TRUE(handler.get_cached_file_name().empty());
  EXPECT_EQ(handler.get_logger(), &logger);
}

TEST_F(HandlerTest, DestroyingAHandlerDeletesItsFormatterOnce) {
  {
    RecordingHandler handler("h", "", logger);
    handler.add_formatter("formatter.xml", "");
  }
  int deleted = 0;
  for (const std::string& call : testing_classes::journal()) {
    if (call == "formatter formatter.xml deleted") ++deleted;
  }
  EXPECT_EQ(deleted, 1);
}

TEST_F(HandlerTest, PlainFormatterIsInert) {
  RecordingHandler handler("h", "", logger);
  std::unique_ptr<Log::Formatter> formatter(Log::Formatter::get_formatter("f", "c", handler));
  EXPECT_EQ(formatter->get_name(), "f");
  EXPECT_EQ(formatter->get_class_name(), "c");
  EXPECT_EQ(formatter->get_handler(), &handler);
  formatter->format();
  EXPECT_EQ(formatter->get_head(handler), nullptr);
  EXPECT_EQ(formatter->get_tail(handler), nullptr);
}

}  // namespace

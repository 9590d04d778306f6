#include "eklogger/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "eklogger/eklevel.h"
#include "recording_classes.h"

namespace {

using ::testing::IsEmpty;
using testing_classes::journal;
using testing_classes::RecordingLogger;
using testing_classes::RecordingManager;

TEST(LoggerTest, NameIsLoggerNameDotComponent) {
  RecordingManager manager;
  RecordingLogger error("orders", "logger.dc.err", "");
  EXPECT_EQ(error.get_name(), "logger.dc.err.orders");
  EXPECT_EQ(error.get_component(), "orders");
  EXPECT_TRUE(error.get_class_name().empty());

  RecordingLogger unnamed("orders", "", "cls");
  EXPECT_TRUE(unnamed.get_name().empty());
  EXPECT_EQ(unnamed.get_class_name(), "cls");

  RecordingLogger no_component("", "logger.dc.msg", "");
  EXPECT_EQ(no_component.get_name(), "logger.dc.msg.");
}

TEST(LoggerTest, NameTablesMatchByPrefix) {
  RecordingManager manager;
  RecordingLogger logger("g", "x", "");
  EXPECT_EQ(logger.get_handler_type("logger.dc.msg"), "handler.file.dc.msg");
  EXPECT_EQ(logger.get_handler_type("logger.dc.msg.orders"), "handler.file.dc.msg");
  EXPECT_EQ(logger.get_handler_type("logger.dc.msgX"), "handler.file.dc.msg");
  EXPECT_EQ(logger.get_handler_type("logger.dc.err.g"), "handler.file.dc.err");
  EXPECT_EQ(logger.get_handler_type("logger.dc.trace"), "handler.file.dc.trace");
  EXPECT_EQ(logger.get_handler_type("logger.dc.trac"), "");
  EXPECT_EQ(logger.get_handler_type(""), "");
  EXPECT_EQ(logger.get_handler_type("LOGGER.dc.msg"), "");
  EXPECT_EQ(logger.get_formatter_type("logger.dc.trace.g"), "formatter.xml");
  EXPECT_EQ(logger.get_formatter_type("logger.dc.ms"), "");
}

TEST(LoggerTest, FileNameOperationsWithoutHandlerDoNothing) {
  RecordingManager manager;
  journal().clear();
  RecordingLogger logger("g", "logger.dc.msg", "");
  logger.set_logfile_name("a.log", "/x");
  logger.append_logfile_name_suffix(".1");
  logger.reset_defaultlog_location("/y");
  EXPECT_THAT(journal(), IsEmpty());
}

TEST(LoggerTest, ProductNameComesFromTheManager) {
  RecordingManager manager;
  manager.prod_name = "server";
  RecordingLogger logger("g", "logger.dc.msg", "");
  EXPECT_EQ(logger.get_prod_name(), "server");
}

TEST(LevelTest, EveryNumberIsKeptUnchanged) {
  EXPECT_EQ(Log::Level().value, 0);
  EXPECT_EQ(Log::EkLevel().value, 0);
  EXPECT_EQ(Log::EkLevel(-5).value, -5);
  EXPECT_EQ(Log::EkLevel(4321).value, 4321);
  EXPECT_EQ(Log::EkLevel(INT32_MIN).value, INT32_MIN);
}

TEST(LevelTest, DerivedLevelDeletesThroughBasePointer) {
  // Under the sanitizers a non-virtual destructor here would be reported.
  RecordingManager manager;
  auto* logger = new RecordingLogger("g", "logger.dc.msg", "");
  logger->set_log_level(new Log::EkLevel(3000));
  logger->set_log_level(new Log::EkLevel(2000));
  EXPECT_EQ(logger->get_level()->value, 2000);
  delete logger;
}

}  // namespace

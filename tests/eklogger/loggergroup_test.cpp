#include "eklogger/loggergroup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "recording_classes.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_classes::journal;
using testing_classes::RecordingLogger;
using testing_classes::RecordingManager;

class LoggerGroupTest : public testing_classes::RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    manager.reset(new RecordingManager);
    group = manager->get_logger("g");
    journal().clear();
  }
  void TearDown() override { manager.reset(); }

  std::unique_ptr<RecordingManager> manager;
  Log::LoggerGroup* group = nullptr;
};

TEST_F(LoggerGroupTest, SevereReachesErrorLoggerFirst) {
  group->severe("disk full", 7, "cat", 3);
  EXPECT_THAT(journal(), ElementsAre("logger.dc.err.g.severe(disk full, 7, cat, 3)",
                                     "logger.dc.msg.g.severe(disk full, 7, cat, 3)"));
}

TEST_F(LoggerGroupTest, EachRecordKindReachesOnlyItsRole) {
  group->warning("w", 1, "c", 1);
  group->info("i", 2, "c", 1);
  group->fine("f", "a.cpp", "fn", 10);
  group->finer("fr", "a.cpp", "fn", 11);
  group->finest("fs", "a.cpp", "fn", 12);
  group->entry("d", "fn", 1, 2, 3);
  group->exitf("d", "fn");
  EXPECT_THAT(journal(),
              ElementsAre("logger.dc.msg.g.warning(w, 1, c, 1)", "logger.dc.msg.g.info(i, 2, c, 1)",
                          "logger.dc.trace.g.fine(f, a.cpp, fn, 10)",
                          "logger.dc.trace.g.finer(fr, a.cpp, fn, 11)",
                          "logger.dc.trace.g.finest(fs, a.cpp, fn, 12)",
                          "logger.dc.trace.g.entry(d, fn)", "logger.dc.trace.g.exitf(d, fn)"));
}

TEST_F(LoggerGroupTest, ShortFormsUseTheLibraryCatalog) {
  group->info("hello", 7);
  group->warning("careful", 8);
  group->severe("broken", 9);
  EXPECT_THAT(journal(), ElementsAre("logger.dc.msg.g.info(hello, 7, eklogger, 1)",
                                     "logger.dc.msg.g.warning(careful, 8, eklogger, 1)",
                                     "logger.dc.err.g.severe(broken, 9, eklogger, 1)",
                                     "logger.dc.msg.g.severe(broken, 9, eklogger, 1)"));
}

TEST_F(LoggerGroupTest, SevereNeedsBothErrorAndMessageLoggers) {
  Log::Logger* message = group->get_logger(0);
  group->set_logger(0, nullptr);
  group->severe("lost", 1, "c", 1);
  EXPECT_THAT(journal(), IsEmpty());
  group->set_logger(0, message);
  Log::Logger* error = group->get_logger(1);
  group->set_logger(1, nullptr);
  group->severe("lost", 1, "c", 1);
  EXPECT_THAT(journal(), IsEmpty());
  group->set_logger(1, error);
}

TEST_F(LoggerGroupTest, SlotsOutsideTheRolesAreIgnored) {
  Log::Logger* error = group->get_logger(1);
  EXPECT_EQ(group->get_logger(3), nullptr);
  EXPECT_EQ(group->get_logger(-1), nullptr);
  RecordingLogger stray("g", "stray", "");
  group->set_logger(3, &stray);
  group->set_logger(-1, &stray);
  EXPECT_EQ(group->get_logger(1), error);
  EXPECT_EQ(group->get_logger(3), nullptr);
}

TEST_F(LoggerGroupTest, SetLoggerReplacesWithoutDeleting) {
  Log::Logger* previous = group->get_logger(1);
  RecordingLogger* other = new RecordingLogger("g", "other", "");
  group->set_logger(1, other);
  EXPECT_EQ(group->get_logger(1), other);
  // The replaced logger is still alive and ours to delete; its handler is
  // passed on so that the group's last logger of the role releases it.
  EXPECT_EQ(previous->get_name(), "logger.dc.err.g");
  other->handler = previous->get_handler();
  static_cast<RecordingLogger*>(previous)->handler = nullptr;
  delete previous;
}

TEST(LoggerGroupEmptyTest, FreshGroupHasNoLoggersAndIgnoresRecords) {
  RecordingManager manager;
  Log::LoggerGroup* group = new Log::LoggerGroup("empty", &manager);
  for (int role = 0; role < 3; ++role) EXPECT_EQ(group->get_logger(role), nullptr);
  testing_classes::journal().clear();
  group->severe("x", 1);
  group->info("x", 1);
  group->fine("x", "f", "fn", 1);
  group->entry("x", "fn");
  group->set_trace_file_name("n", "s", "l");
  group->append_logfile_name_suffix("s");
  group->reset_defaultlog_location("l");
  EXPECT_THAT(testing_classes::journal(), IsEmpty());
  delete group;
}

TEST_F(LoggerGroupTest, FileNameOperationsReachTheHandlersInRoleOrder) {
  group->set_trace_file_name("t.log", ".1", "/logs");
  group->append_logfile_name_suffix(".x");
  group->reset_defaultlog_location("/new");
  EXPECT_THAT(journal(), ElementsAre("handler.file.dc.trace.set_file_name(t.log, /logs)",
                                     "handler.file.dc.trace.append_logfile_name_suffix(.1)",
                                     "handler.file.dc.msg.append_logfile_name_suffix(.x)",
                                     "handler.file.dc.err.append_logfile_name_suffix(.x)",
                                     "handler.file.dc.trace.append_logfile_name_suffix(.x)",
                                     "handler.file.dc.msg.reset_defaultlog_location(/new)",
                                     "handler.file.dc.err.reset_defaultlog_location(/new)",
                                     "handler.file.dc.trace.reset_defaultlog_location(/new)"));
}

TEST_F(LoggerGroupTest, DestroyingOneOfTwoGroupsKeepsTheSharedHandlers) {
  Log::LoggerGroup* other = manager->get_logger("other");
  Log::Handler* shared = other->get_logger(0)->get_handler();
  delete[] manager->delete_logger("g");
  EXPECT_EQ(testing_classes::handler_deletions(), 0);
  EXPECT_EQ(testing_classes::live_handlers().count(shared), 1u);
  delete[] manager->delete_logger("other");
  EXPECT_EQ(testing_classes::handler_deletions(), 3);
}

}  // namespace

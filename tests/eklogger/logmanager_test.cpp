#include "eklogger/logmanager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "recording_classes.h"

namespace {

using ::testing::ElementsAre;
using testing_classes::handler_deletions;
using testing_classes::journal;
using testing_classes::live_handlers;
using testing_classes::RecordingLogger;
using testing_classes::RecordingManager;

class LogManagerTest : public testing_classes::RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    manager.reset(new RecordingManager);
    manager->prod_name = "srv";
    manager->set_log_file_location("/opt/p/bin", false);
  }
  void TearDown() override { manager.reset(); }

  static Log::Handler* handler_of(Log::LoggerGroup* group, int role) {
    return group->get_logger(role)->get_handler();
  }

  std::unique_ptr<RecordingManager> manager;
};

TEST_F(LogManagerTest, DefaultParametersNameTheStandardObjects) {
  const Log::LoggerParams* params = manager->get_default_params();
  EXPECT_EQ(params[0].logger_name, "logger.dc.msg");
  EXPECT_EQ(params[1].logger_name, "logger.dc.err");
  EXPECT_EQ(params[2].logger_name, "logger.dc.trace");
  EXPECT_EQ(params[0].handler_name, "handler.file.dc.msg");
  EXPECT_EQ(params[1].handler_name, "handler.file.dc.err");
  EXPECT_EQ(params[2].handler_name, "handler.file.dc.trace");
  for (int role = 0; role < 3; ++role) {
    EXPECT_EQ(params[role].formatter_name, "formatter.xml");
    EXPECT_TRUE(params[role].logger_class.empty());
    EXPECT_TRUE(params[role].file_name.empty());
    EXPECT_EQ(params[role].level, nullptr);
  }
  EXPECT_STREQ(manager->get_catalog_name(), "eklogger");
  EXPECT_EQ(manager->get_catalog_set(), 1);
}

TEST_F(LogManagerTest, LookupIsExactAndCaseSensitive) {
  Log::LoggerGroup* orders = manager->get_logger("orders");
  ASSERT_NE(orders, nullptr);
  EXPECT_EQ(manager->get_logger("orders"), orders);
  Log::LoggerGroup* upper = manager->get_logger("Orders");
  EXPECT_NE(upper, orders);
  EXPECT_EQ(manager->find_logger("orders "), nullptr);
  EXPECT_EQ(manager->find_first_group(), orders);
  EXPECT_EQ(manager->groups.size(), 2u);
}

TEST_F(LogManagerTest, ClosedToolkitCreatesNoGroupButFindsExistingOnes) {
  Log::LoggerGroup* existing = manager->get_logger("a");
  manager->toolkit_open = false;
  EXPECT_EQ(manager->get_logger("b"), nullptr);
  EXPECT_EQ(manager->get_logger("a"), existing);
  EXPECT_EQ(manager->groups.size(), 1u);
}

TEST_F(LogManagerTest, FirstGroupBuildsHandlersInRoleOrder) {
  manager->get_logger("g");
  EXPECT_THAT(journal(),
              ElementsAre("logger.dc.msg.g.set_prod_name(srv)",
                          "logger.dc.msg.g.add_handler(handler.file.dc.msg, )",
                          "handler.file.dc.msg.set_file_name(, /opt/p/bin/../logs/server1/srv)",
                          "handler.file.dc.msg.add_formatter(formatter.xml, )",
                          "logger.dc.err.g.set_prod_name(srv)",
                          "logger.dc.err.g.add_handler(handler.file.dc.err, )",
                          "handler.file.dc.err.set_file_name(, /opt/p/bin/../logs/server1/srv)",
                          "handler.file.dc.err.add_formatter(formatter.xml, )",
                          "logger.dc.trace.g.set_prod_name(srv)",
                          "logger.dc.trace.g.add_handler(handler.file.dc.trace, )",
                          "handler.file.dc.trace.set_file_name(, /opt/p/bin/../logs/server1/srv)",
                          "handler.file.dc.trace.add_formatter(formatter.xml, )"));
}

TEST_F(LogManagerTest, LaterGroupsShareTheOldestGroupsHandlers) {
  Log::LoggerGroup* first = manager->get_logger("first");
  journal().clear();
  Log::LoggerGroup* second = manager->get_logger("second");
  for (int role = 0; role < 3; ++role) {
    EXPECT_EQ(handler_of(second, role), handler_of(first, role)) << "role " << role;
  }
  for (const std::string& call : journal()) {
    EXPECT_EQ(call.find("add_handler"), std::string::npos) << call;
  }
  EXPECT_EQ(live_handlers().size(), 3u);

  // With the first group gone, a third group shares the second's handlers.
  Log::Handler* shared = handler_of(second, 0);
  delete[] manager->delete_logger("first");
  EXPECT_EQ(handler_deletions(), 0);
  Log::LoggerGroup* third = manager->get_logger("third");
  EXPECT_EQ(handler_of(third, 0), shared);
}

TEST_F(LogManagerTest, EmptyRoleOfFirstGroupLeavesLaterGroupsWithoutHandler) {
  manager->no_logger_for.insert("logger.dc.err");
  Log::LoggerGroup* first = manager->get_logger("first");
  EXPECT_EQ(first->get_logger(1), nullptr);
  ASSERT_NE(first->get_logger(0), nullptr);
  manager->no_logger_for.clear();
  Log::LoggerGroup* second = manager->get_logger("second");
  ASSERT_NE(second->get_logger(1), nullptr);
  EXPECT_EQ(handler_of(second, 1), nullptr);
}

TEST_F(LogManagerTest, HandlersDieWithTheLastGroupExactlyOnce) {
  manager->get_logger("a");
  manager->get_logger("b");
  manager->get_logger("c");
  ASSERT_EQ(live_handlers().size(), 3u);
  delete[] manager->delete_logger("b");
  EXPECT_EQ(handler_deletions(), 0);
  manager.reset();  // destroys a and c
  EXPECT_EQ(handler_deletions(), 3);
  EXPECT_TRUE(live_handlers().empty());
  EXPECT_THAT(journal(), ::testing::Contains("formatter formatter.xml deleted"));
}

TEST_F(LogManagerTest, DisposeHandlerDeletesOnlyWithAnEmptyRegistry) {
  manager->dispose_handler(nullptr);
  manager->get_logger("a");
  manager->dispose_handler(nullptr);
  RecordingLogger owner("x", "logger.dc.msg", "");
  Log::Handler* spare = owner.add_handler("spare", "");
  manager->dispose_handler(spare);
  EXPECT_EQ(live_handlers().count(spare), 1u);
  manager->destroy_loggers();
  EXPECT_TRUE(manager->groups.empty());
  const int before = handler_deletions();
  owner.handler = nullptr;
  manager->dispose_handler(spare);
  EXPECT_EQ(handler_deletions(), before + 1);
}

TEST_F(LogManagerTest, LocationsJoinWithSingleSlashes) {
  EXPECT_EQ(manager->get_log_file_location(), "/opt/p/bin/../logs/server1/srv");
  manager->set_log_file_location("/opt/p/bin", true);
  EXPECT_EQ(manager->get_log_file_location(), "/opt/p/bin");
  manager->set_log_file_location("", false);
  EXPECT_EQ(manager->get_log_file_location(), "/../logs/server1/srv");
  manager->set_prop_file("/opt/p/bin");
  EXPECT_EQ(manager->get_prop_file(), "/opt/p/bin/eklogger.properties");
  manager->set_prop_file("");
  EXPECT_EQ(manager->get_prop_file(), "/eklogger.properties");
}

TEST(LogManagerLeafNameTest, StripsOnlyAnExactTrailingExe) {
  using Log::LogManager;
  EXPECT_EQ(LogManager::get_file_leaf_name("/opt/prod/bin/server.exe", true), "server");
  EXPECT_EQ(LogManager::get_file_leaf_name("server.EXE", true), "server.EXE");
  EXPECT_EQ(LogManager::get_file_leaf_name("a.exe.bak", true), "a.exe.bak");
  EXPECT_EQ(LogManager::get_file_leaf_name("/opt/bin/", true), "");
  EXPECT_EQ(LogManager::get_file_leaf_name("exe", true), "exe");
  EXPECT_EQ(LogManager::get_file_leaf_name(".exe", true), "");
  EXPECT_EQ(LogManager::get_file_leaf_name("prog.exe", false), "prog.exe");
  EXPECT_EQ(LogManager::get_file_leaf_name("", true), "");
  EXPECT_EQ(LogManager::get_file_leaf_name("a\\b.exe", true), "a\\b");
}

}  // namespace

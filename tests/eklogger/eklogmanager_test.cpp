#include "eklogger/eklogmanager.h"

#include <thread>

#include "eklogger/eklogger.h"
#include "eklogger/level.h"
#include "eklogger/loggergroup.h"
#include "toolkit_fixture.h"

namespace {

using Log::EkLogManager;
using Log::LogManager;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EkLogManagerTest : public testing_classes::ToolkitTest {
 protected:
  EkLogManager* init(const std::string& program, const std::string& dir, int port,
                     const std::string& log_dir) {
    return static_cast<EkLogManager*>(EkLogManager::initialize(program, dir, port, log_dir));
  }

  static int count_starting(const std::vector<std::string>& calls, const std::string& prefix) {
    int count = 0;
    for (const std::string& call : calls) count += call.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
  }
};

TEST_F(EkLogManagerTest, InitializeDerivesNamesAndLocations) {
  EkLogManager* manager = init("server.exe", "/opt/p/bin", 0, "");
  ASSERT_EQ(manager, LogManager::g_log_manager);
  EXPECT_EQ(manager->get_prod_name(), "server");
  EXPECT_EQ(manager->get_log_file_location(), "/opt/p/bin/../logs/server1/server");
  EXPECT_EQ(manager->get_catfiles_location(), "/opt/p/bin/../catfiles");
  EXPECT_EQ(manager->get_prop_file(), "/opt/p/bin/eklogger.properties");
  EXPECT_EQ(manager->get_program_name(), "server.exe");
  EXPECT_EQ(manager->get_prod_port(), 0);
  EXPECT_TRUE(manager->is_toolkit_open());
  EXPECT_THAT(fake::calls(), ElementsAre("GwOpenToolkit(\"/opt/p/bin/eklogger.properties\")"));
}

TEST_F(EkLogManagerTest, GivenLogDirectoryIsTakenAsItIs) {
  EkLogManager* manager = init("/opt/p/bin/server.exe", "/opt/p/bin", 0, "/var/log/p");
  EXPECT_EQ(manager->get_prod_name(), "server");
  EXPECT_EQ(manager->get_log_file_location(), "/var/log/p");
  EXPECT_EQ(manager->get_catfiles_location(), "/opt/p/bin/../catfiles");
  EXPECT_EQ(manager->get_prop_file(), "/opt/p/bin/eklogger.properties");
}

TEST_F(EkLogManagerTest, EmptyProgramNameGivesEmptyProduct) {
  EkLogManager* manager = init("", "/opt/p/bin", 0, "");
  EXPECT_EQ(manager->get_prod_name(), "");
  EXPECT_EQ(manager->get_log_file_location(), "/opt/p/bin/../logs/server1/");
}

TEST_F(EkLogManagerTest, LaterInitializeChangesNothing) {
  LogManager* first = EkLogManager::initialize("a", "/d1", 1, "");
  fake::clear_calls();
  LogManager* second = EkLogManager::initialize("b", "/d2", 2, "/l");
  LogManager* third = EkLogManager::initialize("c", "/d3", "ignored", 3, "/m");
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, third);
  EXPECT_EQ(first->get_prod_name(), "a");
  EXPECT_EQ(first->get_log_file_location(), "/d1/../logs/server1/a");
  EXPECT_EQ(static_cast<EkLogManager*>(first)->get_prod_port(), 1);
  EXPECT_THAT(fake::calls(), IsEmpty());
}

TEST_F(EkLogManagerTest, SecondFormIgnoresItsThirdString) {
  EkLogManager* manager = static_cast<EkLogManager*>(
      EkLogManager::initialize("srv", "/opt/p/bin", "anything at all", 7, "/var/log/p"));
  EXPECT_EQ(manager->get_prod_name(), "srv");
  EXPECT_EQ(manager->get_log_file_location(), "/var/log/p");
  EXPECT_EQ(manager->get_prod_port(), 7);
}

TEST_F(EkLogManagerTest, ConcurrentFirstCallsShareOneManager) {
  LogManager* seen[4] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&seen, t] {
      LogManager* manager = EkLogManager::initialize("srv", "/opt/p/bin", 0, "");
      // Whoever returns sees the manager complete.
      EXPECT_TRUE(manager->is_toolkit_open());
      seen[t] = manager;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (LogManager* manager : seen) EXPECT_EQ(manager, seen[0]);
  EXPECT_THAT(fake::calls_of("GwOpenToolkit"), ::testing::SizeIs(1));
}

TEST_F(EkLogManagerTest, ToolkitThatDoesNotOpenYieldsNoGroups) {
  for (int result : {0, 2, -1}) {
    fake::reset();
    LogManager::g_log_manager = nullptr;
    fake::set_open_result(result);
    LogManager* manager = EkLogManager::initialize("srv", "/opt/p/bin", 0, "");
    ASSERT_NE(manager, nullptr);
    EXPECT_FALSE(manager->is_toolkit_open());
    EXPECT_EQ(manager->get_logger("g"), nullptr);
    EXPECT_THAT(fake::calls_of("GwGetObject"), IsEmpty());
    fake::set_open_result(1);
    EXPECT_TRUE(manager->set_attributes("/other"));
    EXPECT_EQ(manager->get_prop_file(), "/other/eklogger.properties");
    EXPECT_NE(manager->get_logger("g"), nullptr);
    delete manager;
  }
  LogManager::g_log_manager = nullptr;
}

TEST_F(EkLogManagerTest, OnlyTheFirstGroupCreatesHandlersAndFormatters) {
  fake::set_property("handler.file.dc.msg", "fileName", "msg.log");
  LogManager* manager = init("srv", "/opt/p/bin", 9000, "/logs");
  fake::clear_calls();
  Log::LoggerGroup* first = manager->get_logger("first");
  const std::vector<std::string> built = fake::calls();
  EXPECT_EQ(count_starting(built, "GwGetObject(\"handler."), 3);
  EXPECT_EQ(count_starting(built, "GwGetObject(\"formatter.xml\""), 3);
  EXPECT_EQ(count_starting(built, "GwHandlerSetFormatter"), 3);
  EXPECT_EQ(fake::property("handler.file.dc.msg", "fileName"), "/logs/msg.log");
  EXPECT_EQ(fake::property("handler.file.dc.err", "fileName"), "/logs/");
  EXPECT_EQ(fake::property("logger.dc.msg.first", "product"), "srvport=9000");
  EXPECT_EQ(fake::property("logger.dc.msg.first", "component"), "first");

  fake::clear_calls();
  Log::LoggerGroup* second = manager->get_logger("second");
  EXPECT_EQ(count_starting(fake::calls(), "GwGetObject(\"handler."), 0);
  EXPECT_EQ(count_starting(fake::calls(), "GwGetObject(\"formatter"), 0);
  EXPECT_EQ(second->get_logger(2)->get_handler(), first->get_logger(2)->get_handler());

  fake::clear_calls();
  second->info("hello", 42);
  EXPECT_THAT(
      fake::calls_of("GwLogInfo"),
      ElementsAre("GwLogInfo(@logger.dc.msg.second, \"eklogger\", 1, 42, \"hello\", null)"));
}

TEST_F(EkLogManagerTest, DestructionClosesTheToolkitFirstAndReleasesEachHandleOnce) {
  LogManager* manager = init("srv", "/opt/p/bin", 0, "");
  manager->get_logger("a");
  manager->get_logger("b");
  fake::clear_calls();
  delete manager;
  LogManager::g_log_manager = nullptr;
  const std::vector<std::string> calls = fake::calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "GwCloseToolkit()");
  EXPECT_EQ(count_starting(calls, "GwCloseToolkit"), 1);
  for (const char* object :
       {"logger.dc.msg.a", "logger.dc.err.a", "logger.dc.trace.a", "logger.dc.msg.b",
        "handler.file.dc.msg", "handler.file.dc.err", "handler.file.dc.trace"}) {
    EXPECT_EQ(fake::release_count(object), 1) << object;
  }
  // One formatter object serves all three handlers; each adopted handle is
  // released by its own formatter.
  EXPECT_EQ(fake::release_count("formatter.xml"), 3);
  // Loggers go before the handlers they share.
  EXPECT_LT(std::find(calls.begin(), calls.end(), "GwReleaseObject(@logger.dc.msg.b)"),
            std::find(calls.begin(), calls.end(), "GwReleaseObject(@handler.file.dc.msg)"));
}

TEST_F(EkLogManagerTest, DeleteLoggerRecordsTheGroupsSettings) {
  fake::set_property("handler.file.dc.err", "fileName", "err.log");
  fake::set_property("logger.dc.err.g", "level", "WARNING");
  LogManager* manager = init("srv", "/opt/p/bin", 0, "/logs");
  EXPECT_EQ(manager->delete_logger("g"), nullptr);
  manager->get_logger("g");
  std::unique_ptr<Log::LoggerParams[]> recorded(manager->delete_logger("g"));
  ASSERT_TRUE(recorded);
  EXPECT_EQ(manager->find_logger("g"), nullptr);
  EXPECT_EQ(recorded[1].logger_name, "logger.dc.err.g");
  EXPECT_EQ(recorded[1].handler_name, "handler.file.dc.err");
  EXPECT_EQ(recorded[1].file_name, "/logs/err.log");
  EXPECT_EQ(recorded[1].formatter_name, "formatter.xml");
  ASSERT_NE(recorded[1].level, nullptr);
  EXPECT_EQ(recorded[1].level->value, 5000);
  for (int role = 0; role < 3; ++role) delete recorded[role].level;
  // The handlers went with the only group.
  EXPECT_EQ(fake::release_count("handler.file.dc.err"), 1);
}

TEST_F(EkLogManagerTest, UpdateLoggerMergesOnlyEmptyFieldsAndMovesTheGroupToTheEnd) {
  LogManager* manager = init("srv", "/opt/p/bin", 0, "/logs");
  EXPECT_EQ(manager->update_logger("none", nullptr), nullptr);
  manager->get_logger("g");
  manager->get_logger("h");
  manager->get_logger("g")->get_logger(0)->set_log_level(new Log::Level(3000));

  Log::LoggerParams params[3];
  params[0].handler_name = "handler.mine";
  params[2].level = new Log::Level(1000);
  fake::clear_calls();
  Log::LoggerGroup* rebuilt = manager->update_logger("g", params);
  ASSERT_NE(rebuilt, nullptr);
  EXPECT_EQ(manager->find_first_group()->get_name(), "h");
  EXPECT_EQ(params[0].handler_name, "handler.mine");
  EXPECT_EQ(params[1].handler_name, "handler.file.dc.err");
  // The recorded full name becomes the new logger name.
  EXPECT_EQ(params[0].logger_name, "logger.dc.msg.g");
  EXPECT_EQ(rebuilt->get_logger(0)->get_name(), "logger.dc.msg.g.g");
  EXPECT_EQ(rebuilt->get_logger(0)->get_level()->value, 3000);
  EXPECT_EQ(rebuilt->get_logger(2)->get_level()->value, 1000);
  // h is still registered, so the rebuilt group shares its handlers.
  EXPECT_EQ(rebuilt->get_logger(1)->get_handler(),
            manager->find_logger("h")->get_logger(1)->get_handler());
}

TEST_F(EkLogManagerTest, UpdateLoggerAfterTheToolkitClosedLosesTheGroup) {
  LogManager* manager = init("srv", "/opt/p/bin", 0, "");
  manager->get_logger("g");
  fake::set_open_result(0);
  manager->set_attributes("/opt/p/bin");
  Log::LoggerParams params[3];
  EXPECT_EQ(manager->update_logger("g", params), nullptr);
  EXPECT_EQ(manager->find_logger("g"), nullptr);
  for (Log::LoggerParams& record : params) delete record.level;
}

}  // namespace

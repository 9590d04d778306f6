#include "eklogger/ekhandler.h"

#include <sys/ipc.h>
#include <unistd.h>

#include <fstream>
#include <new>

#include "eklogger/ekformatter.h"
#include "eklogger/eklogger.h"
#include "test_files.h"
#include "toolkit_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EkHandlerTest : public testing_classes::ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    install_manager();
    logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
    fake::clear_calls();
  }
  void TearDown() override {
    logger.reset();
    ToolkitTest::TearDown();
  }

  std::unique_ptr<Log::EkHandler> make_handler(const std::string& name = "handler.file.dc.msg") {
    std::unique_ptr<Log::EkHandler> handler(Log::EkHandler::get_handler(name, "", *logger));
    fake::clear_calls();
    return handler;
  }

  std::unique_ptr<Log::EkLogger> logger;
};

TEST_F(EkHandlerTest, ConstructionLooksUpTheHandlerAndSetsTheSemaphoreKey) {
  const TempDir dir("ekhandler");
  const std::string program = dir.file("prog");
  std::ofstream(program).put('x');
  delete Log::LogManager::g_log_manager;
  install_manager("prog", dir.path());
  fake::clear_calls();
  const key_t key = ftok(program.c_str(), 0x61);
  ASSERT_NE(key, -1);

  Log::EkHandler handler("handler.file.dc.msg", "gw_filehandler", *logger);
  EXPECT_THAT(fake::calls(),
              ElementsAre("GwGetObject(\"handler.file.dc.msg\", \"gw_filehandler\")",
                          "GwSetObjPropInt(@handler.file.dc.msg, \"MPFileSemKey\", " +
                              std::to_string(key) + ")"));
  EXPECT_TRUE(handler.get_cached_file_name().empty());
}

TEST_F(EkHandlerTest, KeyPathIsTheProductNameWithoutAProgramName) {
  struct NamedManager : Log::EkLogManager {
    using Log::EkLogManager::EkLogManager;
    using Log::LogManager::prod_name;
  };
  const TempDir dir("ekhandler");
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::ofstream("srv").put('x');
  delete Log::LogManager::g_log_manager;
  auto* manager = new NamedManager("", "/opt/p/bin");
  manager->prod_name = "srv";
  Log::LogManager::g_log_manager = manager;

  Log::EkHandler handler("h", "", *logger);
  EXPECT_THAT(fake::calls_of("GwSetObjPropInt"),
              ElementsAre("GwSetObjPropInt(@h, \"MPFileSemKey\", " +
                          std::to_string(ftok("srv", 0x61)) + ")"));
  EXPECT_NE(ftok("srv", 0x61), -1);
}

TEST_F(EkHandlerTest, FailingKeyIsPassedOnAsMinusOne) {
  delete Log::LogManager::g_log_manager;
  install_manager("no-such-program", "/no/such/dir");
  Log::EkHandler handler("h", "", *logger);
  EXPECT_THAT(fake::calls_of("GwSetObjPropInt"),
              ElementsAre("GwSetObjPropInt(@h, \"MPFileSemKey\", -1)"));
}

TEST_F(EkHandlerTest, EmptyNameTakesTheToolkitsFileName) {
  fake::set_property("handler.file.dc.msg", "fileName", "msg.log");
  auto handler = make_handler();
  handler->set_file_name("", "/logs");
  EXPECT_EQ(handler->get_cached_file_name(), "/logs/msg.log");
  EXPECT_EQ(fake::property("handler.file.dc.msg", "fileName"), "/logs/msg.log");

  fake::set_property("handler.file.dc.msg", "fileName", "/abs/msg.log");
  handler->set_file_name("", "/logs");
  EXPECT_EQ(handler->get_cached_file_name(), "/abs/msg.log");

  // The toolkit's relative name with a directory goes into the location too.
  fake::set_property("handler.file.dc.msg", "fileName", "sub/msg.log");
  handler->set_file_name("", "/logs");
  EXPECT_EQ(handler->get_cached_file_name(), "/logs/sub/msg.log");
  EXPECT_EQ(fake::property("handler.file.dc.msg", "fileName"), "/logs/sub/msg.log");
}

TEST_F(EkHandlerTest, SuffixAndRelocationWorkFromTheCachedName) {
  auto handler = make_handler();
  handler->append_logfile_name_suffix(".7");
  EXPECT_EQ(fake::property("handler.file.dc.msg", "fileName"), ".7");

  handler->set_file_name("/old/dir/app.log", "/ignored");
  handler->append_logfile_name_suffix(".1");
  // The toolkit's name may differ; relocation uses the handler's own copy.
  fake::set_property("handler.file.dc.msg", "fileName", "/elsewhere/other.log");
  handler->reset_defaultlog_location("/new");
  EXPECT_EQ(handler->get_cached_file_name(), "/new/app.log.1");
  EXPECT_EQ(fake::property("handler.file.dc.msg", "fileName"), "/new/app.log.1");

  handler->set_file_name("plain", "");
  handler->reset_defaultlog_location("/x");
  EXPECT_EQ(handler->get_cached_file_name(), "/x/plain");
}

TEST_F(EkHandlerTest, HandlerWithoutToolkitObjectChangesNothing) {
  fake::set_missing_object("missing");
  std::unique_ptr<Log::EkHandler> handler(Log::EkHandler::get_handler("missing", "", *logger));
  // The key still goes to the toolkit, which ignores a null handle.
  EXPECT_THAT(fake::calls_of("GwSetObjPropInt"),
              ElementsAre(::testing::StartsWith("GwSetObjPropInt(null, \"MPFileSemKey\"")));
  fake::clear_calls();
  handler->append_logfile_name_suffix(".1");
  handler->reset_defaultlog_location("/new");
  EXPECT_TRUE(handler->get_cached_file_name().empty());
  EXPECT_EQ(handler->get_file_name(), "");
  handler->set_file_name("", "/loc");
  EXPECT_EQ(handler->get_cached_file_name(), "/loc/");
  EXPECT_THAT(fake::calls(), IsEmpty());
}

TEST_F(EkHandlerTest, UnfoundFileNameReadsAsEmpty) {
  auto handler = make_handler();
  EXPECT_EQ(handler->get_file_name(), "");
  fake::set_property("handler.file.dc.msg", "fileName", "x.log");
  EXPECT_EQ(handler->get_file_name(), "x.log");
  EXPECT_THAT(fake::calls_of("OruMemoryFree"), ElementsAre("OruMemoryFree(\"x.log\")"));
}

TEST_F(EkHandlerTest, SecondFormatterReplacesTheFirstAndAdoptsTheAttachedOne) {
  auto handler = make_handler();
  handler->add_formatter("formatter.xml", "gw_xmlformatter");
  EXPECT_THAT(fake::calls(),
              ElementsAre("GwHandlerGetFormatter(@handler.file.dc.msg)",
                          "GwGetObject(\"formatter.xml\", \"gw_xmlformatter\")",
                          "GwHandlerSetFormatter(@handler.file.dc.msg, @formatter.xml)"));
  fake::clear_calls();
  handler->add_formatter("formatter.other", "");
  EXPECT_THAT(fake::calls(), ElementsAre("GwReleaseObject(@formatter.xml)",
                                         "GwHandlerGetFormatter(@handler.file.dc.msg)"));
  EXPECT_EQ(handler->get_formatter()->get_name(), "formatter.other");
}

TEST_F(EkHandlerTest, FailedReplacementLeavesNoFormatter) {
  auto handler = make_handler();
  handler->add_formatter("formatter.xml", "");
  // Creating the replacement fails as an allocation would.
  fake::set_formatter_lookup_throws(true);
  EXPECT_THROW(handler->add_formatter("formatter.next", ""), std::bad_alloc);
  fake::set_formatter_lookup_throws(false);
  EXPECT_EQ(handler->get_formatter(), nullptr);
  handler.reset();  // must not delete the old formatter a second time
  EXPECT_EQ(fake::release_count("formatter.xml"), 1);
}

TEST_F(EkHandlerTest, DestructionReleasesTheHandlerBeforeTheFormatter) {
  auto handler = make_handler();
  handler->add_formatter("formatter.xml", "");
  fake::clear_calls();
  handler.reset();
  EXPECT_THAT(fake::calls(), ElementsAre("GwReleaseObject(@handler.file.dc.msg)",
                                         "GwReleaseObject(@formatter.xml)"));
}

}  // namespace

#include "eklogger/ekformatter.h"

#include "eklogger/ekhandler.h"
#include "eklogger/eklogger.h"
#include "toolkit_fixture.h"

namespace {

using ::testing::ElementsAre;

class EkFormatterTest : public testing_classes::ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    install_manager();
    logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
    handler.reset(Log::EkHandler::get_handler("handler.file.dc.msg", "", *logger));
    fake::clear_calls();
  }
  void TearDown() override {
    handler.reset();
    logger.reset();
    ToolkitTest::TearDown();
  }

  std::unique_ptr<Log::EkLogger> logger;
  std::unique_ptr<Log::EkHandler> handler;
};

TEST_F(EkFormatterTest, AdoptsTheToolkitHandlersFormatter) {
  fake::set_handler_formatter("handler.file.dc.msg", "formatter.configured");
  std::unique_ptr<Log::EkFormatter> formatter(
      Log::EkFormatter::get_formatter("formatter.xml", "gw_xmlformatter", *handler));
  EXPECT_THAT(fake::calls(), ElementsAre("GwHandlerGetFormatter(@handler.file.dc.msg)"));
  EXPECT_EQ(formatter->get_toolkit_formatter(), fake::handle_of("formatter.configured"));
  EXPECT_EQ(formatter->get_name(), "formatter.xml");
  formatter.reset();
  EXPECT_EQ(fake::release_count("formatter.configured"), 1);
}

TEST_F(EkFormatterTest, LooksUpAndAttachesWhenTheHandlerHasNone) {
  std::unique_ptr<Log::EkFormatter> formatter(
      Log::EkFormatter::get_formatter("formatter.xml", "", *handler));
  EXPECT_THAT(fake::calls(),
              ElementsAre("GwHandlerGetFormatter(@handler.file.dc.msg)",
                          "GwGetObject(\"formatter.xml\", null)",
                          "GwHandlerSetFormatter(@handler.file.dc.msg, @formatter.xml)"));
  formatter.reset();
  EXPECT_EQ(fake::release_count("formatter.xml"), 1);
}

TEST_F(EkFormatterTest, MissingToolkitFormatterIsNotReleased) {
  fake::set_missing_object("formatter.none");
  std::unique_ptr<Log::EkFormatter> formatter(
      Log::EkFormatter::get_formatter("formatter.none", "", *handler));
  fake::clear_calls();
  formatter.reset();
  EXPECT_THAT(fake::calls(), ::testing::IsEmpty());
}

TEST_F(EkFormatterTest, HeadAndTailComeFromTheArgumentHandler) {
  std::unique_ptr<Log::EkFormatter> formatter(
      Log::EkFormatter::get_formatter("formatter.xml", "", *handler));
  std::unique_ptr<Log::EkHandler> other(Log::EkHandler::get_handler("handler.other", "", *logger));
  static const char kHeader[] = "<log>";
  static const char kTrailer[] = "</log>";
  fake::set_handler_header("handler.other", kHeader);
  fake::set_handler_trailer("handler.other", kTrailer);
  EXPECT_EQ(formatter->get_head(*other), kHeader);
  EXPECT_EQ(formatter->get_tail(*other), kTrailer);
  EXPECT_EQ(formatter->get_head(*handler), nullptr);
  EXPECT_EQ(formatter->get_tail(*handler), nullptr);
  formatter->format();
}

}  // namespace

#include "eklogger/eklogger.h"

#include <thread>

#include "eklogger/ekformatter.h"
#include "eklogger/ekhandler.h"
#include "eklogger/eklevel.h"
#include "toolkit_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char kLogger[] = "logger.dc.trace.g";
const char kHandler[] = "handler.file.dc.trace";
const char kFormatter[] = "formatter.basic";

class EkLoggerTest : public testing_classes::ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    install_manager();
  }
  void TearDown() override {
    logger.reset();
    ToolkitTest::TearDown();
  }

  // A trace logger whose handler formats with the given toolkit class.
  void make_trace_logger(const char* formatter_class) {
    logger.reset(new Log::EkLogger("g", "logger.dc.trace", ""));
    logger->add_handler(kHandler, "");
    logger->get_handler()->add_formatter(kFormatter, "");
    if (formatter_class != nullptr) fake::set_property(kFormatter, "className", formatter_class);
    fake::set_property(kLogger, "prod_port", "srvport=9000");
    fake::clear_calls();
  }

  std::unique_ptr<Log::EkLogger> logger;
};

TEST_F(EkLoggerTest, ConstructorLooksUpTheDottedName) {
  logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
  Log::EkLogger with_class("g", "logger.dc.err", "cls");
  Log::EkLogger unnamed("g", "", "");
  EXPECT_THAT(fake::calls(),
              ElementsAre("GwGetObject(\"logger.dc.msg.g\", null)",
                          "GwGetObject(\"logger.dc.err.g\", \"cls\")", "GwGetObject(\"\", null)"));
  EXPECT_EQ(logger->get_toolkit_logger(), fake::handle_of("logger.dc.msg.g"));
}

TEST_F(EkLoggerTest, CataloguedRecordsPassCatalogSetNumberTextAndOneNull) {
  logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
  fake::clear_calls();
  logger->severe("s", 1, "cat", 2);
  logger->warning("w", 3, "cat", 4);
  logger->info("i", 5, "cat", 6);
  EXPECT_THAT(fake::calls(),
              ElementsAre("GwIsLoggable(@logger.dc.msg.g, 6000)",
                          "GwLogError(@logger.dc.msg.g, \"cat\", 2, 1, \"s\", null)",
                          "GwIsLoggable(@logger.dc.msg.g, 5000)",
                          "GwLogWarn(@logger.dc.msg.g, \"cat\", 4, 3, \"w\", null)",
                          "GwIsLoggable(@logger.dc.msg.g, 4000)",
                          "GwLogInfo(@logger.dc.msg.g, \"cat\", 6, 5, \"i\", null)"));
}

TEST_F(EkLoggerTest, NullTextOrLowLevelWritesNothing) {
  logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
  fake::clear_calls();
  logger->severe(nullptr, 1, "c", 1);
  logger->warning(nullptr, 1, "c", 1);
  logger->info(nullptr, 1, "c", 1);
  EXPECT_THAT(fake::calls(), IsEmpty()) << "no level test for a null text";

  fake::set_threshold("logger.dc.msg.g", 5000);
  logger->info("below", 1, "c", 1);
  logger->fine("below", "f", "fn", 1);
  EXPECT_THAT(fake::calls(), ElementsAre("GwIsLoggable(@logger.dc.msg.g, 4000)",
                                         "GwIsLoggable(@logger.dc.msg.g, 3000)"));
}

TEST_F(EkLoggerTest, LoggerWithoutToolkitObjectIsSilent) {
  fake::set_missing_object("logger.dc.msg.g");
  logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
  fake::clear_calls();
  EXPECT_FALSE(logger->is_loggable(Log::EkLevel(6000)));
  logger->severe("x", 1, "c", 1);
  logger->finest("x", "f", "fn", 1);
  logger->message("x");
  logger->entry("d", "fn");
  EXPECT_THAT(fake::calls(), IsEmpty());
  logger->set_log_level(new Log::EkLevel(3000));
  EXPECT_EQ(logger->get_level()->value, 3000);
  EXPECT_THAT(fake::calls(), IsEmpty());
}

TEST_F(EkLoggerTest, TraceRecordsPassFileFunctionLineTextAndOneNull) {
  make_trace_logger(nullptr);
  logger->fine("a", "x.cpp", "f", 1);
  logger->finer(nullptr, nullptr, nullptr, 2);
  logger->finest("c", "x.cpp", "h", 3);
  EXPECT_THAT(fake::calls_of("GwLogDebug"),
              ElementsAre("GwLogDebugMin(@logger.dc.trace.g, \"x.cpp\", \"f\", 1, \"a\", null)",
                          "GwLogDebugMid(@logger.dc.trace.g, null, null, 2, null, null)",
                          "GwLogDebugMax(@logger.dc.trace.g, \"x.cpp\", \"h\", 3, \"c\", null)"));
  EXPECT_THAT(fake::calls_of("GwIsLoggable"),
              ElementsAre("GwIsLoggable(@logger.dc.trace.g, 3000)",
                          "GwIsLoggable(@logger.dc.trace.g, 2000)",
                          "GwIsLoggable(@logger.dc.trace.g, 1000)"));
}

TEST_F(EkLoggerTest, MessageIsWrittenWhateverTheLevel) {
  make_trace_logger(nullptr);
  fake::set_threshold(kLogger, 100000);
  logger->message("plain %s");
  logger->message(nullptr);
  EXPECT_THAT(fake::calls_of("GwLogText"),
              ElementsAre("GwLogText(@logger.dc.trace.g, \"plain %s\")"));
  EXPECT_THAT(fake::calls_of("GwIsLoggable"), IsEmpty());
}

TEST_F(EkLoggerTest, ProductTextWithoutPortIsTheNameAlone) {
  logger.reset(new Log::EkLogger("orders", "logger.dc.msg", ""));
  fake::clear_calls();
  logger->set_prod_name("srv");
  EXPECT_THAT(fake::calls(),
              ElementsAre("GwSetObjProp(@logger.dc.msg.orders, \"product\", \"srv\")",
                          "GwSetObjProp(@logger.dc.msg.orders, \"prod_port\", \"srv\")",
                          "GwSetObjProp(@logger.dc.msg.orders, \"component\", \"orders\")"));
}

TEST_F(EkLoggerTest, LevelFromTheToolkitIsWrittenBackAsANumber) {
  logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
  fake::clear_calls();
  logger->set_log_level(nullptr);
  EXPECT_EQ(logger->get_level()->value, 0);
  EXPECT_THAT(fake::calls(), ElementsAre("GwGetObjProp(@logger.dc.msg.g, \"level\")",
                                         "GwSetObjPropInt(@logger.dc.msg.g, \"level\", 0)"));

  fake::set_property("logger.dc.msg.g", "level", "FINE");
  fake::clear_calls();
  logger->set_log_level(nullptr);
  EXPECT_EQ(logger->get_level()->value, 3000);
  EXPECT_THAT(
      fake::calls(),
      ElementsAre("GwGetObjProp(@logger.dc.msg.g, \"level\")", "GwGetLevelFromString(\"FINE\")",
                  "OruMemoryFree(\"FINE\")", "GwSetObjPropInt(@logger.dc.msg.g, \"level\", 3000)"));
}

TEST_F(EkLoggerTest, GivenLevelReplacesTheOldOneButNotItself) {
  logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
  logger->set_log_level(new Log::EkLevel(2000));
  Log::Level* held = const_cast<Log::Level*>(logger->get_level());
  fake::clear_calls();
  logger->set_log_level(held);  // used to be deleted and then read
  EXPECT_EQ(logger->get_level(), held);
  EXPECT_EQ(logger->get_level()->value, 2000);
  EXPECT_THAT(fake::calls(), ElementsAre("GwSetObjPropInt(@logger.dc.msg.g, \"level\", 2000)"));
}

TEST_F(EkLoggerTest, AddHandlerDisposesOfThePreviousHandlerFirst) {
  logger.reset(new Log::EkLogger("g", "logger.dc.msg", ""));
  fake::clear_calls();
  logger->add_handler("handler.a", "");
  EXPECT_THAT(fake::calls_of("GwReleaseObject"), IsEmpty());
  fake::clear_calls();
  Log::Handler* second = logger->add_handler("handler.b", "");
  // No group is registered, so the manager deletes the old handler.
  EXPECT_EQ(fake::calls().front(), "GwReleaseObject(@handler.a)");
  EXPECT_EQ(logger->get_handler(), second);
  EXPECT_EQ(second->get_name(), "handler.b");
}

TEST_F(EkLoggerTest, DecorationAppendsProcessThenThreadIdentifier) {
  make_trace_logger("gw_basicformatter");
  fake::set_process_id(123);
  fake::set_thread_id(456);
  logger->finer("t", "f", "fn", 1);
  EXPECT_EQ(fake::records().back().product, "srvport=9000 pid=123 tid=456");
  EXPECT_THAT(
      fake::calls(),
      ElementsAre("GwIsLoggable(@logger.dc.trace.g, 2000)",
                  "GwGetObjProp(@formatter.basic, \"className\")",
                  "OruMemoryFree(\"gw_basicformatter\")", "NxThreadGetCurrentID()",
                  "NxProcessGetCurrentID()", "GwGetObjProp(@logger.dc.trace.g, \"prod_port\")",
                  "OruMemoryFree(\"srvport=9000\")",
                  "GwSetObjProp(@logger.dc.trace.g, \"product\", "
                  "\"srvport=9000 pid=123 tid=456\")",
                  "GwLogDebugMid(@logger.dc.trace.g, \"f\", \"fn\", 1, \"t\", null)"));
  // Each decoration starts again from prod_port, with the ids of now (a
  // forked child's own).
  logger->finer("t", "f", "fn", 1);
  EXPECT_EQ(fake::records().back().product, "srvport=9000 pid=123 tid=456");
  fake::set_process_id(789);
  logger->finer("t", "f", "fn", 1);
  EXPECT_EQ(fake::records().back().product, "srvport=9000 pid=789 tid=456");
}

TEST_F(EkLoggerTest, ZeroIdentifiersAreLeftOut) {
  make_trace_logger("gw_basicformatter");
  fake::set_process_id(0);
  fake::set_thread_id(456);
  logger->fine("t", "f", "fn", 1);
  EXPECT_EQ(fake::records().back().product, "srvport=9000 tid=456");
  fake::set_process_id(123);
  fake::set_thread_id(0);
  logger->fine("t", "f", "fn", 1);
  EXPECT_EQ(fake::records().back().product, "srvport=9000 pid=123");
  fake::set_process_id(0);
  logger->fine("t", "f", "fn", 1);
  EXPECT_EQ(fake::records().back().product, "srvport=9000");
}

TEST_F(EkLoggerTest, OnlyTheExactBasicFormatterClassIsDecorated) {
  for (const char* other : {"GW_BASICFORMATTER", "gw_basicformatterX", "gw_xmlformatter", ""}) {
    make_trace_logger(other);
    fake::set_property(kLogger, "product", "untouched");
    logger->finest("t", "f", "fn", 1);
    EXPECT_EQ(fake::property(kLogger, "product"), "untouched") << other;
    EXPECT_THAT(fake::calls_of("NxThreadGetCurrentID"), IsEmpty()) << other;
    EXPECT_THAT(fake::calls_of("GwLogDebugMax"), ::testing::SizeIs(1)) << other;
  }
}

TEST_F(EkLoggerTest, MissingPiecesLeaveTheProductAlone) {
  make_trace_logger(nullptr);  // formatter without className
  logger->finest("t", "f", "fn", 1);
  EXPECT_THAT(fake::calls_of("GwSetObjProp"), IsEmpty());

  make_trace_logger("gw_basicformatter");
  fake::set_property(kLogger, "product", "untouched");
  fake::clear_property(kLogger, "prod_port");
  logger->finest("t", "f", "fn", 1);
  EXPECT_THAT(fake::calls_of("GwSetObjProp"), IsEmpty());
  EXPECT_THAT(fake::calls_of("GwLogDebugMax"), ::testing::SizeIs(1));

  logger.reset(new Log::EkLogger("g", "logger.dc.trace", ""));  // no handler
  fake::clear_calls();
  logger->finest("t", "f", "fn", 1);
  EXPECT_THAT(fake::calls_of("GwGetObjProp"), IsEmpty());
  logger->add_handler(kHandler, "");  // handler without formatter
  fake::clear_calls();
  logger->finest("t", "f", "fn", 1);
  EXPECT_THAT(fake::calls_of("GwGetObjProp"), IsEmpty());
}

TEST_F(EkLoggerTest, CataloguedRecordsNeverTouchTheProduct) {
  make_trace_logger("gw_basicformatter");
  logger->info("i", 1, "c", 1);
  logger->warning("w", 1, "c", 1);
  logger->severe("s", 1, "c", 1);
  EXPECT_THAT(fake::calls_of("GwSetObjProp"), IsEmpty());
  EXPECT_THAT(fake::calls_of("GwGetObjProp"), IsEmpty());
}

TEST_F(EkLoggerTest, EntryAndExitComposeFixedTexts) {
  make_trace_logger(nullptr);
  logger->entry(nullptr, "open", 1, "ignored");
  logger->entry("fd=3 100%s", "open");
  logger->exitf(nullptr, "open");
  logger->exitf("rc=0", nullptr);
  const std::vector<std::string> records = fake::calls_of("GwLogDebugMax");
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0],
            "GwLogDebugMax(@logger.dc.trace.g, \"lib/eklogger/eklogger.cpp\", \"open\", 221, "
            "\"Entering the function open.\", null)");
  EXPECT_EQ(records[1],
            "GwLogDebugMax(@logger.dc.trace.g, \"lib/eklogger/eklogger.cpp\", \"open\", 221, "
            "\"Entering the function open. fd=3 100%s\", null)");
  EXPECT_EQ(records[2],
            "GwLogDebugMax(@logger.dc.trace.g, \"lib/eklogger/eklogger.cpp\", \"open\", 237, "
            "\"Exiting the function open.\", null)");
  EXPECT_EQ(records[3],
            "GwLogDebugMax(@logger.dc.trace.g, \"lib/eklogger/eklogger.cpp\", null, 237, "
            "\"Exiting the function \", null)");
}

TEST_F(EkLoggerTest, EntryBelowFinestTouchesNothing) {
  make_trace_logger("gw_basicformatter");
  fake::set_threshold(kLogger, 2000);
  logger->entry("d", "fn");
  logger->exitf("d", "fn");
  EXPECT_THAT(fake::calls(), ElementsAre("GwIsLoggable(@logger.dc.trace.g, 1000)",
                                         "GwIsLoggable(@logger.dc.trace.g, 1000)"));
}

TEST_F(EkLoggerTest, EntryGoesThroughAnOverriddenFinest) {
  struct Counting : Log::EkLogger {
    using Log::EkLogger::EkLogger;
    void finest(const char*, const char*, const char*, int line) override { lines.push_back(line); }
    std::vector<int> lines;
  };
  Counting counting("g", "logger.dc.trace", "");
  counting.entry("d", "fn");
  counting.exitf("d", "fn");
  EXPECT_THAT(counting.lines, ElementsAre(221, 237));
}

TEST_F(EkLoggerTest, ConcurrentTraceRecordsCarryTheirOwnThreadsIdentifier) {
  make_trace_logger("gw_basicformatter");
  fake::set_process_id(7);
  constexpr int kThreads = 4;
  constexpr int kRecords = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      fake::set_thread_id(1000 + t);
      const std::string text = "thread " + std::to_string(1000 + t);
      for (int i = 0; i < kRecords; ++i) logger->finer(text.c_str(), "f", "fn", i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<fake::Record> records = fake::records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kRecords));
  int mismatched = 0;
  for (const fake::Record& record : records) {
    const std::string id = record.text.substr(record.text.find(' ') + 1);
    if (record.product != "srvport=9000 pid=7 tid=" + id) ++mismatched;
  }
  EXPECT_EQ(mismatched, 0);
}

}  // namespace

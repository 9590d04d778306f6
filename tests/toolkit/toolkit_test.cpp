// The toolkit through its C functions, with real files.  Records are
// rendered by the tests' formatter (test_formatter.cpp):
//   <level>|<logger>|<product>|<component>|<kind fields>|<text>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "toolkit_fixture.h"

namespace gw_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class ToolkitTest : public ToolkitFixture {
 protected:
  // Two loggers on two files; "logger.app.sub" has its own handler.
  std::string two_files() const {
    return "logger.app.level = ALL\n"
           "logger.app.handlers = handler.msg\n"
           "logger.app.sub.handlers = handler.trace\n"
           "handler.msg.fileName = " +
           file("msg.log") +
           "\n"
           "handler.trace.fileName = " +
           file("trace.log") + "\n";
  }
};

TEST_F(ToolkitTest, RecordsOfEachKindReachTheirHandlersOnly) {
  ASSERT_EQ(open_with(two_files()), 1);
  Ref app("logger.app.orders");
  Ref sub("logger.app.sub");
  GwSetObjProp(app, "product", "shop port=9000");
  GwSetObjProp(app, "component", "orders");
  GwLogError(app, "shop", 1, 10, "severe text", nullptr);
  GwLogWarn(app, "shop", 2, 20, "warning text", nullptr);
  GwLogInfo(app, "shop", 3, 30, "info text", nullptr);
  GwLogText(app, "plain text, 100% %s %n");
  GwLogDebugMin(sub, "a.cpp", "f", 1, "fine text", nullptr);
  GwLogDebugMid(sub, "b.cpp", "g", 2, "finer text", nullptr);
  GwLogDebugMax(sub, "c.cpp", "h", 3, "finest %s%n%d", nullptr);

  const std::string prefix = "|logger.app.orders|shop port=9000|orders|";
  EXPECT_THAT(read_lines(file("msg.log")),
              ElementsAre("6000" + prefix + "shop,1,10|severe text",
                          "5000" + prefix + "shop,2,20|warning text",
                          "4000" + prefix + "shop,3,30|info text",
                          "4000" + prefix + "text|plain text, 100% %s %n"));
  // The sub logger's records do not travel up to logger.app's handler.
  EXPECT_THAT(read_lines(file("trace.log")),
              ElementsAre("3000|logger.app.sub|||a.cpp:f:1|fine text",
                          "2000|logger.app.sub|||b.cpp:g:2|finer text",
                          "1000|logger.app.sub|||c.cpp:h:3|finest %s%n%d"));
}

TEST_F(ToolkitTest, RunTimeLabelsOverrideConfiguredOnesUntilCleared) {
  ASSERT_EQ(open_with(two_files() + "logger.app.orders.product = conf-product\n" +
                      "logger.app.orders.component = conf-component\n"),
            1);
  Ref app("logger.app.orders");
  GwLogText(app, "configured");
  GwSetObjProp(app, "product", "run-product");
  EXPECT_EQ(property(app, "product"), "run-product");
  GwLogText(app, "product set");
  GwSetObjProp(app, "component", "run-component");
  GwSetObjProp(app, "other", "x");  // a later edit keeps both labels
  GwLogText(app, "both set");
  GwSetObjProp(app, "product", nullptr);
  EXPECT_EQ(property(app, "product"), "conf-product");
  GwLogText(app, "product cleared");
  // A re-read that changes the configured value drops the run-time one.
  ASSERT_EQ(open_with(two_files() + "logger.app.orders.component = new-component\n"), 1);
  GwLogText(app, "reread");

  const std::string prefix = "4000|logger.app.orders|";
  EXPECT_THAT(read_lines(file("msg.log")),
              ElementsAre(prefix + "conf-product|conf-component|text|configured",
                          prefix + "run-product|conf-component|text|product set",
                          prefix + "run-product|run-component|text|both set",
                          prefix + "conf-product|run-component|text|product cleared",
                          prefix + "|new-component|text|reread"));
}

TEST_F(ToolkitTest, LoggerAndHandlerLevelsFilterRecords) {
  ASSERT_EQ(open_with("logger.w.level = warning\n"
                      "logger.w.handlers = handler.all\n"
                      "logger.f.level = FINE\n"
                      "logger.f.handlers = handler.all handler.severe\n"
                      "logger.off.level = OFF\n"
                      "logger.off.handlers = handler.all\n"
                      "logger.none.level = ALL\n"
                      "handler.all.fileName = " +
                      file("all.log") +
                      "\n"
                      "handler.severe.level = SEVERE\n"
                      "handler.severe.fileName = " +
                      file("severe.log") + "\n"),
            1);
  Ref w("logger.w");
  Ref f("logger.f");
  Ref off("logger.off");
  Ref none("logger.none");
  EXPECT_EQ(GwIsLoggable(w, 6000), 1);
  EXPECT_EQ(GwIsLoggable(w, 5000), 1);
  EXPECT_EQ(GwIsLoggable(w, 4999), 0);
  EXPECT_EQ(GwIsLoggable(f, 3000), 1);
  EXPECT_EQ(GwIsLoggable(f, 2000), 0);
  EXPECT_EQ(GwIsLoggable(off, 6000), 0);
  EXPECT_EQ(GwIsLoggable(off, INT_MAX), 0);
  EXPECT_EQ(GwIsLoggable(none, 6000), 0) << "no handlers: nothing would be written";

  GwLogInfo(w, "c", 1, 1, "dropped by level", nullptr);
  GwLogWarn(w, "c", 1, 2, "kept", nullptr);
  GwLogText(w, "text ignores the logger's level");
  GwLogDebugMin(f, "x.cpp", "fn", 1, "fine", nullptr);
  GwLogError(f, "c", 1, 3, "severe", nullptr);
  GwLogError(off, "c", 1, 4, "off logger", nullptr);
  GwLogText(off, "off logger text");
  GwLogError(none, "c", 1, 5, "no handlers", nullptr);

  EXPECT_THAT(read_lines(file("all.log")),
              ElementsAre("5000|logger.w|||c,1,2|kept",
                          "4000|logger.w|||text|text ignores the logger's level",
                          "3000|logger.f|||x.cpp:fn:1|fine", "6000|logger.f|||c,1,3|severe"));
  EXPECT_THAT(read_lines(file("severe.log")), ElementsAre("6000|logger.f|||c,1,3|severe"));
}

TEST_F(ToolkitTest, IntegerLevelSetAtRunTimeTakesEffect) {
  ASSERT_EQ(open_with(two_files()), 1);
  Ref logger("logger.app.x");
  EXPECT_EQ(property(logger, "level"), "ALL");
  GwSetObjPropInt(logger, "level", 5000);
  EXPECT_EQ(property(logger, "level"), "5000");
  EXPECT_EQ(GwIsLoggable(logger, 4000), 0);
  GwSetObjPropInt(logger, "level", 0);
  EXPECT_EQ(GwIsLoggable(logger, 1000), 1);
  GwSetObjPropInt(logger, "level", GwGetLevelFromString("OFF"));
  EXPECT_EQ(GwIsLoggable(logger, 6000), 0);
}

TEST_F(ToolkitTest, PropertiesAreOwnOrInheritedAndOtherwiseNotFound) {
  ASSERT_EQ(open_with("logger.dc.level = WARNING\n"
                      "logger.dc.msg.level = INFO\n"
                      "logger.dc.msg.custom = kept as written  \\u0041\n"
                      "formatter.xml.className = gw_xmlformatter\n"),
            1);
  Ref orders("logger.dc.msg.orders");
  Ref dotted("logger.dc.msg.eu.west");
  Ref err("logger.dc.err.orders");
  Ref handler("handler.file.dc.msg");
  Ref xml("formatter.xml");
  Ref basic("formatter.other");
  EXPECT_EQ(property(orders, "level"), "INFO");
  EXPECT_EQ(property(dotted, "level"), "INFO");
  EXPECT_EQ(property(err, "level"), "WARNING");
  EXPECT_EQ(property(orders, "custom"), "kept as written  A");
  EXPECT_EQ(property(orders, "fileName"), "<none>");
  EXPECT_EQ(property(orders, "className"), "gw_logger");
  EXPECT_EQ(property(handler, "className"), "gw_filehandler");
  EXPECT_EQ(property(xml, "className"), "gw_xmlformatter");
  EXPECT_EQ(property(basic, "className"), "gw_basicformatter");

  GwSetObjProp(orders, "level", "FINEST");
  GwSetObjProp(orders, "anything", "value with % and spaces ");
  EXPECT_EQ(property(orders, "level"), "FINEST");
  EXPECT_EQ(property(orders, "anything"), "value with % and spaces ");
  EXPECT_EQ(property(dotted, "level"), "INFO") << "a run-time value is the object's own";
  GwSetObjProp(orders, "level", nullptr);
  EXPECT_EQ(property(orders, "level"), "INFO") << "a null value removes the run-time value";
  ::testing::internal::CaptureStderr();
  GwSetObjProp(orders, "level", "LOUD");
  EXPECT_EQ(
      ::testing::internal::GetCapturedStderr(),
      "gwtoolkit: logger.dc.msg.orders.level: unknown level \"LOUD\" (kept, but without effect)\n");
  EXPECT_EQ(property(orders, "level"), "LOUD");

  unsigned char found = 0;
  EXPECT_EQ(GwGetObjProp(orders, "missing", &found), nullptr);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(GwGetObjProp(orders, nullptr, &found), nullptr);
  EXPECT_EQ(GwGetObjProp(nullptr, "level", &found), nullptr);
  EXPECT_EQ(found, 0);
}

TEST_F(ToolkitTest, ObjectClassComesFromArgumentConfigurationOrName) {
  ASSERT_EQ(open_with("custom.console.className = gw_consolehandler\n"
                      "formatter.js.className = gw_jsonformatter\n"
                      "formatter.wrong.className = gw_nosuchformatter\n"),
            1);
  Ref console("custom.console");
  Ref given("plain.name", "gw_xmlformatter");
  Ref js("formatter.js");
  EXPECT_EQ(property(console, "className"), "gw_consolehandler");
  EXPECT_EQ(property(given, "className"), "gw_xmlformatter");
  EXPECT_EQ(property(js, "className"), "gw_jsonformatter");
  Ref wrong("formatter.wrong");
  EXPECT_EQ(property(wrong, "className"), "gw_basicformatter");

  ::testing::internal::CaptureStderr();
  const GwHandle unknown = GwGetObject("logger.unknown", "gw_nosuchclass");
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(unknown, nullptr);
  EXPECT_EQ(errors, "gwtoolkit: logger.unknown: unknown class \"gw_nosuchclass\"\n");
  EXPECT_EQ(GwGetObject(nullptr, nullptr), nullptr);
}

TEST_F(ToolkitTest, SameNameReachesSameObjectThroughDistinctHandles) {
  ASSERT_EQ(open_with("logger.a.handlers = handler.shared\n"), 1);
  Ref first("handler.shared");
  Ref second("handler.shared");
  EXPECT_NE(first.get(), second.get());
  GwSetObjProp(first, "fileName", file("shared.log").c_str());
  EXPECT_EQ(property(second, "fileName"), file("shared.log"));
  // The handler the library sets up is the one the logger's "handlers" names.
  Ref logger("logger.a");
  GwLogInfo(logger, "c", 1, 1, "through the shared handler", nullptr);
  EXPECT_THAT(read_lines(file("shared.log")),
              ElementsAre("4000|logger.a|||c,1,1|through the shared handler"));
}

TEST_F(ToolkitTest, ReleasedForgedAndNullHandlesAreIgnored) {
  ASSERT_EQ(open_with(two_files()), 1);
  const GwHandle logger = GwGetObject("logger.app", nullptr);
  Ref other("logger.app");
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(GwReleaseObject(logger), 1);
  EXPECT_EQ(GwReleaseObject(logger), 0) << "a second release is ignored";

  int local = 0;
  const GwHandle forged[] = {logger, reinterpret_cast<GwHandle>(&local),
                             reinterpret_cast<GwHandle>(std::uintptr_t{0xdeadbeef}),
                             reinterpret_cast<GwHandle>(~std::uintptr_t{0}), nullptr};
  for (const GwHandle handle : forged) {
    unsigned char found = 0;
    EXPECT_EQ(GwIsLoggable(handle, 6000), 0);
    EXPECT_EQ(GwLogError(handle, "c", 1, 1, "must not appear", nullptr), 0);
    EXPECT_EQ(GwLogText(handle, "must not appear"), 0);
    EXPECT_EQ(GwGetObjProp(handle, "className", &found), nullptr);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(GwSetObjProp(handle, "level", "OFF"), 0);
    EXPECT_EQ(GwSetObjPropInt(handle, "level", 0), 0);
    EXPECT_EQ(GwHandlerGetFormatter(handle), nullptr);
    EXPECT_EQ(GwHandlerSetFormatter(handle, handle), 0);
    EXPECT_EQ(GwHandlerGetFmtHeader(handle), nullptr);
    EXPECT_EQ(GwHandlerGetFmtTrailer(handle), nullptr);
    EXPECT_EQ(GwReleaseObject(handle), 0);
  }
  // The other owner's handle is untouched by the double release.
  EXPECT_EQ(GwLogInfo(other, "c", 1, 1, "still works", nullptr), 1);
  EXPECT_THAT(read_lines(file("msg.log")), ElementsAre("4000|logger.app|||c,1,1|still works"));
  // A slot handed out again does not revive the released handle.
  Ref reused("logger.app.sub");
  EXPECT_EQ(GwIsLoggable(logger, 6000), 0);
}

TEST_F(ToolkitTest, WrongLinesAreReportedOnceEachAndIgnored) {
  int opened = 0;
  const std::string errors = open_capturing(
      "logger.good.level = FINE\n"                            // 1
      "logger.good.handlers = handler.ok, handler.missing\n"  // 2
      "handler.ok.fileName = " +
          file("ok.log") +
          "\n"                                         // 3
          "logger.bad.level = VERBOSE\n"               // 4
          "nodot = 1\n"                                // 5
          "logger.x.className = gw_nosuch\n"           // 6
          "bad.escape = \\u12\n"                       // 7
          "logger.y.handlers = formatter.f\n"          // 8
          "formatter.f.className = gw_xmlformatter\n"  // 9
          "handler.ok.limit = -5\n"                    // 10
          "handler.ok.permissions = 0999\n"            // 11
          "handler.ok.formatter = nothing.here\n"      // 12
          "handler.ok.LIMT = 1000\n"                   // 13
          "logger.good.owner = ops\n",                 // 14
      &opened);
  EXPECT_EQ(opened, 1);
  const std::string path = config_path();
  EXPECT_EQ(errors,
            path + ":2: logger.good.handlers: no object is named \"handler.missing\"\n" + path +
                ":4: logger.bad.level: unknown level \"VERBOSE\"\n" + path +
                ":5: key \"nodot\" names no object: keys are <object name>.<property>\n" + path +
                ":6: logger.x.className: unknown class \"gw_nosuch\"\n" + path +
                ":7: malformed \\uXXXX escape\n" + path +
                ":8: logger.y.handlers: \"formatter.f\" is not a handler\n" + path +
                ":10: handler.ok.limit: not a non-negative decimal number: \"-5\"\n" + path +
                ":11: handler.ok.permissions: not octal permissions from 0 to 0777: \"0999\"\n" +
                path + ":12: handler.ok.formatter: no object is named \"nothing.here\"\n" + path +
                ":13: unknown property \"LIMT\" of handler.ok; did you mean \"limit\"?\n" + path +
                ":14: unknown property \"owner\" of logger.good\n");
  // The good parts apply: the logger writes to handler.ok alone, and the
  // wrong level falls back to the inherited default.
  Ref good("logger.good");
  Ref bad("logger.bad");
  EXPECT_EQ(property(bad, "level"), "<none>");
  GwLogDebugMin(good, "f.cpp", "fn", 7, "fine record", nullptr);
  EXPECT_THAT(read_lines(file("ok.log")), ElementsAre("3000|logger.good|||f.cpp:fn:7|fine record"));
}

TEST_F(ToolkitTest, KeysOfAncestorNamesMayBeMeantForAnyKindBelowThem) {
  // Made at run time, so known only as an object below "mine".
  Ref run_time_handler("mine.h", "gw_filehandler");
  Ref existing_handler("handler.was");
  int opened = 0;
  const std::string errors = open_capturing(
      ".permissions = 0600\n"         // 1 the root: any kind's
      ".levle = FINE\n"               // 2
      "handler.files.limit = 1000\n"  // 3 for handler.files.*
      "handler.files.a.fileName = " +
          file("a.log") +
          "\n"                                            // 4
          "logger.mixed.fileName = x.log\n"               // 5 a handler lies below
          "logger.mixed.h.className = gw_filehandler\n"   // 6
          "mine.count = 2\n"                              // 7 an existing handler below
          "logger.alone.permissions = 0600\n"             // 8 nothing below: a logger
          "formatter.f.limit = 5\n"                       // 9
          "toolkit.reloadIntervall = 5\n"                 // 10
          "toolkit.reloadInterval = -1\n"                 // 11
          "toolkit.reloadInterval.x = 1\n"                // 12 a logger's name
          "handler.files.a.MPFileSemKey = 99999999999\n"  // 13
          "handler.was.className = gw_xmlformatter\n"     // 14 exists as a handler
          "logger.dc.level = 99999999999999\n"            // 15 (already reported)
          "handler.files.a.rotate = weekly\n"             // 16
          "handler.files.a.staging = -1\n",               // 17
      &opened);
  EXPECT_EQ(opened, 1);
  const std::string at = config_path() + ":";
  EXPECT_EQ(errors,
            at + "2: unknown property \"levle\" of the root name; did you mean \"level\"?\n" + at +
                "8: unknown property \"permissions\" of logger.alone\n" + at +
                "9: unknown property \"limit\" of formatter.f\n" + at +
                "10: unknown property \"reloadIntervall\" of toolkit; did you mean "
                "\"reloadInterval\"?\n" +
                at +
                "11: toolkit.reloadInterval: not a non-negative decimal number of seconds: "
                "\"-1\"\n" +
                at + "12: unknown property \"x\" of toolkit.reloadInterval\n" + at +
                "13: handler.files.a.MPFileSemKey: not an IPC key (a decimal int): "
                "\"99999999999\"\n" +
                at +
                "14: handler.was.className: class \"gw_xmlformatter\" is not a handler "
                "class\n" +
                at + "15: logger.dc.level: unknown level \"99999999999999\"\n" + at +
                "16: handler.files.a.rotate: not daily, hourly or none: \"weekly\"\n" + at +
                "17: handler.files.a.staging: not a non-negative decimal number: \"-1\"\n");
  // The ignored className leaves the handler a file handler.
  EXPECT_EQ(property(existing_handler, "className"), "gw_filehandler");
  // Beyond its bound the interval is taken at a day.
  EXPECT_THAT(open_capturing("toolkit.reloadInterval = 100000\n"),
              HasSubstr(":1: toolkit.reloadInterval: more than 86400 seconds: \"100000\" is "
                        "taken as 86400\n"));
}

TEST_F(ToolkitTest, SyslogAppNameBeyondItsHeaderFieldIsReportedAsItIsSent) {
  const std::string long_name(50, 'a');
  const std::string errors = open_capturing(
      "handler.sys.className = gw_sysloghandler\n"
      "handler.sys.appName = " +
      long_name +
      "\n"
      "handler.sys2.className = gw_sysloghandler\n"
      "handler.sys2.appName = order\tdesk\n"
      "handler.ok.className = gw_sysloghandler\n"
      "handler.ok.appName = orders\n"
      "handler.journal.className = gw_journalhandler\n"  // no such field: any length
      "handler.journal.appName = " +
      long_name + "\n");
  const std::string at = config_path() + ":";
  EXPECT_EQ(errors, at +
                        "2: handler.sys.appName: an APP-NAME is at most 48 printable ASCII "
                        "characters: \"" +
                        long_name + "\" is taken as \"" + long_name.substr(0, 48) + "\"\n" + at +
                        "4: handler.sys2.appName: an APP-NAME is at most 48 printable ASCII "
                        "characters: \"order\\x09desk\" is taken as \"order_desk\"\n");
}

TEST_F(ToolkitTest, UnreadableFileGivesZeroAndOneLine) {
  ::testing::internal::CaptureStderr();
  const std::string missing = file("no-such.properties");
  EXPECT_EQ(GwOpenToolkit(missing.c_str()), 0);
  EXPECT_EQ(GwOpenToolkit(dir_.path().c_str()), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "gwtoolkit: cannot read " + missing + ": No such file or directory\n" +
                        "gwtoolkit: cannot read " + dir_.path() + ": Is a directory\n");
  Ref logger("logger.app");
  EXPECT_EQ(GwLogText(logger, "not open"), 0);
}

TEST_F(ToolkitTest, FifoOrDeviceInPlaceOfTheFileIsRefusedWithoutWaiting) {
  const std::string fifo = file("fifo.properties");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::testing::internal::CaptureStderr();
  // Nobody writes to the FIFO: an open that waits for a writer never returns.
  auto opened = std::async(std::launch::async, [&] { return GwOpenToolkit(fifo.c_str()); });
  if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ::close(::open(fifo.c_str(), O_WRONLY));  // lets the waiting open go
    ADD_FAILURE() << "GwOpenToolkit waited for a writer of the FIFO";
  }
  EXPECT_EQ(opened.get(), 0);
  EXPECT_EQ(GwOpenToolkit("/dev/null"), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "gwtoolkit: cannot read " + fifo + ": it is not a regular file\n" +
                        "gwtoolkit: cannot read /dev/null: it is not a regular file\n");
  // A symbolic link to a regular file is followed.
  write_file(file("real.properties"), "logger.l.level = FINE\n");
  ASSERT_EQ(::symlink(file("real.properties").c_str(), file("link.properties").c_str()), 0);
  EXPECT_EQ(GwOpenToolkit(file("link.properties").c_str()), 1);
  Ref logger("logger.l");
  EXPECT_EQ(property(logger, "level"), "FINE");
}

// A file's permission bits, or -1 when it is missing.
int file_mode(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 07777) : -1;
}

TEST_F(ToolkitTest, HostileFileHandlerNumbersAreTakenAtTheirBounds) {
  int opened = 0;
  const std::string errors = open_capturing(
      "logger.b.handlers = handler.big\n"  // 1
      "handler.big.fileName = " +
          file("big.log") +
          "\n"                                               // 2
          "handler.big.count = 2147483647\n"                 // 3
          "handler.big.limit = 60\n"                         // 4
          "handler.big.permissions = 0777\n"                 // 5
          "handler.other.limit = 99999999999999999999999\n"  // 6
          "handler.other.count = 10000\n",                   // 7
      &opened);
  EXPECT_EQ(opened, 1);
  const std::string path = config_path();
  EXPECT_EQ(errors,
            path +
                ":3: handler.big.count: more rotated files than 10000: \"2147483647\" is taken "
                "as 10000\n" +
                path +
                ":5: handler.big.permissions: execute bits are never set on a log file: \"0777\" "
                "is taken as 0666\n" +
                path +
                ":6: handler.other.limit: more than 1125899906842624 bytes: "
                "\"99999999999999999999999\" is taken as 1125899906842624\n");
  Ref logger("logger.b");
  Ref handler("handler.big");
  EXPECT_EQ(property(handler, "count"), "2147483647") << "read back as written";
  // Each record fills the file: every one after the first rotates, which
  // must not walk two thousand million numbers.
  for (int i = 0; i < 3; ++i) GwLogInfo(logger, "c", 1, i, "twenty bytes or so", nullptr);
  EXPECT_THAT(read_lines(file("big.log")), ElementsAre("4000|logger.b|||c,1,2|twenty bytes or so"));
  EXPECT_THAT(read_lines(file("big.log.2")),
              ElementsAre("4000|logger.b|||c,1,0|twenty bytes or so"));
  EXPECT_EQ(file_mode(file("big.log")), 0666);
  EXPECT_EQ(file_mode(file("big.log.2")), 0666);

  // Run-time values are held to the same bounds, reported without the file.
  ::testing::internal::CaptureStderr();
  GwSetObjProp(handler, "permissions", "4755");
  GwSetObjProp(handler, "permissions", "0751");
  GwSetObjProp(handler, "fileName", file("run.log").c_str());
  GwSetObjProp(handler, "count", "10001");
  GwSetObjProp(handler, "limit", "1125899906842625");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "gwtoolkit: handler.big.permissions: not octal permissions from 0 to 0777: \"4755\" "
            "(kept, but without effect)\n"
            "gwtoolkit: handler.big.permissions: execute bits are never set on a log file: "
            "\"0751\" is taken as 0640\n"
            "gwtoolkit: handler.big.count: more rotated files than 10000: \"10001\" is taken as "
            "10000\n"
            "gwtoolkit: handler.big.limit: more than 1125899906842624 bytes: "
            "\"1125899906842625\" is taken as 1125899906842624\n");
  GwLogInfo(logger, "c", 1, 9, "at run time", nullptr);
  EXPECT_EQ(file_mode(file("run.log")), 0640);
}

TEST_F(ToolkitTest, WrongRunTimeFileNumbersLeaveTheConfiguredOnesInEffect) {
  ASSERT_EQ(open_with("logger.s.handlers = handler.small\n"
                      "handler.small.fileName = " +
                      file("small.log") +
                      "\n"
                      "handler.small.limit = 60\n"
                      "handler.small.count = 1\n"
                      "handler.small.permissions = 0600\n"),
            1);
  Ref logger("logger.s");
  Ref handler("handler.small");
  ::testing::internal::CaptureStderr();
  GwSetObjProp(handler, "limit", "-1");
  GwSetObjProp(handler, "count", "many");
  GwSetObjProp(handler, "permissions", "rw");
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(errors, HasSubstr("handler.small.limit: not a non-negative decimal number: \"-1\" "
                                "(kept, but without effect)\n"));
  EXPECT_EQ(property(handler, "limit"), "-1");
  for (int i = 0; i < 3; ++i) GwLogInfo(logger, "c", 1, i, "twenty bytes or so", nullptr);
  EXPECT_THAT(read_lines(file("small.log")),
              ElementsAre("4000|logger.s|||c,1,2|twenty bytes or so"));
  EXPECT_THAT(read_lines(file("small.log.1")),
              ElementsAre("4000|logger.s|||c,1,1|twenty bytes or so"));
  EXPECT_FALSE(exists(file("small.log.2"))) << "count 1 stays in effect";
  EXPECT_EQ(file_mode(file("small.log")), 0600);
}

TEST_F(ToolkitTest, FileNamesWithControlCharactersOrClimbingAreRefused) {
  const std::string leaf = dir_.path().substr(dir_.path().rfind('/') + 1);
  const std::string climbing_absolute = dir_.path() + "/../" + leaf + "/abs.log";
  // Each handler has a level line too: one named by no valid line would
  // not count as configured.
  int opened = 0;
  const std::string errors = open_capturing(
      "logger.n.handlers = handler.nl handler.up handler.del handler.abs\n"  // 1
      "handler.nl.level = ALL\n"                                             // 2
      "handler.nl.fileName = " +
          file("a\\nb.log") +
          "\n"                                        // 3
          "handler.up.level = ALL\n"                  // 4
          "handler.up.fileName = ../escape/up.log\n"  // 5
          "handler.del.level = ALL\n"                 // 6
          "handler.del.fileName = " +
          file("del\\u007f.log") +
          "\n"  // 7
          "handler.abs.fileName = " +
          climbing_absolute +
          "\n"                                         // 8
          "handler.dots.fileName = a..b/..c/x.log\n",  // 9
      &opened);
  EXPECT_EQ(opened, 1);
  const std::string path = config_path();
  EXPECT_EQ(errors, path + ":3: handler.nl.fileName: a file name cannot hold a control character " +
                        "(0x0a): \"" + file("a\\x0ab.log") + "\"\n" + path +
                        ":5: handler.up.fileName: a relative file name cannot have a \"..\" " +
                        "component: \"../escape/up.log\"\n" + path +
                        ":7: handler.del.fileName: a file name cannot hold a control character " +
                        "(0x7f): \"" + file("del\\x7f.log") + "\"\n");
  Ref logger("logger.n");
  Ref up("handler.up");
  EXPECT_EQ(property(up, "fileName"), "<none>");
  ::testing::internal::CaptureStderr();
  GwLogInfo(logger, "c", 1, 1, "only to abs.log", nullptr);
  const std::string dropped = ::testing::internal::GetCapturedStderr();
  for (const char* name : {"handler.nl", "handler.up", "handler.del"}) {
    EXPECT_THAT(dropped, HasSubstr(std::string("gwtoolkit: ") + name +
                                   ": no fileName is configured: records are dropped\n"));
  }
  EXPECT_THAT(read_lines(file("abs.log")), ElementsAre("4000|logger.n|||c,1,1|only to abs.log"));

  // At run time: refused, and the handler has no file rather than the
  // configured one.
  Ref abs("handler.abs");
  ::testing::internal::CaptureStderr();
  GwSetObjProp(abs, "fileName", file("r\r.log").c_str());
  GwLogInfo(logger, "c", 1, 2, "dropped", nullptr);
  const std::string refused = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(refused, StartsWith("gwtoolkit: handler.abs.fileName: a file name cannot hold a "
                                  "control character (0x0d): \"" +
                                  file("r\\x0d.log") + "\" (kept, but the handler has no file)\n"));
  EXPECT_THAT(refused, HasSubstr("handler.abs: no fileName is configured"));
  EXPECT_FALSE(exists(file("r\r.log")));
  EXPECT_EQ(read_lines(file("abs.log")).size(), 1u);

  // A relative name that climbs is the caller's own choice at run time: the
  // library's names start so when its program directory is relative.
  ASSERT_EQ(::mkdir(file("bin").c_str(), 0700), 0);
  char previous[PATH_MAX];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(file("bin").c_str()), 0);
  ::testing::internal::CaptureStderr();
  GwSetObjProp(abs, "fileName", "../logs/run.log");
  GwLogInfo(logger, "c", 1, 3, "relative", nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr().find("handler.abs"), std::string::npos);
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_THAT(read_lines(file("logs/run.log")), ElementsAre("4000|logger.n|||c,1,3|relative"));
}

TEST_F(ToolkitTest, ReloadAppliesChangedConfigurationAndKeepsRunTimeValues) {
  const std::string handler_lines =
      "logger.dc.msg.handlers = handler.file.dc.msg\n"
      "handler.file.dc.msg.fileName = msg.log\n";
  ASSERT_EQ(open_with("logger.dc.msg.level = INFO\n" + handler_lines), 1);
  // What the library does with a new group.
  Ref logger("logger.dc.msg.orders");
  Ref handler("handler.file.dc.msg");
  GwSetObjPropInt(logger, "level", GwGetLevelFromString(property(logger, "level").c_str()));
  GwSetObjProp(logger, "product", "shop");
  GwSetObjProp(handler, "fileName", (dir_.path() + "/" + property(handler, "fileName")).c_str());
  EXPECT_EQ(GwIsLoggable(logger, 3000), 0);

  ASSERT_EQ(open_with("logger.dc.msg.level = FINE\n" + handler_lines), 1);
  EXPECT_EQ(property(logger, "level"), "FINE") << "the file changed it: the file wins";
  EXPECT_EQ(GwIsLoggable(logger, 3000), 1);
  EXPECT_EQ(property(handler, "fileName"), file("msg.log")) << "unchanged in the file: kept";
  EXPECT_EQ(property(logger, "product"), "shop");
  GwLogDebugMin(logger, "a.cpp", "f", 1, "after reload", nullptr);
  // A file that cannot be read leaves the running configuration in place.
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GwOpenToolkit(file("gone.properties").c_str()), 0);
  ::testing::internal::GetCapturedStderr();
  GwLogDebugMin(logger, "a.cpp", "f", 2, "still logging", nullptr);
  EXPECT_THAT(read_lines(file("msg.log")),
              ElementsAre("3000|logger.dc.msg.orders|shop||a.cpp:f:1|after reload",
                          "3000|logger.dc.msg.orders|shop||a.cpp:f:2|still logging"));
}

TEST_F(ToolkitTest, ReloadWhileThreadsLogLosesNoRecord) {
  // Each configuration routes the logger to exactly one of two handlers, by
  // switching the handler list and the handlers' levels at once: a record
  // that saw half of one and half of the other would go nowhere or twice.
  const auto config = [&](const char* to, const char* on, const char* off) {
    return std::string("logger.r.level = INFO\n") + "logger.r.handlers = " + to + "\n" + on +
           ".level = ALL\n" + off + ".level = OFF\n" + "handler.a.fileName = " + file("a.log") +
           "\n" + "handler.b.fileName = " + file("b.log") + "\n";
  };
  const std::string to_a = config("handler.a", "handler.a", "handler.b");
  const std::string to_b = config("handler.b", "handler.b", "handler.a");
  ASSERT_EQ(open_with(to_a), 1);
  Ref logger("logger.r");

  constexpr int kThreads = 4;
  constexpr int kRecords = 3000;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) {
        const std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
        // Run-time values change under the reloads too, as the library's do.
        GwSetObjProp(logger, "product", ("p" + std::to_string(t)).c_str());
        GwLogInfo(logger, "c", 1, 1, text.c_str(), nullptr);
      }
      ++finished;
    });
  }
  int reloads = 0;
  while (finished.load() < kThreads) {
    ASSERT_EQ(open_with(++reloads % 2 == 0 ? to_a : to_b), 1);
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> seen;
  for (const char* name : {"a.log", "b.log"}) {
    for (const std::string& line : read_lines(file(name))) {
      ASSERT_THAT(line,
                  ::testing::MatchesRegex("4000\\|logger\\.r\\|p[0-3]\\|\\|c,1,1\\|t[0-3]-[0-9]+"));
      EXPECT_TRUE(seen.insert(line).second) << "written twice: " << line;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kRecords));
  EXPECT_GT(reloads, 1);
}

TEST_F(ToolkitTest, ManyThreadsWritingOneFileKeepEveryLineWhole) {
  ASSERT_EQ(open_with(two_files()), 1);
  constexpr int kThreads = 8;
  constexpr int kRecords = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      Ref logger("logger.app");
      // Long texts, beyond PIPE_BUF, so a torn write would show.
      const std::string filler(5000 + 100 * t, static_cast<char>('a' + t));
      for (int i = 0; i < kRecords; ++i) {
        const std::string text = std::to_string(t) + " " + std::to_string(i) + " " + filler;
        GwLogInfo(logger, "c", 1, 1, text.c_str(), nullptr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<int> next(kThreads, 0);
  const std::vector<std::string> lines = read_lines(file("msg.log"));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kRecords));
  const std::string prefix = "4000|logger.app|||c,1,1|";
  for (const std::string& line : lines) {
    ASSERT_THAT(line, StartsWith(prefix));
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + prefix.size(), "%d %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]++) << "records of one thread keep their order";
    const std::string filler(5000 + 100 * t, static_cast<char>('a' + t));
    EXPECT_EQ(line.substr(line.size() - filler.size()), filler);
    EXPECT_EQ(line.size(), prefix.size() + std::to_string(t).size() + 1 + std::to_string(i).size() +
                               1 + filler.size());
  }
}

TEST_F(ToolkitTest, ProductWritesRacingRecordsStayConsistent) {
  // The library rewrites "product" before each trace record from any
  // thread; every record must carry one whole value that some thread set.
  ASSERT_EQ(open_with(two_files()), 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      Ref logger("logger.app.sub");
      const std::string product = "prod pid=1 tid=" + std::to_string(t) + std::string(50, 'x');
      for (int i = 0; i < 2000; ++i) {
        GwSetObjProp(logger, "product", product.c_str());
        GwLogDebugMax(logger, "f.cpp", "fn", i, "r", nullptr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> lines = read_lines(file("trace.log"));
  ASSERT_EQ(lines.size(), 8000u);
  for (const std::string& line : lines) {
    ASSERT_THAT(line,
                ::testing::MatchesRegex("1000\\|logger\\.app\\.sub\\|prod pid=1 tid=[0-3]x{50}"
                                        "\\|\\|f\\.cpp:fn:[0-9]+\\|r"));
  }
}

TEST_F(ToolkitTest, ClassReadBackFollowsRunTimeChangesAndClose) {
  ASSERT_EQ(open_with("formatter.f.className = gw_xmlformatter\n"), 1);
  Ref formatter("formatter.f");
  EXPECT_EQ(property(formatter, "className"), "gw_xmlformatter");
  EXPECT_EQ(GwSetObjProp(formatter, "className", "gw_jsonformatter"), 1);
  EXPECT_EQ(property(formatter, "className"), "gw_jsonformatter");
  ::testing::internal::CaptureStderr();
  GwSetObjProp(formatter, "className", "gw_filehandler");  // not a formatter class
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(property(formatter, "className"), "gw_xmlformatter");
  GwSetObjProp(formatter, "className", "gw_jsonformatter");
  EXPECT_EQ(GwCloseToolkit(), 1);
  EXPECT_EQ(property(formatter, "className"), "gw_jsonformatter") << "closed: no views";
  GwSetObjProp(formatter, "className", nullptr);
  EXPECT_EQ(property(formatter, "className"), "gw_xmlformatter");
  ASSERT_EQ(open_with("formatter.f.className = gw_basicformatter\n"), 1);
  EXPECT_EQ(property(formatter, "className"), "gw_basicformatter");
}

TEST_F(ToolkitTest, HandlerFormatterIsReadAdoptedAndReplaced) {
  ASSERT_EQ(open_with("handler.x.formatter = formatter.xml\n"
                      "handler.x.fileName = " +
                      file("x.log") +
                      "\n"
                      "formatter.xml.className = gw_xmlformatter\n"
                      "formatter.json.className = gw_jsonformatter\n"
                      "logger.l.handlers = handler.x\n"),
            1);
  Ref handler("handler.x");
  Ref formatter(GwHandlerGetFormatter(handler));
  ASSERT_NE(formatter.get(), nullptr);
  EXPECT_EQ(property(formatter, "className"), "gw_xmlformatter");
  EXPECT_STREQ(GwHandlerGetFmtHeader(handler), "<log>\n");
  EXPECT_STREQ(GwHandlerGetFmtTrailer(handler), "</log>\n");

  Ref json("formatter.json");
  EXPECT_EQ(GwHandlerSetFormatter(handler, json), 1);
  Ref now(GwHandlerGetFormatter(handler));
  EXPECT_EQ(property(now, "className"), "gw_jsonformatter");
  EXPECT_EQ(GwHandlerGetFmtHeader(handler), nullptr);
  EXPECT_EQ(GwHandlerSetFormatter(handler, handler), 0) << "a handler is no formatter";

  Ref bare("handler.bare");
  EXPECT_EQ(GwHandlerGetFormatter(bare), nullptr);
  EXPECT_EQ(GwHandlerGetFmtHeader(bare), nullptr);
}

TEST_F(ToolkitTest, ConsoleHandlerWritesToStandardError) {
  ASSERT_EQ(open_with("logger.c.handlers = handler.console\n"
                      "handler.console.className = gw_consolehandler\n"),
            1);
  Ref logger("logger.c");
  ::testing::internal::CaptureStderr();
  GwLogWarn(logger, "c", 1, 2, "to the console", nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "5000|logger.c|||c,1,2|to the console\n");
}

TEST_F(ToolkitTest, CloseStopsRecordsButAcceptsPropertiesAndReleases) {
  ASSERT_EQ(open_with(two_files()), 1);
  const GwHandle logger = GwGetObject("logger.app", nullptr);
  GwLogInfo(logger, "c", 1, 1, "before close", nullptr);
  EXPECT_EQ(GwCloseToolkit(), 1);
  EXPECT_EQ(GwIsLoggable(logger, 6000), 0);
  EXPECT_EQ(GwLogError(logger, "c", 1, 2, "after close", nullptr), 0);
  EXPECT_EQ(GwSetObjProp(logger, "product", "p"), 1);
  EXPECT_EQ(property(logger, "product"), "p");
  EXPECT_EQ(GwReleaseObject(logger), 1);
  EXPECT_THAT(read_lines(file("msg.log")), ElementsAre("4000|logger.app|||c,1,1|before close"));
  // Opened again, the same objects log again.
  ASSERT_EQ(open_with(two_files()), 1);
  Ref again("logger.app");
  GwLogInfo(again, "c", 1, 3, "reopened", nullptr);
  EXPECT_EQ(read_lines(file("msg.log")).size(), 2u);
}

// What the library does with the supplied configuration for a new group.
TEST_F(ToolkitTest, SuppliedConfigurationWiresTheThreeRoles) {
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(GwOpenToolkit(EKLOGGER_DEFAULT_CONFIG), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "the supplied file has no mistakes";

  const char* roles[] = {"msg", "err", "trace"};
  const char* levels[] = {"INFO", "WARNING", "OFF"};
  const char* classes[] = {"gw_xmlformatter", "gw_xmlformatter", "gw_basicformatter"};
  GwHandle loggers[3];
  for (int role = 0; role < 3; ++role) {
    const std::string logger_name = std::string("logger.dc.") + roles[role] + ".orders";
    const std::string handler_name = std::string("handler.file.dc.") + roles[role];
    loggers[role] = GwGetObject(logger_name.c_str(), nullptr);
    GwSetObjProp(loggers[role], "product", "shopport=9000");
    GwSetObjProp(loggers[role], "prod_port", "shopport=9000");
    GwSetObjProp(loggers[role], "component", "orders");
    const std::string level = property(loggers[role], "level");
    EXPECT_EQ(level, levels[role]);
    GwSetObjPropInt(loggers[role], "level", GwGetLevelFromString(level.c_str()));

    Ref handler(handler_name.c_str());
    GwSetObjPropInt(handler, "MPFileSemKey", 1234);
    const std::string leaf = property(handler, "fileName");
    EXPECT_EQ(leaf, std::string(roles[role]) + ".log");
    GwSetObjProp(handler, "fileName", (dir_.path() + "/" + leaf).c_str());
    Ref formatter(GwHandlerGetFormatter(handler));
    EXPECT_EQ(property(formatter, "className"), classes[role]);
  }
  EXPECT_EQ(GwIsLoggable(loggers[0], 4000), 1);
  EXPECT_EQ(GwIsLoggable(loggers[0], 3000), 0);
  EXPECT_EQ(GwIsLoggable(loggers[1], 5000), 1);
  EXPECT_EQ(GwIsLoggable(loggers[1], 4000), 0);
  EXPECT_EQ(GwIsLoggable(loggers[2], 6000), 0) << "trace is off until turned on";
  GwLogError(loggers[1], "eklogger", 1, 7, "severe", nullptr);
  GwLogError(loggers[0], "eklogger", 1, 7, "severe", nullptr);
  GwLogInfo(loggers[0], "eklogger", 1, 8, "info", nullptr);
  GwLogDebugMin(loggers[2], "a.cpp", "f", 1, "not written", nullptr);

  const std::string prefix = "|shopport=9000|orders|eklogger,1,";
  EXPECT_THAT(read_lines(file("msg.log")),
              ElementsAre("<log>", "6000|logger.dc.msg.orders" + prefix + "7|severe",
                          "4000|logger.dc.msg.orders" + prefix + "8|info"));
  EXPECT_THAT(read_lines(file("err.log")),
              ElementsAre("<log>", "6000|logger.dc.err.orders" + prefix + "7|severe"));
  EXPECT_FALSE(exists(file("trace.log")));

  // Turning trace on: the running process re-reads the file.
  std::string text = read_file(EKLOGGER_DEFAULT_CONFIG);
  const std::string off = "logger.dc.trace.level = OFF";
  text.replace(text.find(off), off.size(), "logger.dc.trace.level = FINE");
  ASSERT_EQ(open_with(text), 1);
  EXPECT_EQ(GwIsLoggable(loggers[2], 3000), 1);
  EXPECT_EQ(GwIsLoggable(loggers[2], 2000), 0);
  GwLogDebugMin(loggers[2], "a.cpp", "f", 2, "now written", nullptr);
  for (GwHandle logger : loggers) GwReleaseObject(logger);
  GwCloseToolkit();  // the trace file is staged: closing writes what waits
  EXPECT_THAT(
      read_lines(file("trace.log")),
      ElementsAre("3000|logger.dc.trace.orders|shopport=9000|orders|a.cpp:f:2|now written"));
}

TEST_F(ToolkitTest, LevelNamesAndNumbers) {
  EXPECT_EQ(GwGetLevelFromString("SEVERE"), 6000);
  EXPECT_EQ(GwGetLevelFromString("warning"), 5000);
  EXPECT_EQ(GwGetLevelFromString("Info"), 4000);
  EXPECT_EQ(GwGetLevelFromString(" fine "), 3000);
  EXPECT_EQ(GwGetLevelFromString("FINER"), 2000);
  EXPECT_EQ(GwGetLevelFromString("finest"), 1000);
  EXPECT_EQ(GwGetLevelFromString("ALL"), 0);
  EXPECT_EQ(GwGetLevelFromString("off"), INT_MAX);
  EXPECT_EQ(GwGetLevelFromString("2500"), 2500);
  EXPECT_EQ(GwGetLevelFromString("-7"), -7);
  EXPECT_EQ(GwGetLevelFromString("99999999999"), 4000);
  EXPECT_EQ(GwGetLevelFromString("12abc"), 4000);
  EXPECT_EQ(GwGetLevelFromString(""), 4000);
  EXPECT_EQ(GwGetLevelFromString("verbose"), 4000);
  EXPECT_EQ(GwGetLevelFromString(nullptr), 4000);
}

}  // namespace
}  // namespace gw_test

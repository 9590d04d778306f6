// The shipped toolkit's syslog handler against a real rsyslogd, started in
// the foreground on a private socket and writing what it receives to a file
// in a template that shows each field rsyslog parsed out of our messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"
#include "strace_summary.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";

class Rsyslogd {
 public:
  explicit Rsyslogd(const gw_test::TempDir& dir) : dir_(dir) {
    gw_test::write_file(dir.file("rsyslog.conf"),
                        "global(workDirectory=\"" + dir.path() +
                            "\" maxMessageSize=\"64k\")\n"
                            "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
                            "input(type=\"imuxsock\" Socket=\"" +
                            socket() +
                            "\" UseSpecialParser=\"off\" "
                            "ParseHostname=\"on\" UseSysTimeStamp=\"off\")\n"
                            "template(name=\"t\" type=\"string\" string=\"%syslogseverity-text% "
                            "%syslogfacility-text% app=%app-name% procid=%procid% msgid=%msgid% "
                            "sd=%structured-data% msg=%msg%\\n\")\n"
                            "*.* action(type=\"omfile\" file=\"" +
                            output() + "\" template=\"t\")\n");
  }
  ~Rsyslogd() { stop(); }

  std::string socket() const { return dir_.file("log.sock"); }
  std::string output() const { return dir_.file("out.log"); }

  // Starts it and waits (bounded) for its socket.
  bool start() {
    ::unlink(socket().c_str());
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string conf = dir_.file("rsyslog.conf");
      const std::string pid_file = dir_.file("rsyslogd.pid");
      execl(kRsyslogd, kRsyslogd, "-n", "-f", conf.c_str(), "-i", pid_file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      if (gw_test::exists(socket())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // The first whole line of the output holding token, waiting up to ten
  // seconds (rsyslogd may be in the middle of writing the last one).
  std::string line_with(const std::string& token) const {
    for (int i = 0; i < 200; ++i) {
      std::istringstream text(gw_test::read_file(output()));
      for (std::string line; std::getline(text, line);) {
        if (!text.eof() && line.find(token) != std::string::npos) return line;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "<not received: " + token + ">";
  }

 private:
  const gw_test::TempDir& dir_;
  pid_t pid_ = -1;
};

std::string property(GwHandle object, const char* name) {
  unsigned char found = 0;
  char* text = GwGetObjProp(object, name, &found);
  if (text == nullptr) return "<none>";
  std::string value = text;
  OruMemoryFree(text);
  return value;
}

class RsyslogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kRsyslogd, X_OK) != 0) {
      GTEST_SKIP() << kRsyslogd << " is missing: install the Debian package rsyslog "
                   << "(tools/install-deps does)";
    }
    ASSERT_TRUE(daemon_.start()) << "rsyslogd did not create " << daemon_.socket();
    gw_test::write_file(dir_.file("eklogger.properties"),
                        "logger.app.level = ALL\n"
                        "logger.app.handlers = handler.syslog, handler.json\n"
                        "logger.app.product = ekserver pid=77 tid=78\n"
                        "logger.app.component = orders\n"
                        "handler.syslog.className = gw_sysloghandler\n"
                        "handler.syslog.socketPath = " +
                            daemon_.socket() +
                            "\n"
                            "handler.syslog.facility = local3\n"
                            "handler.json.className = gw_sysloghandler\n"
                            "handler.json.socketPath = " +
                            daemon_.socket() +
                            "\n"
                            "handler.json.appName = ekjson\n"
                            "handler.json.level = SEVERE\n"
                            "handler.json.formatter = formatter.json\n"
                            "formatter.json.className = gw_jsonformatter\n");
    ASSERT_EQ(GwOpenToolkit(dir_.file("eklogger.properties").c_str()), 1);
    logger_ = GwGetObject("logger.app", nullptr);
    handler_ = GwGetObject("handler.syslog", nullptr);
  }
  void TearDown() override {
    if (logger_ != nullptr) GwReleaseObject(logger_);
    if (handler_ != nullptr) GwReleaseObject(handler_);
    GwCloseToolkit();
  }

  std::string received(const std::string& token) {
    const std::string line = daemon_.line_with(token);
    std::cout << "rsyslog: " << line << "\n";
    return line;
  }

  gw_test::TempDir dir_;
  Rsyslogd daemon_{dir_};
  GwHandle logger_ = nullptr;
  GwHandle handler_ = nullptr;
};

TEST_F(RsyslogTest, EveryLevelAndKindArrivesWithItsSeverityAndStructuredData) {
  ASSERT_EQ(GwLogError(logger_, "eklogger", 1, 42, "disk full: rec-severe"), 1);
  ASSERT_EQ(GwLogWarn(logger_, "eklogger", 1, 43, "slow: rec-warning"), 1);
  ASSERT_EQ(GwLogInfo(logger_, "eklogger", 2, 7, "started: rec-info"), 1);
  ASSERT_EQ(GwLogDebugMin(logger_, "src/session.cpp", "Session::open", 120, "rec-fine"), 1);
  ASSERT_EQ(GwLogDebugMid(logger_, "src/session.cpp", "Session::read", 121, "rec-finer"), 1);
  ASSERT_EQ(GwLogDebugMax(logger_, "src/session.cpp", "Session::step", 122, "rec-finest"), 1);
  ASSERT_EQ(GwLogText(logger_, "plain rec-text"), 1);

  const std::string pid = std::to_string(::getpid());
  const std::string ids = " pid=\"" + pid + "\" tid=\"" + std::to_string(::gettid()) + "\"]";
  const std::string head = "local3 app=ekserver procid=" + pid;
  EXPECT_EQ(received("rec-severe"),
            "err " + head +
                " msgid=eklogger.1.42 sd=[eklogger@32473 component=\"orders\" "
                "catalog=\"eklogger\" set=\"1\" number=\"42\"" +
                ids +
                " msg=[ekserver pid=77 tid=78] [orders] [eklogger:1:42] disk full: rec-severe");
  EXPECT_THAT(received("rec-warning"),
              HasSubstr("warning " + head + " msgid=eklogger.1.43 sd=[eklogger@32473 "));
  EXPECT_THAT(received("rec-info"), HasSubstr("info " + head + " msgid=eklogger.2.7 "));
  EXPECT_EQ(
      received("rec-fine"),
      "debug " + head +
          " msgid=FINE sd=[eklogger@32473 component=\"orders\" "
          "file=\"src/session.cpp\" function=\"Session::open\" line=\"120\"" +
          ids +
          " msg=[ekserver pid=77 tid=78] [orders] [src/session.cpp:120 Session::open] rec-fine");
  EXPECT_THAT(received("rec-finer"), HasSubstr("debug " + head + " msgid=FINER "));
  EXPECT_THAT(received("rec-finest"), HasSubstr("debug " + head + " msgid=FINEST "));
  EXPECT_EQ(received("rec-text"), "info " + head +
                                      " msgid=- sd=[eklogger@32473 component=\""
                                      "orders\"" +
                                      ids +
                                      " msg=[ekserver pid=77 tid=78] [orders] "
                                      "[] plain rec-text");
  // The second handler: its own app name and formatter, SEVERE only.
  const std::string json = received("\"text\":\"disk full: rec-severe\"");
  EXPECT_THAT(json, HasSubstr("err user app=ekjson procid=" + pid + " msgid=eklogger.1.42 "));
  EXPECT_THAT(json, HasSubstr(" msg={\""));
  EXPECT_EQ(property(handler_, "droppedRecords"), "0");
}

TEST_F(RsyslogTest, BadFieldsArriveEscapedAndHugeTextCut) {
  GwHandle bad = GwGetObject("logger.app.bad", nullptr);
  ASSERT_NE(bad, nullptr);
  ASSERT_EQ(GwSetObjProp(bad, "component", "ord]ers \"q\" \\ \x01"), 1);
  ASSERT_EQ(GwLogDebugMin(bad, "a]b\".cpp", "f\xff\xfe", -5, "rec-bad ctl\x02 \xc3( \xe2\x82\xac"),
            1);
  const std::string line = received("rec-bad");
  EXPECT_THAT(line, HasSubstr("sd=[eklogger@32473 component=\"ord\\]ers \\\"q\\\" \\\\ \\x01\" "
                              "file=\"a\\]b\\\".cpp\" function=\"f\\xff\\xfe\" line=\"-5\""));
  EXPECT_THAT(line, HasSubstr("rec-bad ctl\\x02 \\xc3( \xe2\x82\xac"));

  const std::string huge = "rec-huge " + std::string(100 * 1024, 'h');
  ASSERT_EQ(GwLogText(bad, huge.c_str()), 1);
  const std::string cut = daemon_.line_with("rec-huge");
  EXPECT_THAT(cut, HasSubstr("hhhh...[truncated]"));
  EXPECT_LT(cut.size(), 8192u);
  EXPECT_GT(cut.size(), 7000u);
  GwReleaseObject(bad);
}

TEST_F(RsyslogTest, RecordsWhileTheDaemonIsDownAreCountedAndDeliveryResumes) {
  ASSERT_EQ(GwLogInfo(logger_, "eklogger", 1, 1, "rec-before"), 1);
  EXPECT_THAT(received("rec-before"), HasSubstr("info local3 "));
  daemon_.stop();

  ::testing::internal::CaptureStderr();
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(GwLogInfo(logger_, "eklogger", 1, 1, "rec-lost"), 0);
  }
  const auto took = std::chrono::steady_clock::now() - started;
  const std::string reports = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(property(handler_, "droppedRecords"), "200");
  EXPECT_THAT(reports, HasSubstr("handler.syslog: cannot send to " + daemon_.socket()));
  EXPECT_EQ(reports.find("handler.syslog: cannot send", reports.find("cannot send") + 1),
            std::string::npos)
      << "one report per episode: " << reports;
  // Not a timing assertion of speed: only that nothing waited for a daemon.
  EXPECT_LT(took, std::chrono::seconds(5));

  ASSERT_TRUE(daemon_.start());
  // The sink tries again once a second: records flow again within two.
  int delivered = 0;
  for (int i = 0; i < 40 && delivered == 0; ++i) {
    delivered = GwLogInfo(logger_, "eklogger", 1, 1, ("rec-after-" + std::to_string(i)).c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(delivered, 1);
  EXPECT_THAT(received("rec-after-"), HasSubstr("info local3 app=ekserver "));
}

TEST(SyslogConfigTest, WrongValuesAreReportedAndTheDefaultsApply) {
  gw_test::TempDir dir;
  const std::string path = dir.file("eklogger.properties");
  gw_test::write_file(path,
                      "logger.app.handlers = handler.syslog\n"
                      "handler.syslog.className = gw_sysloghandler\n"
                      "handler.syslog.facility = local9\n"
                      "handler.syslog.maxMessageSize = 100\n"
                      "handler.syslog.socketPath = " +
                          dir.file("none.sock") + "\n");
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(GwOpenToolkit(path.c_str()), 1);
  const std::string reports = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(reports,
              HasSubstr(path + ":3: handler.syslog.facility: unknown facility \"local9\""));
  EXPECT_THAT(reports, HasSubstr(path + ":4: handler.syslog.maxMessageSize: not a decimal number "
                                        "of bytes from 480 to 65536: \"100\""));
  GwHandle handler = GwGetObject("handler.syslog", nullptr);
  EXPECT_EQ(property(handler, "className"), "gw_sysloghandler");
  // No daemon at that path: the record is dropped and counted, not lost silently.
  GwHandle logger = GwGetObject("logger.app", nullptr);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GwLogText(logger, "nobody listens"), 0);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("handler.syslog: cannot send to " + dir.file("none.sock")));
  EXPECT_EQ(property(handler, "droppedRecords"), "1");
  GwReleaseObject(logger);
  GwReleaseObject(handler);
  GwCloseToolkit();
}

TEST_F(RsyslogTest, RecordMakesExactlyOneSend) {
  if (std::system(("strace -o " + dir_.file("check.txt") + " true >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "strace cannot run here";
  }
  std::map<std::string, long> runs[2];
  for (int i = 0; i < 2; ++i) {
    const std::string summary = dir_.file("summary" + std::to_string(i) + ".txt");
    // LeakSanitizer cannot run under ptrace: a sanitized probe goes without.
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -c -o " + summary + " " +
                                SYSLOG_PROBE + " " + dir_.file("eklogger.properties") + " " +
                                (i == 0 ? "0" : "2000") + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    runs[i] = strace_calls(gw_test::read_file(summary));
  }
  std::map<std::string, long> added = strace_added(runs[0], runs[1]);
  // Both handlers of the logger are syslog handlers; only one takes INFO.
  // When rsyslogd falls behind (a loaded machine), records are dropped and
  // each episode writes its reports: the only other calls allowed.
  EXPECT_EQ(added["sendto"], 2000);
  added.erase("sendto");
  added.erase("write");
#if defined(__SANITIZE_ADDRESS__)
  added.erase("mmap");  // the sanitizer's allocator maps its quarantine as it goes
#endif
  std::string others;
  for (const auto& [name, count] : added) others += " " + name + "=" + std::to_string(count);
  EXPECT_EQ(others, "") << "other system calls";
}

}  // namespace

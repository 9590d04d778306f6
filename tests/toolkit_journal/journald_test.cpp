// The shipped toolkit's journal handler against a real systemd-journald.
//
// The daemon runs without systemd, in a private mount namespace (unshare -m)
// where the test's own directories are bound over /run/systemd, /run/log and
// its configuration file: its socket, journal files and settings are all in
// the test's temporary directory, and the machine's /run and /etc are not
// touched.  The journal is read back with journalctl -D <dir> -o json and jq.
// This needs root (or unprivileged user and mount namespaces); without them
// the tests are skipped and say why.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"
#include "strace_summary.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;

constexpr const char* kJournald = "/lib/systemd/systemd-journald";

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string output_of(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      output.append(buffer, got);
    }
    ::pclose(pipe);
  }
  return output;
}

std::string property(GwHandle object, const char* name) {
  unsigned char found = 0;
  char* text = GwGetObjProp(object, name, &found);
  if (text == nullptr) return "<none>";
  std::string value = text;
  OruMemoryFree(text);
  return value;
}

class Journald {
 public:
  explicit Journald(const gw_test::TempDir& dir) : dir_(dir) {
    ::mkdir(dir.file("systemd").c_str(), 0755);
    ::mkdir(dir.file("log").c_str(), 0755);
    // No rate limit, nothing forwarded, no kernel log: only our entries and
    // the daemon's own.
    gw_test::write_file(dir.file("journald.conf"),
                        "[Journal]\nStorage=volatile\nRateLimitIntervalSec=0\n"
                        "ForwardToSyslog=no\nForwardToKMsg=no\nForwardToConsole=no\n"
                        "ForwardToWall=no\nReadKMsg=no\n");
  }
  ~Journald() { stop(); }

  std::string socket() const { return dir_.file("systemd/journal/socket"); }

  // True when this machine can run a private journald at all.
  static bool available(std::string& why) {
    if (::access(kJournald, X_OK) != 0) {
      why = std::string(kJournald) +
            " is missing: install the Debian package systemd "
            "(tools/install-deps test does)";
      return false;
    }
    if (std::system("unshare -m true >/dev/null 2>&1") != 0) {
      why = "no private mount namespace here (unshare -m needs root)";
      return false;
    }
    return true;
  }

  // Starts it and waits (bounded) for its socket.
  bool start() {
    ::unlink(socket().c_str());
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out =
          ::open(dir_.file("journald.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(out, 1);
      ::dup2(out, 2);
      const std::string script = "mount --bind " + shell_quote(dir_.file("systemd")) +
                                 " /run/systemd && " + "mount --bind " +
                                 shell_quote(dir_.file("log")) + " /run/log && " + "mount --bind " +
                                 shell_quote(dir_.file("journald.conf")) +
                                 " /etc/systemd/journald.conf && exec " + kJournald;
      execlp("unshare", "unshare", "-m", "--propagation", "private", "sh", "-c", script.c_str(),
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
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void pause() { ::kill(pid_, SIGSTOP); }
  void resume() { ::kill(pid_, SIGCONT); }

  // journalctl's JSON of the entries that match, through a jq filter, one
  // result per line.
  std::string query(const std::string& matches, const std::string& jq) const {
    return output_of("journalctl --all -q -D " + shell_quote(dir_.file("log/journal")) +
                     " -o json " + matches + " 2>&1 | jq -c " + shell_quote(jq));
  }
  // The number of entries that match, once it reaches at least `want`, or
  // what it is after ten seconds.
  int count(const std::string& matches, int want) const {
    int counted = 0;
    for (int i = 0; i < 200; ++i) {
      counted = std::atoi(output_of("journalctl -q -D " + shell_quote(dir_.file("log/journal")) +
                                    " -o json " + matches + " 2>/dev/null | wc -l")
                              .c_str());
      if (counted >= want) return counted;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return counted;
  }

 private:
  const gw_test::TempDir& dir_;
  pid_t pid_ = -1;
};

class JournaldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!Journald::available(why)) GTEST_SKIP() << why;
    ASSERT_TRUE(daemon_.start()) << "systemd-journald did not create " << daemon_.socket() << ": "
                                 << gw_test::read_file(dir_.file("journald.out"));
    gw_test::write_file(dir_.file("eklogger.properties"),
                        "logger.app.level = ALL\n"
                        "logger.app.handlers = handler.journal\n"
                        "logger.app.product = ekserver pid=77 tid=78\n"
                        "logger.app.component = orders\n"
                        "handler.journal.className = gw_journalhandler\n"
                        "handler.journal.socketPath = " +
                            daemon_.socket() + "\n");
    ASSERT_EQ(GwOpenToolkit(dir_.file("eklogger.properties").c_str()), 1);
    logger_ = GwGetObject("logger.app", nullptr);
    handler_ = GwGetObject("handler.journal", nullptr);
  }
  void TearDown() override {
    if (logger_ != nullptr) GwReleaseObject(logger_);
    if (handler_ != nullptr) GwReleaseObject(handler_);
    GwCloseToolkit();
  }

  // The fields of the one entry whose MESSAGE holds token.
  std::string entry(const std::string& token, const std::string& fields) {
    for (int i = 0; i < 200; ++i) {
      const std::string found =
          daemon_.query("", "select((.MESSAGE|type)==\"string\" and (.MESSAGE|contains(\"" + token +
                                "\"))) | " + fields);
      if (!found.empty()) {
        std::cout << "journal: " << found;
        return found;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "<not received: " + token + ">\n";
  }

  gw_test::TempDir dir_;
  Journald daemon_{dir_};
  GwHandle logger_ = nullptr;
  GwHandle handler_ = nullptr;
};

TEST_F(JournaldTest, EveryLevelAndKindArrivesWithItsFields) {
  ASSERT_EQ(GwLogError(logger_, "eklogger", 1, 42, "disk full: rec-severe"), 1);
  ASSERT_EQ(GwLogWarn(logger_, "eklogger", 1, 43, "slow: rec-warning"), 1);
  ASSERT_EQ(GwLogInfo(logger_, "eklogger", 2, 7, "started: rec-info"), 1);
  ASSERT_EQ(GwLogDebugMin(logger_, "src/session.cpp", "Session::open", 120, "fine-rec"), 1);
  ASSERT_EQ(GwLogDebugMid(logger_, "src/session.cpp", "Session::read", 121, "finer-rec"), 1);
  ASSERT_EQ(GwLogDebugMax(logger_, "src/session.cpp", "Session::step", 122, "finest-rec"), 1);
  ASSERT_EQ(GwLogText(logger_, "plain rec-text"), 1);

  const std::string pid = std::to_string(::getpid());
  const std::string ids =
      "\"" + pid + "\",\"" + std::to_string(::gettid()) + "\",\"" + pid + "\"]\n";
  const std::string message_fields =
      "[.MESSAGE,.PRIORITY,.SYSLOG_IDENTIFIER,.EKLOGGER_LEVEL,.EKLOGGER_LOGGER,"
      ".EKLOGGER_COMPONENT,.EKLOGGER_CATALOG,.EKLOGGER_SET,.EKLOGGER_NUMBER,.CODE_FILE,"
      ".EKLOGGER_PID,.EKLOGGER_TID,._PID]";
  EXPECT_EQ(entry("rec-severe", message_fields),
            "[\"disk full: rec-severe\",\"3\",\"ekserver\",\"SEVERE\",\"logger.app\",\"orders\","
            "\"eklogger\",\"1\",\"42\",null," +
                ids);
  EXPECT_EQ(entry("rec-warning", message_fields),
            "[\"slow: rec-warning\",\"4\",\"ekserver\",\"WARNING\",\"logger.app\",\"orders\","
            "\"eklogger\",\"1\",\"43\",null," +
                ids);
  EXPECT_EQ(entry("rec-info", message_fields),
            "[\"started: rec-info\",\"6\",\"ekserver\",\"INFO\",\"logger.app\",\"orders\","
            "\"eklogger\",\"2\",\"7\",null," +
                ids);
  const std::string trace_fields =
      "[.MESSAGE,.PRIORITY,.EKLOGGER_LEVEL,.CODE_FILE,.CODE_LINE,.CODE_FUNC,.EKLOGGER_CATALOG]";
  EXPECT_EQ(entry("fine-rec", trace_fields),
            "[\"fine-rec\",\"7\",\"FINE\",\"src/session.cpp\",\"120\",\"Session::open\",null]\n");
  EXPECT_EQ(entry("finer-rec", trace_fields),
            "[\"finer-rec\",\"7\",\"FINER\",\"src/session.cpp\",\"121\",\"Session::read\",null]\n");
  EXPECT_EQ(
      entry("finest-rec", trace_fields),
      "[\"finest-rec\",\"7\",\"FINEST\",\"src/session.cpp\",\"122\",\"Session::step\",null]\n");
  EXPECT_EQ(entry("rec-text", "[.MESSAGE,.PRIORITY,.EKLOGGER_LEVEL,.CODE_FILE,.EKLOGGER_CATALOG]"),
            "[\"plain rec-text\",\"6\",\"INFO\",null,null]\n");

  // What an operator types: the component's warnings and worse.
  EXPECT_EQ(output_of("journalctl -q -D " + shell_quote(dir_.file("log/journal")) +
                      " EKLOGGER_COMPONENT=orders -p warning -o cat"),
            "disk full: rec-severe\nslow: rec-warning\n");
  EXPECT_EQ(property(handler_, "droppedRecords"), "0");
}

TEST_F(JournaldTest, BadFieldsAndLongMessagesArriveByteForByte) {
  GwHandle bad = GwGetObject("logger.app.bad", nullptr);
  ASSERT_NE(bad, nullptr);
  ASSERT_EQ(GwSetObjProp(bad, "component", "ord\ners=\"q\" \x01 \xff"), 1);
  ASSERT_EQ(GwLogDebugMin(bad, "a\nb.cpp", "f\xc3(", -5, "rec-bad line1\nline2\ttab \xe2\x82\xac"),
            1);
  // A value that is not UTF-8 is an array of bytes in journalctl's JSON.
  EXPECT_EQ(entry("rec-bad",
                  "[.MESSAGE,.EKLOGGER_COMPONENT,.CODE_FILE,.CODE_FUNC,.CODE_LINE,"
                  ".EKLOGGER_LOGGER]"),
            "[\"rec-bad line1\\nline2\\ttab €\",[111,114,100,10,101,114,115,61,34,113,34,32,1,32,"
            "255],\"a\\nb.cpp\",[102,195,40],\"-5\",\"logger.app.bad\"]\n");

  // 100 KiB goes in one datagram; 12 MiB is past any (the send buffer is at
  // most twice net.core.wmem_max, 8 MiB by default) and goes whole through a
  // sealed memory file.
  for (const std::size_t size : {std::size_t{100} * 1024, std::size_t{12} * 1024 * 1024}) {
    const std::string tag = "rec-long-" + std::to_string(size) + " ";
    const std::string text = tag + std::string(size, 'x') + "\nend";
    ASSERT_EQ(GwLogText(bad, text.c_str()), 1) << size;
    EXPECT_EQ(entry(tag, "[(.MESSAGE|length), (.MESSAGE|endswith(\"x\\nend\"))]"),
              "[" + std::to_string(text.size()) + ",true]\n");
  }
  EXPECT_EQ(property(handler_, "droppedRecords"), "0");
  GwReleaseObject(bad);
}

TEST_F(JournaldTest, RecordsWhileTheJournalIsAwayAreDroppedCountedAndDeliveryResumes) {
  constexpr int kWhileStopped = 200;
  ASSERT_EQ(GwLogInfo(logger_, "eklogger", 1, 1, "rec-before"), 1);
  ASSERT_EQ(daemon_.count("EKLOGGER_LOGGER=logger.app", 1), 1);
  daemon_.stop();

  ::testing::internal::CaptureStderr();
  const auto started = std::chrono::steady_clock::now();
  int accepted = 0;
  for (int i = 0; i < kWhileStopped; ++i)
    accepted += GwLogInfo(logger_, "eklogger", 1, 1, "rec-lost");
  const auto took = std::chrono::steady_clock::now() - started;
  std::string reports = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(accepted, 0);
  EXPECT_EQ(property(handler_, "droppedRecords"), std::to_string(kWhileStopped));
  EXPECT_THAT(reports, HasSubstr("handler.journal: cannot send to " + daemon_.socket() +
                                 ": no journal receives there"));
  EXPECT_EQ(reports.find("cannot send", reports.find("cannot send") + 1), std::string::npos)
      << "one report per episode: " << reports;
  EXPECT_LT(took, std::chrono::seconds(5));  // nothing waited for the daemon

  // A restarted journal is reached by the very next record.
  ASSERT_TRUE(daemon_.start());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GwLogInfo(logger_, "eklogger", 1, 1, "rec-after"), 1);
  reports = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(reports, HasSubstr("handler.journal: " + daemon_.socket() + " takes records again; " +
                                 std::to_string(kWhileStopped) + " were dropped"));

  // Paused (its queue fills and is not read): records are dropped at once
  // instead of waiting, and those that were queued arrive when it goes on.
  constexpr int kWhilePaused = 1000;
  daemon_.pause();
  ::testing::internal::CaptureStderr();
  const auto paused_at = std::chrono::steady_clock::now();
  accepted = 0;
  for (int i = 0; i < kWhilePaused; ++i)
    accepted += GwLogInfo(logger_, "eklogger", 1, 2, "rec-paused");
  const auto paused_took = std::chrono::steady_clock::now() - paused_at;
  reports = ::testing::internal::GetCapturedStderr();
  daemon_.resume();
  EXPECT_LT(paused_took, std::chrono::seconds(5));
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, kWhilePaused);
  EXPECT_THAT(reports, HasSubstr("the journal's queue is full"));
  // Once it has read its queue, records are taken again.
  int tries = 0;
  for (int resumed = 0; resumed == 0 && tries < 200; ++tries) {
    resumed = GwLogInfo(logger_, "eklogger", 1, 3, "rec-resumed");
    if (resumed == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_LT(tries, 200);
  EXPECT_EQ(property(handler_, "droppedRecords"),
            std::to_string(kWhileStopped + kWhilePaused - accepted + tries - 1));

  const int received = daemon_.count("EKLOGGER_LOGGER=logger.app", 2 + accepted + 1);
  std::cout << "figures: stopped: sent " << kWhileStopped << ", dropped " << kWhileStopped
            << "; paused: sent " << kWhilePaused << ", taken " << accepted << ", dropped "
            << kWhilePaused - accepted << "; received in all " << received << " of " << 3 + accepted
            << " taken\n";
  EXPECT_EQ(received, 2 + accepted + 1);  // before, after, the paused ones taken, resumed
  EXPECT_EQ(daemon_.count("EKLOGGER_LOGGER=logger.app MESSAGE=rec-lost", 0), 0);
}

TEST_F(JournaldTest, RecordMakesExactlyOneSendmsg) {
  if (std::system(("strace -o " + dir_.file("check.txt") + " true >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "strace cannot run here";
  }
  std::map<std::string, long> runs[2];
  for (int i = 0; i < 2; ++i) {
    const std::string summary = dir_.file("summary" + std::to_string(i) + ".txt");
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -c -o " + summary + " " +
                                RECORD_PROBE + " " + dir_.file("eklogger.properties") + " " +
                                (i == 0 ? "0" : "2000") + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    runs[i] = strace_calls(gw_test::read_file(summary));
  }
  std::map<std::string, long> added = strace_added(runs[0], runs[1]);
  // A journal that falls behind drops records, and each episode writes its
  // reports: the only other calls allowed.
  EXPECT_EQ(added["sendmsg"], 2000);
  added.erase("sendmsg");
  added.erase("write");
#if defined(__SANITIZE_ADDRESS__)
  added.erase("mmap");
#endif
  std::string others;
  for (const auto& [name, count] : added) others += " " + name + "=" + std::to_string(count);
  EXPECT_EQ(others, "") << "other system calls";
}

TEST(JournalConfigTest, WrongValuesAreReportedAndNoJournalIsCounted) {
  gw_test::TempDir dir;
  const std::string path = dir.file("eklogger.properties");
  gw_test::write_file(path,
                      "logger.app.handlers = handler.journal\n"
                      "handler.journal.className = gw_journalhandler\n"
                      "handler.journal.facility = local9\n"
                      "handler.journal.socketPath = " +
                          dir.file(std::string(120, 's')) + "\n");
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(GwOpenToolkit(path.c_str()), 1);
  const std::string reports = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(reports,
              HasSubstr(path + ":3: handler.journal.facility: unknown facility \"local9\""));
  EXPECT_THAT(reports, HasSubstr(path + ":4: handler.journal.socketPath: a socket path is at most "
                                        "107 bytes long"));
  GwHandle handler = GwGetObject("handler.journal", nullptr);
  EXPECT_EQ(property(handler, "className"), "gw_journalhandler");
  // The default path then applies; point it at nothing to see the drop.
  ASSERT_EQ(GwSetObjProp(handler, "socketPath", dir.file("none.sock").c_str()), 1);
  GwHandle logger = GwGetObject("logger.app", nullptr);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GwLogText(logger, "nobody listens"), 0);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("handler.journal: cannot send to " + dir.file("none.sock")));
  EXPECT_EQ(property(handler, "droppedRecords"), "1");
  GwReleaseObject(logger);
  GwReleaseObject(handler);
  GwCloseToolkit();
}

}  // namespace

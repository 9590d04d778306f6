// The syslog output against a real Unix datagram socket that the test binds
// and reads in place of the daemon: one datagram per record, drops and
// their reports when nobody receives or the socket is full, reconnection.
#include "toolkit/syslog/syslog_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "test_support.h"
#include "toolkit/levels.h"
#include "toolkit/syslog/rfc5424.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A bound datagram socket standing for the syslog daemon.
class Receiver {
 public:
  explicit Receiver(const std::string& path) : path_(path) {
    ::unlink(path.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ADD_FAILURE() << "cannot bind " << path;
    }
  }
  ~Receiver() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  // The next datagram, or "<none>" after a second.
  std::string receive() {
    timeval timeout{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string buffer(200000, '\0');
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (got < 0) return "<none>";
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
  }
  // Whether a datagram is waiting, without waiting for one.
  bool pending() {
    char byte;
    return ::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) >= 0;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

gw::Record trace_record(std::string_view text) {
  gw::Record record;
  record.time_us = 1796726527123456;
  record.level = gw::kLevelFine;
  record.kind = gw::RecordKind::kTrace;
  record.product = "ekserver pid=12 tid=34";
  record.component = "orders";
  record.file = "session.cpp";
  record.function = "open";
  record.line = 120;
  record.text = text;
  return record;
}

gw::SyslogSettings settings_for(const std::string& path) {
  gw::SyslogSettings settings;
  settings.socket_path = path;
  settings.facility = 19;  // local3
  return settings;
}

void wait_past_retry_interval() {
  std::this_thread::sleep_for(std::chrono::milliseconds(gw::kSyslogRetryIntervalMs + 100));
}

TEST(SyslogSinkTest, EachRecordIsOneDatagramWithProcessAndThreadIdentifiers) {
  gw_test::TempDir dir;
  Receiver daemon(dir.file("log.sock"));
  gw::SyslogSink sink("handler.syslog", settings_for(dir.file("log.sock")));
  ASSERT_TRUE(sink.write_record(trace_record("one"), "opened\n", nullptr, nullptr));
  ASSERT_TRUE(sink.write_record(trace_record("two"), "closed\n", nullptr, nullptr));
  const std::string first = daemon.receive();
  const std::string ids =
      "pid=\"" + std::to_string(::getpid()) + "\" tid=\"" + std::to_string(::gettid()) + "\"]";
  // local3.debug; the app name is the product without the library's identifiers.
  EXPECT_THAT(first, StartsWith("<159>1 2026-12-08T10:42:07.123456Z "));
  EXPECT_THAT(first, HasSubstr(" ekserver " + std::to_string(::getpid()) + " FINE "));
  EXPECT_THAT(first, HasSubstr(ids + " opened"));
  EXPECT_THAT(daemon.receive(), EndsWith(ids + " closed"));
  EXPECT_FALSE(daemon.pending());

  gw::SyslogSettings named = settings_for(dir.file("log.sock"));
  named.app_name = "billing";
  gw::SyslogSink named_sink("handler.named", named);
  ASSERT_TRUE(named_sink.write_record(trace_record("x"), "x", nullptr, nullptr));
  EXPECT_THAT(daemon.receive(), HasSubstr(" billing "));
}

TEST(SyslogSinkTest, HugeTextIsCutToOneDatagramOfTheConfiguredSize) {
  gw_test::TempDir dir;
  Receiver daemon(dir.file("log.sock"));
  gw::SyslogSettings settings = settings_for(dir.file("log.sock"));
  settings.max_message_size = 2048;
  gw::SyslogSink sink("handler.syslog", settings);
  const std::string text(100 * 1024, 'z');
  ASSERT_TRUE(sink.write_record(trace_record(text), text, nullptr, nullptr));
  const std::string datagram = daemon.receive();
  EXPECT_EQ(datagram.size(), 2048u);
  EXPECT_THAT(datagram, EndsWith("zz" + std::string(gw::kSyslogTruncatedMarker)));
  EXPECT_FALSE(daemon.pending()) << "the rest must not come as a second record";
}

TEST(SyslogSinkTest, NoDaemonDropsWithOneReportAndReconnectsWhenItComes) {
  gw_test::TempDir dir;
  gw::SyslogSink sink("handler.syslog", settings_for(dir.file("log.sock")));
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 20; ++i)
    EXPECT_FALSE(sink.write_record(trace_record("x"), "lost", nullptr, nullptr));
  std::string reports = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports, "gwtoolkit: handler.syslog: cannot send to " + dir.file("log.sock") +
                         ": no syslog daemon receives there (No such file or directory): "
                         "records are dropped until it takes them again\n");

  // The daemon starts: the next attempt after the retry interval connects.
  {
    Receiver daemon(dir.file("log.sock"));
    wait_past_retry_interval();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(sink.write_record(trace_record("x"), "back", nullptr, nullptr));
    reports = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(reports, "gwtoolkit: handler.syslog: " + dir.file("log.sock") +
                           " takes records again; 20 were dropped\n");
    EXPECT_THAT(daemon.receive(), EndsWith("] back"));
  }
  // It stops (its socket file goes with it) and restarts under the same
  // path: the sink follows it to the new socket.
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(sink.write_record(trace_record("x"), "gone", nullptr, nullptr));
  Receiver restarted(dir.file("log.sock"));
  wait_past_retry_interval();
  EXPECT_TRUE(sink.write_record(trace_record("x"), "again", nullptr, nullptr));
  reports = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(reports, HasSubstr("cannot send to"));
  EXPECT_THAT(reports, HasSubstr("takes records again; 1 were dropped"));
  EXPECT_THAT(restarted.receive(), EndsWith("] again"));
}

TEST(SyslogSinkTest, FullSocketDropsWithoutBlocking) {
  gw_test::TempDir dir;
  Receiver daemon(dir.file("log.sock"));
  gw::SyslogSink sink("handler.syslog", settings_for(dir.file("log.sock")));
  ::testing::internal::CaptureStderr();
  int sent = 0;
  int dropped = 0;
  // The daemon reads nothing: its queue fills, and each record after that
  // returns at once as dropped.
  for (int i = 0; i < 100000 && dropped < 100; ++i) {
    if (sink.write_record(trace_record("x"), std::string(1000, 'f'), nullptr, nullptr)) {
      ++sent;
    } else {
      ++dropped;
    }
  }
  const std::string reports = ::testing::internal::GetCapturedStderr();
  EXPECT_GT(sent, 0);
  EXPECT_EQ(dropped, 100);
  EXPECT_EQ(reports, "gwtoolkit: handler.syslog: cannot send to " + dir.file("log.sock") +
                         ": the socket is full: records are dropped until it takes them again\n");
  for (int i = 0; i < sent; ++i) daemon.receive();
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(sink.write_record(trace_record("x"), "drained", nullptr, nullptr));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("100 were dropped"));
  EXPECT_THAT(daemon.receive(), EndsWith("] drained"));
}

TEST(SyslogSinkTest, ForkedChildSendsItsOwnProcessAndThreadIdentifiers) {
  gw_test::TempDir dir;
  Receiver daemon(dir.file("log.sock"));
  gw::SyslogSink sink("handler.syslog", settings_for(dir.file("log.sock")));
  ASSERT_TRUE(sink.write_record(trace_record("x"), "parent", nullptr, nullptr));  // caches the ids
  EXPECT_THAT(daemon.receive(), HasSubstr("pid=\"" + std::to_string(::getpid()) + "\""));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(sink.write_record(trace_record("x"), "child", nullptr, nullptr) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  const std::string ids = "pid=\"" + std::to_string(child) + "\" tid=\"" + std::to_string(child);
  EXPECT_THAT(daemon.receive(), HasSubstr(ids));
}

TEST(SyslogSinkTest, SettingsComeFromPropertiesAndWrongValuesAreNamed) {
  const auto settings =
      gw::syslog_settings([](std::string_view property) -> std::optional<std::string_view> {
        if (property == "facility") return "local7";
        if (property == "maxMessageSize") return "479";  // below the minimum: the default
        if (property == "appName") return "srv";
        return std::nullopt;
      });
  EXPECT_EQ(settings.socket_path, "/dev/log");
  EXPECT_EQ(settings.facility, 23);
  EXPECT_EQ(settings.app_name, "srv");
  EXPECT_EQ(settings.max_message_size, 8192u);
  EXPECT_EQ(gw::check_syslog_property("maxMessageSize", "480"), "");
  EXPECT_THAT(gw::check_syslog_property("maxMessageSize", "65537"), HasSubstr("480 to 65536"));
  EXPECT_THAT(gw::check_syslog_property("facility", "Local7"), StartsWith("unknown facility"));
  EXPECT_THAT(gw::check_syslog_property("socketPath", std::string(108, 'p')),
              HasSubstr("at most 107 bytes"));
  EXPECT_EQ(gw::undecorated_product("srvport=9000 pid=12 tid=34"), "srvport=9000");
  EXPECT_EQ(gw::undecorated_product("srv pid=12"), "srv");
  EXPECT_EQ(gw::undecorated_product("srv tid=x"), "srv tid=x");
}

}  // namespace

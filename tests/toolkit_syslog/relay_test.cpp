// The forwarding path of docs/configuration.md, run for real: the syslog
// handler sends to a local rsyslogd, which keeps a copy and relays over TCP,
// through a disk-assisted queue, to a second, "central" rsyslogd; both on
// 127.0.0.1 only, started and stopped here.  The central one is stopped for
// a while: the records sent then wait in the local one's queue and arrive
// once the central one is back, each exactly once, with its structured data.
// The local daemon is not restarted while the central one is away: rsyslog
// 8.2302 then cancels the suspended forwarding action hard, and in our runs
// lost one record and sent the next twice (over TCP and RELP alike).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"
#include "test_support.h"

namespace {

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";

// A free TCP port on the loopback interface, for the central daemon.
int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return -1;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// One rsyslogd in the foreground with a configuration of its own.
class Daemon {
 public:
  Daemon(std::string dir, std::string conf) : dir_(std::move(dir)) {
    ::mkdir(dir_.c_str(), 0700);
    gw_test::write_file(dir_ + "/rsyslog.conf", conf);
  }
  ~Daemon() { stop(); }

  // Starts it and waits (bounded) until ready() holds.
  template <typename Ready>
  bool start(Ready ready) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string conf = dir_ + "/rsyslog.conf";
      const std::string pid_file = dir_ + "/rsyslogd.pid";
      execl(kRsyslogd, kRsyslogd, "-n", "-f", conf.c_str(), "-i", pid_file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      if (ready()) return true;
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

 private:
  const std::string dir_;
  pid_t pid_ = -1;
};

bool port_open(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return open;
}

// How often each record number ("relay-<n>") appears in a file, and
// whether every line carries the structured data of its record.
struct Arrivals {
  std::map<int, int> times;
  int without_structured_data = 0;
};

Arrivals arrivals(const std::string& path) {
  Arrivals found;
  std::istringstream text(gw_test::read_file(path));
  const std::regex record(R"(relay-(\d+)$)");
  for (std::string line; std::getline(text, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, record)) continue;
    const int number = std::stoi(match[1]);
    ++found.times[number];
    const std::string element =
        "[eklogger@32473 component=\"orders\" catalog=\"eklogger\" set=\"1\" number=\"" +
        std::to_string(number) + "\" pid=\"";
    if (line.find(element) == std::string::npos) ++found.without_structured_data;
  }
  return found;
}

// Waits up to `seconds` for records 1..count to have arrived.
Arrivals wait_for(const std::string& path, int count, int seconds) {
  Arrivals found;
  for (int i = 0; i < seconds * 10; ++i) {
    found = arrivals(path);
    if (static_cast<int>(found.times.size()) >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return found;
}

std::string property(GwHandle object, const char* name) {
  unsigned char found = 0;
  char* text = GwGetObjProp(object, name, &found);
  if (text == nullptr) return "<none>";
  std::string value = text;
  OruMemoryFree(text);
  return value;
}

TEST(RsyslogRelayTest, RecordsReachTheCentralServerOnceEachThroughItsAbsence) {
  if (::access(kRsyslogd, X_OK) != 0) {
    GTEST_SKIP() << kRsyslogd << " is missing: install the Debian package rsyslog "
                 << "(tools/install-deps test does)";
  }
  gw_test::TempDir dir;
  const int port = free_port();
  ASSERT_GT(port, 0);
  const std::string central_log = dir.file("central.log");
  const std::string local_log = dir.file("local.log");
  const std::string socket = dir.file("log.sock");

  Daemon central(dir.file("central"),
                 "global(workDirectory=\"" + dir.file("central") +
                     "\" maxMessageSize=\"64k\")\n"
                     "module(load=\"imtcp\")\n"
                     "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" +
                     std::to_string(port) +
                     "\")\n"
                     "template(name=\"t\" type=\"string\" string=\"%app-name% %msgid% "
                     "%structured-data% %msg%\\n\")\n"
                     "*.* action(type=\"omfile\" file=\"" +
                     central_log + "\" template=\"t\")\n");
  // The local daemon as docs/configuration.md has it, with a private socket
  // and loopback for the central server.
  Daemon local(dir.file("local"),
               "global(workDirectory=\"" + dir.file("local") +
                   "\" maxMessageSize=\"64k\")\n"
                   "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
                   "input(type=\"imuxsock\" Socket=\"" +
                   socket +
                   "\" UseSpecialParser=\"off\" "
                   "ParseHostname=\"on\" UseSysTimeStamp=\"off\")\n"
                   "if $syslogfacility-text == \"local3\" then {\n"
                   "  action(type=\"omfile\" file=\"" +
                   local_log +
                   "\")\n"
                   "  action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" +
                   std::to_string(port) +
                   "\" protocol=\"tcp\"\n"
                   "         template=\"RSYSLOG_SyslogProtocol23Format\"\n"
                   "         queue.type=\"LinkedList\" queue.filename=\"ekserver_fwd\" "
                   "queue.saveOnShutdown=\"on\"\n"
                   "         action.resumeRetryCount=\"-1\" action.resumeInterval=\"1\")\n"
                   "  stop\n"
                   "}\n");
  ASSERT_TRUE(central.start([&] { return port_open(port); })) << "central rsyslogd did not listen";
  ASSERT_TRUE(local.start([&] { return gw_test::exists(socket); })) << "local rsyslogd";

  gw_test::write_file(dir.file("eklogger.properties"),
                      "logger.app.handlers = handler.syslog\n"
                      "logger.app.product = ekserver\n"
                      "logger.app.component = orders\n"
                      "handler.syslog.className = gw_sysloghandler\n"
                      "handler.syslog.socketPath = " +
                          socket +
                          "\n"
                          "handler.syslog.facility = local3\n");
  ASSERT_EQ(GwOpenToolkit(dir.file("eklogger.properties").c_str()), 1);
  GwHandle logger = GwGetObject("logger.app", nullptr);
  GwHandle handler = GwGetObject("handler.syslog", nullptr);
  // The local daemon's socket queue is short (net.unix.max_dgram_qlen): a
  // record it has no room for is dropped and counted, as it must be, and
  // sent again here after a pause, so that every number goes out once.
  int sent = 0;
  int socket_full = 0;
  const auto send = [&](int first, int last) {
    for (int number = first; number <= last; ++number) {
      const std::string text = "relay-" + std::to_string(number);
      for (int attempt = 0; attempt < 100; ++attempt) {
        if (GwLogInfo(logger, "eklogger", 1, number, text.c_str()) == 1) {
          ++sent;
          break;
        }
        ++socket_full;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  };

  constexpr int kBefore = 200;
  constexpr int kWhileAway = 300;
  send(1, kBefore);
  Arrivals found = wait_for(central_log, kBefore, 20);
  ASSERT_EQ(found.times.size(), static_cast<std::size_t>(kBefore))
      << "before the central one stopped";

  central.stop();
  send(kBefore + 1, kBefore + kWhileAway);
  // Give the local daemon time to take them all and find the central one gone.
  for (int i = 0;
       i < 100 && static_cast<int>(arrivals(local_log).times.size()) < kBefore + kWhileAway; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(arrivals(central_log).times.size(), static_cast<std::size_t>(kBefore));

  ASSERT_TRUE(central.start([&] { return port_open(port); }));
  found = wait_for(central_log, kBefore + kWhileAway, 60);
  const std::string dropped = property(handler, "droppedRecords");
  int twice = 0;
  std::string odd;  // the numbers missing or there more than once
  for (int number = 1; number <= kBefore + kWhileAway; ++number) {
    const int times = found.times.count(number) != 0 ? found.times.at(number) : 0;
    if (times > 1) ++twice;
    if (times != 1) odd += " " + std::to_string(number) + "x" + std::to_string(times);
  }
  std::cout << "relay figures: sent " << sent << " (" << kWhileAway
            << " while the central server was away), dropped by the handler " << dropped
            << ", received by the central server " << found.times.size() << ", twice " << twice
            << ", without structured data " << found.without_structured_data << "\n";
  EXPECT_EQ(sent, kBefore + kWhileAway);
  EXPECT_EQ(dropped, std::to_string(socket_full));
  EXPECT_EQ(found.times.size(), static_cast<std::size_t>(kBefore + kWhileAway));
  EXPECT_EQ(twice, 0);
  EXPECT_EQ(odd, "");
  EXPECT_EQ(found.without_structured_data, 0);
  EXPECT_EQ(arrivals(local_log).times.size(), static_cast<std::size_t>(kBefore + kWhileAway));

  GwReleaseObject(handler);
  GwReleaseObject(logger);
  GwCloseToolkit();
}

}  // namespace

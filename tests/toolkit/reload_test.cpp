// Re-reading the configuration file by itself (toolkit.reloadInterval):
// real processes of one program (reload_writer.cpp) write while their one
// file is edited in place, replaced by rename and broken; and the watcher
// thread's life within one process.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "toolkit_fixture.h"

namespace gw_test {
namespace {

using ::testing::HasSubstr;

long long realtime_us() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// What the writers left in one log file, by writing process.
struct Records {
  std::map<std::string, std::vector<long long>> info;  // by product: the "i" numbers
  std::map<std::string, std::vector<long long>> fine;  // the "f" numbers
  std::map<std::string, long long> first_fine_us;      // each process's first FINE record
  std::vector<std::string> torn;                       // lines not as written
};

Records records_of(const std::string& path) {
  static const std::regex kLine(
      R"(^(4000|3000)\|logger\.app\|(pid=[0-9]+)\|\|(c,1,1|w\.cpp:main:1)\|([if]) ([0-9]+) ([0-9]+)$)");
  Records records;
  for (const std::string& line : read_lines(path)) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine) || (match[1] == "4000") != (match[4] == "i")) {
      records.torn.push_back(line);
      continue;
    }
    const long long number = std::stoll(match[5]);
    if (match[4] == "i") {
      records.info[match[2]].push_back(number);
    } else {
      records.fine[match[2]].push_back(number);
      records.first_fine_us.emplace(match[2], std::stoll(match[6]));
    }
  }
  return records;
}

// Under ThreadSanitizer a forked child has no watcher (reload.cpp); under
// AddressSanitizer the child of a threaded process can stop for ever in the
// sanitizer's allocator, whose lock another thread held at the fork.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kForkedChildren = 0;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kForkedChildren = 0;
#else
constexpr int kForkedChildren = 1;
#endif
#else
constexpr int kForkedChildren = 1;
#endif

class ReloadTest : public ToolkitFixture {
 protected:
  // Two programs started, each forking its children.
  static constexpr int kProcesses = 2 * (1 + kForkedChildren);

  // The file at a step: logger.app at level, writing to the handler named.
  std::string configuration(const std::string& level, const std::string& handler,
                            const std::string& broken = "") const {
    return "toolkit.reloadInterval = 1\n"
           "logger.app.level = " +
           level +
           "\n"
           "logger.app.handlers = " +
           handler + "\n" + broken + "handler.a.fileName = " + file("a.log") +
           "\n"
           "handler.b.fileName = " +
           file("b.log") +
           "\n"
           "handler.c.fileName = " +
           file("c.log") + "\n";
  }

  pid_t start_writer(int number) {
    const std::string errors = file("errors." + std::to_string(number));
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      ::dup2(fd, 2);
      ::execl(RELOAD_WRITER, RELOAD_WRITER, config_path().c_str(), file("stop").c_str(),
              std::to_string(kForkedChildren).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }

  // Waits until every process has written a record of kind ("i" or "f")
  // to the file; the records then, or what there was at the deadline.
  Records wait_for_all(const std::string& name, bool fine, std::chrono::seconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
      Records records = records_of(file(name));
      if ((fine ? records.fine : records.info).size() == kProcesses ||
          std::chrono::steady_clock::now() > deadline) {
        return records;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::string errors_of_writers() {
    return read_file(file("errors.0")) + read_file(file("errors.1"));
  }

  // Writes the file anew in place (same inode), in three parts 0.6 s apart
  // as a slow writer would: each process looks at least once (every
  // second) while it is partly written, less than a second after a write,
  // and must not read it then.
  void edit_in_place(const std::string& text) {
    const int fd = ::open(config_path().c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    const std::size_t third = text.size() / 3;
    for (std::size_t from = 0; from < text.size(); from += third) {
      if (from > 0) std::this_thread::sleep_for(std::chrono::milliseconds(600));
      const std::size_t size = std::min(third, text.size() - from);
      ASSERT_EQ(::write(fd, text.data() + from, size), static_cast<ssize_t>(size));
    }
    ::close(fd);
  }

  void replace_by_rename(const std::string& text) {
    write_file(file("new.properties"), text);
    ASSERT_EQ(::rename(file("new.properties").c_str(), config_path().c_str()), 0);
  }

  static void report_latency(const char* step, const Records& records, long long edited_us) {
    std::vector<long long> latencies;
    for (const auto& [product, first_us] : records.first_fine_us) {
      latencies.push_back((first_us - edited_us) / 1000);
    }
    std::sort(latencies.begin(), latencies.end());
    std::ostringstream line;
    line << step << ": edit to the first FINE record, ms, by process:";
    for (long long ms : latencies) line << " " << ms;
    std::cout << line.str() << std::endl;
  }
};

TEST_F(ReloadTest, ProcessesSwitchWithinTheIntervalLosingNoRecordAtTheSwitch) {
  write_file(config_path(), configuration("INFO", "handler.a"));
  const pid_t writers[] = {start_writer(0), start_writer(1)};
  Records a = wait_for_all("a.log", false, std::chrono::seconds(5));
  ASSERT_EQ(a.info.size(), kProcesses) << errors_of_writers();
  EXPECT_TRUE(a.fine.empty());

  // Edited in place: FINE, to b.log.  Within the interval (1 s) and the
  // second a file needs to settle after its last write, with some slack for
  // a loaded machine.
  edit_in_place(configuration("FINE", "handler.b"));
  const long long edited_us = realtime_us();
  const Records b = wait_for_all("b.log", true, std::chrono::seconds(4));
  EXPECT_EQ(b.fine.size(), kProcesses) << errors_of_writers();
  report_latency("in place", b, edited_us);

  // Replaced by rename: to c.log.
  const long long renamed_us = realtime_us();
  replace_by_rename(configuration("FINE", "handler.c"));
  const Records c = wait_for_all("c.log", true, std::chrono::seconds(4));
  EXPECT_EQ(c.fine.size(), kProcesses) << errors_of_writers();
  report_latency("by rename", c, renamed_us);
  for (const auto& [product, first_us] : c.first_fine_us) {
    EXPECT_LT(first_us - renamed_us, 3000000) << product;
  }

  // Broken: the wrong level line is ignored (the default, INFO, applies),
  // the unknown property reported, and the valid change made: back to a.log.
  const std::size_t a_lines = read_lines(file("a.log")).size();
  replace_by_rename(configuration("LOUD", "handler.a", "handler.c.limt = 5\n"));
  for (int waited = 0; waited < 400 && read_lines(file("a.log")).size() < a_lines + 40; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  write_file(file("stop"), "");
  // No close: the watcher thread must not keep them from exiting.
  for (pid_t writer : writers) {
    ASSERT_TRUE(ended_within(writer, 10));
  }

  // Every record whole, each process's INFO records all there once, in
  // a.log, then b.log, then c.log, then a.log again: one switch each.
  a = records_of(file("a.log"));
  const Records b_all = records_of(file("b.log"));
  const Records c_all = records_of(file("c.log"));
  for (const Records* records : {static_cast<const Records*>(&a), &b_all, &c_all}) {
    EXPECT_TRUE(records->torn.empty()) << records->torn.front();
  }
  ASSERT_EQ(a.info.size(), kProcesses);
  for (const auto& [product, numbers] : a.info) {
    const std::vector<long long>& in_b = b_all.info.at(product);
    const std::vector<long long>& in_c = c_all.info.at(product);
    std::vector<long long> all = numbers;
    all.insert(all.end(), in_b.begin(), in_b.end());
    all.insert(all.end(), in_c.begin(), in_c.end());
    std::sort(all.begin(), all.end());
    for (std::size_t i = 0; i < all.size(); ++i) {
      ASSERT_EQ(all[i], static_cast<long long>(i)) << product << ": lost or twice";
    }
    EXPECT_TRUE(std::is_sorted(in_b.begin(), in_b.end()));
    EXPECT_LT(in_b.back(), in_c.front()) << product;
    for (long long n : numbers) {
      EXPECT_TRUE(n < in_b.front() || n > in_c.back()) << product << ": " << n << " in a.log";
    }
    EXPECT_GT(numbers.back(), in_c.back()) << product << " never went back to a.log";
    // FINE records, from the switch to b.log on, all there too.
    const std::vector<long long>& fine_b = b_all.fine.at(product);
    const std::vector<long long>& fine_c = c_all.fine.at(product);
    EXPECT_EQ(fine_b.back() - fine_b.front() + 1, static_cast<long long>(fine_b.size()));
    EXPECT_EQ(fine_c.front(), fine_b.back() + 1) << product;
    EXPECT_EQ(fine_c.back() - fine_c.front() + 1, static_cast<long long>(fine_c.size()));
  }
  EXPECT_TRUE(a.fine.empty());

  // Each process reported each re-read once, with what it changed, and the
  // broken lines with their place.
  const std::string errors = errors_of_writers();
  const std::string reread = "gwtoolkit: re-read " + config_path() + ": ";
  EXPECT_EQ(count_of(errors, reread + "logger.app: handlers handler.a -> handler.b, level INFO -> "
                                      "FINE\n"),
            kProcesses)
      << errors;
  EXPECT_EQ(count_of(errors, reread + "logger.app: handlers handler.b -> handler.c\n"), kProcesses)
      << errors;
  EXPECT_EQ(count_of(errors, config_path() + ":2: logger.app.level: unknown level \"LOUD\"\n"),
            kProcesses)
      << errors;
  EXPECT_EQ(
      count_of(errors, config_path() + ":4: unknown property \"limt\" of handler.c; did you mean "
                                       "\"limit\"?\n"),
      kProcesses)
      << errors;
  EXPECT_EQ(count_of(errors, reread + "handler.c: limt (none) -> 5; logger.app: handlers "
                                      "handler.c -> handler.a, level FINE -> (none)\n"),
            kProcesses)
      << errors;
  EXPECT_EQ(count_of(errors, "gwtoolkit: re-read "), 3 * kProcesses) << errors;
}

// The library's loggers write their configured level back as a run-time
// value: a re-read that changes the file's level must still reach them.
TEST_F(ReloadTest, TheLibrarysTraceLoggerFollowsTheShippedFileEdited) {
  std::string shipped = read_file(EKLOGGER_DEFAULT_CONFIG);
  const auto replaced = [&](std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  shipped = replaced(shipped, "toolkit.reloadInterval = 10", "toolkit.reloadInterval = 1");
  write_file(config_path(), shipped);
  const std::string logs = file("logs");
  const std::string trace = logs + "/trace.log";
  const pid_t writer = fork();
  if (writer == 0) {
    const int fd = ::open(file("errors").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ::dup2(fd, 2);
    ::execl(RELOAD_LIBRARY_WRITER, RELOAD_LIBRARY_WRITER, dir_.path().c_str(), logs.c_str(),
            file("stop").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int waited = 0; waited < 500 && read_lines(logs + "/msg.log").size() < 50; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(read_lines(trace).empty());
  replace_by_rename(
      replaced(shipped, "logger.dc.trace.level = OFF", "logger.dc.trace.level = FINE"));
  for (int waited = 0; waited < 300 && read_lines(trace).empty(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  write_file(file("stop"), "");
  ASSERT_TRUE(ended_within(writer, 10));
  const std::vector<std::string> traced = read_lines(trace);
  ASSERT_FALSE(traced.empty()) << read_file(file("errors"));
  EXPECT_THAT(traced.front(), HasSubstr("f "));
  EXPECT_EQ(read_file(file("errors")),
            "gwtoolkit: re-read " + config_path() + ": logger.dc.trace: level OFF -> FINE\n");
}

// The threads of this process.
int thread_count() {
  int count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
  ::closedir(tasks);
  return count;
}

bool thread_count_becomes(int wanted) {
  for (int waited = 0; waited < 200; ++waited) {
    if (thread_count() == wanted) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(ReloadTest, OneWatcherWhileOpenAndWatchingNoneWhenClosedOrOff) {
  // A first thread makes a sanitizer's own helper thread start, if any.
  std::thread([] {}).join();
  const int alone = thread_count();
  const std::string watched = "toolkit.reloadInterval = 5\nlogger.l.level = FINE\n";
  ASSERT_EQ(open_with(watched), 1);
  EXPECT_EQ(thread_count(), alone + 1);
  // Re-read by GwOpenToolkit, the interval changed: still one.
  ASSERT_EQ(open_with("toolkit.reloadInterval = 2\nlogger.l.level = FINE\n"), 1);
  ASSERT_EQ(open_with(watched), 1);
  EXPECT_EQ(thread_count(), alone + 1);
  EXPECT_EQ(GwCloseToolkit(), 1);
  EXPECT_TRUE(thread_count_becomes(alone));
  ASSERT_EQ(open_with(watched), 1);
  EXPECT_EQ(thread_count(), alone + 1);
  // Set to 0 (the default): no thread.
  ASSERT_EQ(open_with("logger.l.level = FINE\n"), 1);
  EXPECT_TRUE(thread_count_becomes(alone));
  // A wrong interval keeps the one in effect, so the watcher reads its fix.
  ASSERT_EQ(open_with(watched), 1);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(open_with("toolkit.reloadInterval = soon\n"), 1);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr(":1: toolkit.reloadInterval: not a non-negative decimal number of "
                        "seconds: \"soon\"\n"));
  EXPECT_EQ(thread_count(), alone + 1);
}

TEST_F(ReloadTest, AFileGoneIsReportedOnceAndTheConfigurationStays) {
  ASSERT_EQ(open_with("toolkit.reloadInterval = 1\nlogger.l.level = FINE\n"
                      "logger.l.handlers = handler.h\nhandler.h.fileName = " +
                      file("h.log") + "\n"),
            1);
  Ref logger("logger.l");
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(::unlink(config_path().c_str()), 0);
  // Seen gone at the next look, then again a second later, and after.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "gwtoolkit: cannot read " + config_path() + ": No such file or directory\n");
  EXPECT_EQ(GwIsLoggable(logger, 3000), 1);
}

}  // namespace
}  // namespace gw_test

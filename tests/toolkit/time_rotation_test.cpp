// Rotation at local midnight or at each local hour ("rotate"), alone and
// with rotation by size, in one process and in several, and the removal of
// rotated files past "maxAge".  The clocks are moved through the toolkit's
// seam to the operating system (a ClockOs that shifts what clock_gettime
// answers); the files are real, and so are the processes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "ipc_key.h"
#include "toolkit/os.h"
#include "toolkit_fixture.h"

namespace gw_test {
namespace {

using ::testing::ElementsAre;

// What the clocks are moved by, in shared memory so that the processes a
// test forks follow the moves of the test.
struct ClockShift {
  std::atomic<std::int64_t> wall_s{0};       // added to CLOCK_REALTIME
  std::atomic<std::int64_t> monotonic_s{0};  // added to CLOCK_MONOTONIC*
  std::atomic<int> phase{0};                 // for tests with several processes
  std::atomic<int> ready{0};
  std::atomic<int> rename_pause_ms{0};  // a slow disk: every rename takes this long
};

class ClockOs : public gw::Os {
 public:
  explicit ClockOs(ClockShift* shift) : shift_(shift) {}
  int clock_gettime(clockid_t clock, struct timespec* now) override {
    const int result = gw::Os::clock_gettime(clock, now);
    if (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE) {
      now->tv_sec += shift_->wall_s.load();
    } else {
      now->tv_sec += shift_->monotonic_s.load();
    }
    return result;
  }
  int renameat2(int from_directory, const char* from, int to_directory, const char* to,
                unsigned int flags) override {
    if (const int pause = shift_->rename_pause_ms.load()) ::usleep(pause * 1000);
    return gw::Os::renameat2(from_directory, from, to_directory, to, flags);
  }

 private:
  ClockShift* shift_;
};

// Local time in a zone with summer time: 2026-03-29 has 23 hours.
constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

std::int64_t local_time(int year, int month, int day, int hour = 0, int minute = 0,
                        int second = 0) {
  struct tm local = {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return static_cast<std::int64_t>(::mktime(&local));
}

class TimeRotationTest : public ToolkitFixture {
 protected:
  void SetUp() override {
    ::setenv("TZ", kZone, 1);
    ::tzset();
    void* memory = ::mmap(nullptr, sizeof(ClockShift), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    shift_ = new (memory) ClockShift;
    os_ = new ClockOs(shift_);
    gw::set_os(os_);
    path_ = file("msg.log");
  }
  void TearDown() override {
    GwCloseToolkit();
    gw::set_os(nullptr);
    delete os_;
    ::munmap(shift_, sizeof(ClockShift));
    ::unsetenv("TZ");
    ::tzset();
  }

  // Sets the wall clock (seconds since the epoch); the monotonic one stays.
  void set_wall_clock(std::int64_t seconds) {
    shift_->wall_s.store(seconds - static_cast<std::int64_t>(::time(nullptr)));
  }
  // Time passes: both clocks move on.
  void advance(std::int64_t seconds) {
    shift_->wall_s.fetch_add(seconds);
    shift_->monotonic_s.fetch_add(seconds);
  }
  std::int64_t wall_clock() const {
    return static_cast<std::int64_t>(::time(nullptr)) + shift_->wall_s.load();
  }

  std::string config(const std::string& handler_lines) const {
    return "logger.f.handlers = handler.f\nhandler.f.formatter = formatter.xml\n"
           "formatter.xml.className = gw_xmlformatter\nhandler.f.fileName = " +
           path_ + "\n" + handler_lines;
  }
  std::string rotated(int index) const { return path_ + "." + std::to_string(index); }
  static void log(GwHandle logger, const std::string& text) {
    GwLogInfo(logger, "c", 1, 1, text.c_str(), nullptr);
  }
  static std::string line(const std::string& text) { return "4000|logger.f|||c,1,1|" + text; }

  ClockShift* shift_ = nullptr;
  ClockOs* os_ = nullptr;
  std::string path_;
};

TEST_F(TimeRotationTest, DailyRotationSplitsTheSetAtEachLocalMidnight) {
  set_wall_clock(local_time(2026, 3, 29) - 2);
  ASSERT_EQ(open_with(config("handler.f.rotate = daily\nhandler.f.count = 5\n")), 1);
  Ref logger("logger.f");
  log(logger, "28th, last seconds");
  advance(1);
  log(logger, "28th, last second");
  advance(2);
  log(logger, "29th");
  EXPECT_THAT(read_lines(rotated(1)), ElementsAre("<log>", line("28th, last seconds"),
                                                  line("28th, last second"), "</log>"));
  EXPECT_THAT(read_lines(path_), ElementsAre("<log>", line("29th")));

  // The day summer time begins has 23 hours: its last second is still the
  // 29th, the next one is the 30th.
  set_wall_clock(local_time(2026, 3, 29, 23, 59, 59));
  advance(0);
  log(logger, "29th, at 23:59:59");
  EXPECT_FALSE(exists(rotated(2)));
  advance(2);
  log(logger, "30th");
  EXPECT_THAT(read_lines(rotated(2)).size(), 4u);
  EXPECT_THAT(read_lines(rotated(1)),
              ElementsAre("<log>", line("29th"), line("29th, at 23:59:59"), "</log>"));
  EXPECT_THAT(read_lines(path_), ElementsAre("<log>", line("30th")));

  // A day without records leaves no file of its own: two days later the
  // first record rotates the 30th's file once.
  advance(2 * 24 * 3600);
  log(logger, "1st of April");
  EXPECT_THAT(read_lines(rotated(1)), ElementsAre("<log>", line("30th"), "</log>"));
  EXPECT_TRUE(exists(rotated(3)));
  EXPECT_FALSE(exists(rotated(4))) << "one rotation for the two days that passed";
  EXPECT_THAT(read_lines(path_), ElementsAre("<log>", line("1st of April")));
}

TEST_F(TimeRotationTest, HourlyAndSizeRotationShareOneNumberedSet) {
  set_wall_clock(local_time(2026, 6, 1, 9, 59, 50));
  ASSERT_EQ(open_with(config("handler.f.rotate = hourly\nhandler.f.count = 50\n"
                             "handler.f.limit = 400\n")),
            1);
  Ref logger("logger.f");
  for (int i = 0; i < 20; ++i) log(logger, "nine o'clock " + std::to_string(i));
  advance(11);
  for (int i = 0; i < 20; ++i) log(logger, "ten o'clock " + std::to_string(i));
  // Oldest first, every record once and in order; the hour changes only
  // between files, and no file passes the limit.
  std::vector<std::string> records;
  std::vector<std::vector<std::string>> files;
  for (int index = 50; index >= 0; --index) {
    const std::string name = index == 0 ? path_ : rotated(index);
    if (!exists(name)) continue;
    struct stat status;
    ASSERT_EQ(::stat(name.c_str(), &status), 0);
    EXPECT_LE(status.st_size, 400) << name;
    files.push_back(read_lines(name));
  }
  ASSERT_GE(files.size(), 4u) << "rotations by size in each hour";
  int hour_changes = 0;
  for (const auto& lines : files) {
    bool ten = false;
    for (const std::string& text : lines) {
      if (text == "<log>" || text == "</log>") continue;
      records.push_back(text);
      const bool is_ten = text.find("ten o'clock") != std::string::npos;
      EXPECT_TRUE(!ten || is_ten) << "nine o'clock after ten in one file";
      ten = is_ten;
    }
    if (!lines.empty() && lines[1].find("ten o'clock 0") != std::string::npos) ++hour_changes;
  }
  EXPECT_EQ(hour_changes, 1) << "ten o'clock's first record begins a file";
  ASSERT_EQ(records.size(), 40u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(records[i], line("nine o'clock " + std::to_string(i)));
    EXPECT_EQ(records[20 + i], line("ten o'clock " + std::to_string(i)));
  }
}

TEST_F(TimeRotationTest, FileLastWrittenOnAnEarlierDayRotatesBeforeTheFirstRecord) {
  set_wall_clock(local_time(2026, 7, 14, 8));
  write_file(path_, "<log>\n" + line("the 13th") + "\n");
  const struct timespec yesterday[2] = {{local_time(2026, 7, 13, 22), 0},
                                        {local_time(2026, 7, 13, 22), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), yesterday, 0), 0);
  ASSERT_EQ(open_with(config("handler.f.rotate = daily\nhandler.f.count = 2\n")), 1);
  log(Ref("logger.f"), "the 14th");
  EXPECT_THAT(read_lines(rotated(1)), ElementsAre("<log>", line("the 13th"), "</log>"));
  EXPECT_THAT(read_lines(path_), ElementsAre("<log>", line("the 14th")));

  // Written today: appended to, not rotated, by a process started later.
  GwCloseToolkit();
  ASSERT_EQ(open_with(config("handler.f.rotate = daily\nhandler.f.count = 2\n")), 1);
  log(Ref("logger.f"), "the 14th, again");
  EXPECT_THAT(read_lines(path_), ElementsAre("<log>", line("the 14th"), line("the 14th, again")));
}

TEST_F(TimeRotationTest, MaxAgeRemovesRotatedFilesPastItAndEveryOlderOne) {
  set_wall_clock(local_time(2026, 5, 10, 12));
  const std::int64_t day = 24 * 3600;
  // Ages of .1 ... .4 in days: .4 was touched since, but is older by its place.
  const int ages[] = {1, 2, 5, 0};
  for (int index = 1; index <= 4; ++index) {
    write_file(rotated(index), "kept " + std::to_string(index) + "\n");
    const time_t when = static_cast<time_t>(wall_clock() - ages[index - 1] * day);
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, rotated(index).c_str(), times, 0), 0);
  }
  ASSERT_EQ(open_with(config("handler.f.limit = 200\nhandler.f.count = 10\n"
                             "handler.f.maxAge = 3\n")),
            1);
  Ref logger("logger.f");
  for (int i = 0; i < 8; ++i) log(logger, "record " + std::to_string(i));  // one rotation
  EXPECT_EQ(read_file(rotated(2)), "kept 1\n");
  EXPECT_EQ(read_file(rotated(3)), "kept 2\n");
  EXPECT_FALSE(exists(rotated(4))) << "5 days old";
  EXPECT_FALSE(exists(rotated(5))) << "older than one past maxAge";
}

// Writes a numbered batch of records each time the test moves the phase on.
void write_phases(GwHandle logger, ClockShift* shift, int process, int phases, int records) {
  for (int phase = 0; phase < phases; ++phase) {
    for (int spin = 0; shift->phase.load() < phase; ++spin) {
      if (spin == 20000) _exit(3);  // the test gave up
      ::usleep(1000);
    }
    for (int i = 0; i < records; ++i) {
      const std::string text = "phase " + std::to_string(phase) + " p" + std::to_string(process) +
                               " n" + std::to_string(i);
      GwLogInfo(logger, "c", 1, 1, text.c_str(), nullptr);
    }
    shift->ready.fetch_add(1);
  }
}

TEST_F(TimeRotationTest, SeveralProcessesRotateOnceAtEachBoundaryAndFollow) {
  constexpr int kProcesses = 4;
  constexpr int kPhases = 3;
  constexpr int kRecords = 300;
  set_wall_clock(local_time(2026, 12, 31, 23, 59, 58));
  // A rotation slow enough that the other processes meet the boundary
  // while it is under way.
  shift_->rename_pause_ms.store(20);
  const key_t key = unused_key(dir_.file("key"), 'T');
  write_file(config_path(), config("handler.f.rotate = hourly\nhandler.f.count = 10\n"
                                   "handler.f.MPFileSemKey = " +
                                   std::to_string(key) + "\n"));
  std::vector<pid_t> children;
  for (int process = 0; process < kProcesses; ++process) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (GwOpenToolkit(config_path().c_str()) != 1) _exit(1);
      {
        Ref logger("logger.f");
        write_phases(logger, shift_, process, kPhases, kRecords);
      }
      GwCloseToolkit();
      _exit(0);
    }
    children.push_back(pid);
  }
  // Across midnight and the new year, then across one o'clock; between the
  // phases every process has written its records.
  const std::int64_t moves[] = {3, 3600};
  for (int phase = 1; phase < kPhases; ++phase) {
    for (int spin = 0; shift_->ready.load() < phase * kProcesses && spin < 20000; ++spin)
      ::usleep(1000);
    ASSERT_EQ(shift_->ready.load(), phase * kProcesses);
    advance(moves[phase - 1]);
    shift_->phase.store(phase);
  }
  for (pid_t pid : children) {
    EXPECT_EQ(exit_status(pid), 0);
  }
  // One file per hour, oldest with the highest number, each with every
  // record of its phase from every process, whole and in order.
  EXPECT_FALSE(exists(rotated(kPhases))) << "a boundary rotated more than once";
  for (int phase = 0; phase < kPhases; ++phase) {
    const std::string name = phase == kPhases - 1 ? path_ : rotated(kPhases - 1 - phase);
    const std::vector<std::string> lines = read_lines(name);
    ASSERT_GE(lines.size(), 1u) << name;
    EXPECT_EQ(lines.front(), "<log>") << name;
    const std::size_t trailer = phase == kPhases - 1 ? 0 : 1;
    if (trailer == 1) {
      EXPECT_EQ(lines.back(), "</log>") << name;
    }
    ASSERT_EQ(lines.size(), 1 + trailer + kProcesses * kRecords) << name;
    std::vector<int> next(kProcesses, 0);
    for (std::size_t at = 1; at + trailer < lines.size(); ++at) {
      const std::string prefix = line("phase " + std::to_string(phase) + " p");
      ASSERT_EQ(lines[at].compare(0, prefix.size(), prefix), 0) << name << ": " << lines[at];
      const int process = lines[at][prefix.size()] - '0';
      ASSERT_TRUE(process >= 0 && process < kProcesses);
      EXPECT_EQ(lines[at].substr(prefix.size() + 1), " n" + std::to_string(next[process]++));
    }
  }
}

}  // namespace
}  // namespace gw_test

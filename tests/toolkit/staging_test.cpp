// Staged file handlers through real processes: how each way of ending a
// process leaves its staging area, a flusher killed in its write, a forked
// child, and eklog-recover.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "child_process.h"
#include "toolkit/os.h"
#include "toolkit/staging_area.h"
#include "toolkit_fixture.h"

namespace gw_test {
namespace {

constexpr int kRecords = 200;

// Kills its process in the first write of more than one record: before
// it, after half of it, or after it.
class KillingOs : public gw::Os {
 public:
  enum Moment { kBefore, kHalfway, kAfter };
  explicit KillingOs(Moment moment) : moment_(moment) {}
  ssize_t write(int fd, const void* data, std::size_t size) override {
    if (fd == STDERR_FILENO || size < 200) return Os::write(fd, data, size);
    if (moment_ != kBefore) (void)Os::write(fd, data, moment_ == kHalfway ? size / 2 : size);
    ::raise(SIGKILL);
    return -1;
  }

 private:
  const Moment moment_;
};

class StagingTest : public ToolkitFixture {
 protected:
  std::string log_file() const { return file("staged.log"); }
  std::string config() const {
    return "logger.s.handlers = handler.s\n"
           "handler.s.level = ALL\n"
           "handler.s.staging = 65536\n"
           "handler.s.fileName = " +
           log_file() + "\n";
  }
  // Runs body in a child with the toolkit open, which then exits (without
  // closing); its exit status.
  template <typename Body>
  int in_child(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(20);  // a child that hangs ends, and fails the test
      write_file(config_path(), config());
      if (GwOpenToolkit(config_path().c_str()) != 1) ::_exit(90);
      body();
      std::exit(0);
    }
    return exit_status(pid);
  }
  static void log(const char* tag, int count) {
    Ref logger("logger.s");
    for (int n = 0; n < count; ++n) {
      GwLogInfo(logger, "c", 1, 1, (std::string(tag) + " " + std::to_string(n)).c_str(), nullptr);
    }
  }
  // How often each line is in the log file.
  std::map<std::string, int> lines() const {
    std::map<std::string, int> seen;
    for (const std::string& line : read_lines(log_file())) ++seen[line];
    return seen;
  }
  static std::string line_of(const char* tag, int n) {
    return "4000|logger.s|||c,1,1|" + std::string(tag) + " " + std::to_string(n);
  }
  // Every record of tag once, and nothing else of it.
  void expect_each_once(const char* tag, int count) const {
    const std::map<std::string, int> seen = lines();
    for (int n = 0; n < count; ++n) {
      const auto found = seen.find(line_of(tag, n));
      EXPECT_EQ(found == seen.end() ? 0 : found->second, 1) << line_of(tag, n);
    }
  }
  std::size_t areas() const { return gw::StagingArea::list(-1, log_file()).size(); }
};

TEST_F(StagingTest, OrderlyEndsLeaveNothingStagedAndAbruptOnesLeaveItForTheNext) {
  EXPECT_EQ(in_child([] { log("exit", kRecords); }), 0);
  EXPECT_EQ(in_child([] {
              log("close", kRecords);
              GwCloseToolkit();
            }),
            0);
  EXPECT_EQ(areas(), 0u);
  EXPECT_EQ(in_child([] {
              log("_exit", kRecords);
              ::_exit(0);
            }),
            0);
  EXPECT_EQ(areas(), 1u) << "_exit leaves the area for the next process";
  EXPECT_EQ(in_child([] { log("next", 1); }), 0);
  EXPECT_EQ(areas(), 0u);
  expect_each_once("exit", kRecords);
  expect_each_once("close", kRecords);
  expect_each_once("_exit", kRecords);
  EXPECT_EQ(read_lines(log_file()).size(), 3u * kRecords + 1);
}

TEST_F(StagingTest, FlusherKilledInItsWriteWritesNothingTwiceAndLosesNothing) {
  for (KillingOs::Moment moment : {KillingOs::kBefore, KillingOs::kHalfway, KillingOs::kAfter}) {
    SCOPED_TRACE(moment);
    ::unlink(log_file().c_str());
    const int status = in_child([moment] {
      static KillingOs killing(moment);
      log("first", 1);  // opens the area and the file
      gw::set_os(&killing);
      log("killed", kRecords);
      ::pause();
    });
    EXPECT_EQ(status, -SIGKILL);
    EXPECT_EQ(in_child([] { log("next", 1); }), 0);
    expect_each_once("killed", kRecords);
    // Half a write leaves its last record cut short, on a line of its own.
    const std::size_t cut = moment == KillingOs::kHalfway ? 1 : 0;
    EXPECT_EQ(read_lines(log_file()).size(), kRecords + 2 + cut);
    EXPECT_EQ(areas(), 0u);
  }
}

TEST_F(StagingTest, ForkedChildStagesInAnAreaOfItsOwn) {
  EXPECT_EQ(in_child([] {
              log("parent", kRecords);
              const pid_t child = ::fork();
              if (child == 0) {
                log("child", kRecords);
                std::exit(0);
              }
              log("parent-after", kRecords);
              ::waitpid(child, nullptr, 0);
            }),
            0);
  expect_each_once("parent", kRecords);
  expect_each_once("child", kRecords);
  expect_each_once("parent-after", kRecords);
  EXPECT_EQ(areas(), 0u);
}

TEST_F(StagingTest, RecoverWritesWhatAnEndedProcessLeft) {
  EXPECT_EQ(in_child([] {
              log("left", kRecords);
              ::_exit(0);
            }),
            0);
  ASSERT_EQ(areas(), 1u);
  const std::string command = std::string(EKLOGGER_RECOVER) + " " + log_file() + " >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(areas(), 0u);
  expect_each_once("left", kRecords);
}

}  // namespace
}  // namespace gw_test

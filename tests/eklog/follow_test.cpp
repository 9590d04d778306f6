// eklog -f while real writers write and rotate: every record once, across
// the library's rename rotation and logrotate's copytruncate; and what a
// person sees in a terminal (tmux, capture-pane): the newest records, and
// colour only there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "eklog_test_support.h"
#include "reliability_support.h"

namespace {

using eklog_test::eklog;
using eklog_test::lines_of;
using eklog_test::quoted;
using eklog_test::Result;
using eklog_test::shell;

// eklog -f in the background, its output to a file (not a terminal).
class Follower {
 public:
  Follower(const std::string& arguments, const std::string& output) : output_(output) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sh", "sh", "-c",
              ("exec " + eklog_test::eklog_program() + " " + arguments + " >" + quoted(output) +
               " 2>" + quoted(output + ".err"))
                  .c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  // Stops it once its output has not grown for a while.
  std::string stop() {
    long size = -1;
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::ifstream in(output_, std::ios::ate);
      const long now = static_cast<long>(in.tellg());
      if (now == size && i >= 10) break;  // past the 2 s a renamed file is read
      size = now;
    }
    ::kill(pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
    std::ifstream in(output_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string output_;
  pid_t pid_;
};

reliability::Parsed parsed_json(const std::string& output) {
  reliability::Parsed parsed;
  for (const std::string& line : lines_of(output)) {
    const nlohmann::json record = nlohmann::json::parse(line);
    int pid, thread;
    long seq;
    if (!record.contains("text") || std::sscanf(record.at("text").get<std::string>().c_str(),
                                                "p%d t%d n%ld", &pid, &thread, &seq) != 3) {
      ++parsed.bad_lines;
      continue;
    }
    parsed.found[{pid, thread}].push_back(seq);
    ++parsed.records;
  }
  return parsed;
}

TEST(EklogFollowTest, FollowsRenameRotationWithEveryRecordOnce) {
  reliability::WriterSet setup(24 << 10, 1000);
  // Started before the file exists, as tail -F is.
  Follower follower("-f -o json " + quoted(setup.log_file()), setup.dir() + "/followed");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<reliability::WriterSet::Writer> writers;
  for (int p = 0; p < 2; ++p) writers.push_back(setup.start(2, reliability::scaled(3000), 300));
  std::map<std::pair<int, int>, long> last;
  long long longest_us = 0;
  for (auto& writer : writers) {
    EXPECT_EQ(setup.wait(writer), 0);
    setup.progress_of(writer, last, longest_us);
  }
  const reliability::Parsed parsed = parsed_json(follower.stop());
  EXPECT_GT(reliability::rotated_set(setup.log_file(), 1001).size(), 5u) << "no rotation";
  EXPECT_EQ(parsed.bad_lines, 0);
  const reliability::Check check = reliability::check_records(parsed, last);
  EXPECT_EQ(check.lost, 0);
  EXPECT_EQ(check.duplicated, 0);
  EXPECT_EQ(check.out_of_order, 0);
  EXPECT_EQ(check.unexpected, 0);
}

TEST(EklogFollowTest, FollowsCopytruncateFromTheFilesNewStart) {
  reliability::WriterSet setup(0, 0);
  const std::string conf = setup.dir() + "/logrotate.conf";
  std::ofstream(conf) << setup.log_file() << " {\n  rotate 100\n  copytruncate\n  missingok\n}\n";
  std::vector<reliability::WriterSet::Writer> writers;
  for (int p = 0; p < 2; ++p) writers.push_back(setup.start(2, 8000, 300));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Follower follower("-f -n 0 -o json " + quoted(setup.log_file()), setup.dir() + "/followed");
  for (int r = 0; r < 3; ++r) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_EQ(shell("/usr/sbin/logrotate -f -s " + setup.dir() + "/state " + conf).status, 0);
  }
  for (auto& writer : writers) EXPECT_EQ(setup.wait(writer), 0);
  const reliability::Parsed followed = parsed_json(follower.stop());
  const reliability::Parsed live = reliability::parse_files({setup.log_file()});
  // Records written between a copy and its truncate are lost to every
  // reader; those after the last truncate must all be there, once.
  std::set<std::tuple<int, int, long>> seen;
  long duplicated = 0;
  for (const auto& entry : followed.found)
    for (long seq : entry.second)
      if (!seen.emplace(entry.first.first, entry.first.second, seq).second) ++duplicated;
  EXPECT_EQ(duplicated, 0);
  long missing = 0;
  for (const auto& entry : live.found)
    for (long seq : entry.second)
      if (seen.count({entry.first.first, entry.first.second, seq}) == 0) ++missing;
  EXPECT_EQ(missing, 0);
  EXPECT_GT(live.records, 100);
  for (const auto& entry : followed.found)
    EXPECT_TRUE(std::is_sorted(entry.second.begin(), entry.second.end()));
}

class Terminal {
 public:
  // A server of its own each: one that is still going away after
  // kill-server must not be met by the next terminal's new-session.
  Terminal()
      : socket_("eklog-test-" + std::to_string(::getpid()) + "-" + std::to_string(next_++)) {}
  ~Terminal() { shell("tmux -L " + socket_ + " kill-server"); }
  bool start(const std::string& command) {
    return shell("tmux -L " + socket_ + " -f /dev/null new-session -d -x 180 -y 40 " +
                 quoted(command))
               .status == 0;
  }
  std::string screen(bool with_escapes) {
    return shell("tmux -L " + socket_ + " capture-pane -p " + (with_escapes ? "-e" : "")).out;
  }
  // Waits until the screen holds text.
  bool shows(const std::string& text, int seconds = 15) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (screen(false).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  static inline int next_ = 0;
  std::string socket_;
};

bool have_tmux() { return shell("command -v tmux").status == 0; }

TEST(EklogFollowTest, TerminalShowsTheNewestRecordsAcrossRotation) {
  if (!have_tmux()) GTEST_SKIP() << "no tmux (tools/install-deps installs it)";
  reliability::WriterSet setup(16 << 10, 1000);
  reliability::WriterSet::Writer first = setup.start(1, 20);
  ASSERT_EQ(setup.wait(first), 0);
  Terminal terminal;
  ASSERT_TRUE(terminal.start(eklog_test::eklog_program() + " -f " + setup.log_file()));
  EXPECT_TRUE(terminal.shows("t0 n19 ")) << terminal.screen(false);
  const long records = 2000;
  reliability::WriterSet::Writer writer = setup.start(1, records, 500);
  ASSERT_EQ(setup.wait(writer), 0);
  EXPECT_GT(reliability::rotated_set(setup.log_file(), 1001).size(), 3u) << "no rotation";
  const std::string last =
      "p" + std::to_string(writer.pid) + " t0 n" + std::to_string(records - 1) + " ";
  EXPECT_TRUE(terminal.shows(last)) << terminal.screen(false);
  // The newest records fill the screen in order, the last one at the bottom.
  const std::vector<std::string> rows = lines_of(terminal.screen(false));
  std::vector<std::string> shown;
  for (const std::string& row : rows)
    if (row.find(" INFO ") != std::string::npos) shown.push_back(row);
  ASSERT_GE(shown.size(), 30u);
  EXPECT_NE(shown.back().find(last), std::string::npos) << shown.back();
  EXPECT_NE(shown[shown.size() - 2].find("n" + std::to_string(records - 2) + " "),
            std::string::npos);
}

TEST(EklogFollowTest, ColourOnlyOnATerminalAndNotWhenTurnedOff) {
  if (!have_tmux()) GTEST_SKIP() << "no tmux (tools/install-deps installs it)";
  eklog_test::Scratch scratch;
  eklog_test::write_mixed_properties(scratch, 0, 0);
  ASSERT_EQ(exit_status(eklog_test::start_mixed_writer(scratch, 30)), 0);
  const std::string file = scratch.path("logs/all.log");
  const std::string show = eklog_test::eklog_program() + " -p WARNING -n 8 ";
  {
    Terminal terminal;
    ASSERT_TRUE(terminal.start(show + file + "; sleep 60"));
    ASSERT_TRUE(terminal.shows("SEVERE")) << terminal.screen(false);
    const std::string screen = terminal.screen(true);
    EXPECT_NE(screen.find("\033["), std::string::npos) << "no colour on a terminal";
    // Severe red, warnings yellow (tmux may re-encode the attributes).
    EXPECT_TRUE(screen.find("31m") != std::string::npos || screen.find(";31") != std::string::npos)
        << screen;
    EXPECT_TRUE(screen.find("33m") != std::string::npos || screen.find(";33") != std::string::npos)
        << screen;
  }
  for (const std::string& off : {"NO_COLOR=1 " + show + file, show + "--no-color " + file}) {
    Terminal terminal;
    ASSERT_TRUE(terminal.start(off + "; sleep 60"));
    ASSERT_TRUE(terminal.shows("SEVERE")) << off;
    EXPECT_EQ(terminal.screen(true).find("\033[3"), std::string::npos) << off;
  }
  const Result piped = eklog("-p WARNING " + quoted(file));
  EXPECT_NE(piped.out.find("SEVERE"), std::string::npos);
  EXPECT_EQ(piped.out.find('\033'), std::string::npos);
}

}  // namespace

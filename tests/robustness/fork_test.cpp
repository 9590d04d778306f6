// A server that forks while its threads log: helpers, daemonising and
// pre-fork workers.  Each child must log at once, through the library's
// decorated trace records and catalogued messages, whatever the parent's
// threads held at the moment of the fork (the decoration lock, the
// toolkit's locks, the catalogs').
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"
#include "test_files.h"

namespace {

int lines_with(const std::string& path, const std::string& word) {
  std::ifstream in(path);
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(word) != std::string::npos;
  return count;
}

TEST(ForkTest, ChildrenLogAtOnceWhileTheParentsThreadsTrace) {
  const TempDir scratch("eklogger-fork");
  const std::string dir = scratch.path();
  const std::string bin = dir + "/bin";
  ASSERT_EQ(std::system(("mkdir -p " + bin + " && cp " EKLOGGER_DEFAULT_CONFIG " " + bin +
                         "/eklogger.properties && echo 'logger.dc.trace.level = FINEST' >> " + bin +
                         "/eklogger.properties")
                            .c_str()),
            0);
  Log::LogManager* manager = Log::EkLogManager::initialize("forker", bin, 9000, dir + "/logs");
  Log::LoggerGroup* group = manager->get_logger("main");
  ASSERT_NE(group, nullptr);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        group->finer("parent trace", __FILE__, __func__, __LINE__);
        group->info("parent message", 1);
      }
    });
  }
  int hung = 0;
  for (int child = 0; child < 30; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < 5; ++i) group->finer("child trace", __FILE__, __func__, __LINE__);
      group->info("child message", 1);
      _exit(0);
    }
    if (!ended_within(pid, 5)) ++hung;
  }
  stop.store(true);
  for (std::thread& thread : threads) thread.join();
  delete manager;
  EXPECT_EQ(hung, 0) << "children that did not end within 5 s";
  EXPECT_EQ(lines_with(dir + "/logs/trace.log", "child trace"), 150);
  EXPECT_EQ(lines_with(dir + "/logs/msg.log", "child message"), 30);
}

}  // namespace

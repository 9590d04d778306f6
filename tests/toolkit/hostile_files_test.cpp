// The file handler against what a long-running server and other local
// users do to its files: thousands of rotations, names planted at the
// rotation targets, another user's file or link in the path, a name taken
// in the middle of a rotation, too few descriptors, fork while threads log.
// As root, with "nobody" as the other user.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "child_process.h"
#include "ipc_key.h"
#include "toolkit_fixture.h"
#include "unprivileged.h"

namespace gw_test {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;

int open_descriptors() {
  int count = 0;
  DIR* fds = ::opendir("/proc/self/fd");
  while (fds != nullptr && ::readdir(fds) != nullptr) ++count;
  if (fds != nullptr) ::closedir(fds);
  return count;
}

// One above the highest descriptor open: as RLIMIT_NOFILE, no new one.
rlim_t descriptors_in_use() {
  int highest = 0;
  DIR* fds = ::opendir("/proc/self/fd");
  while (const dirent* entry = fds == nullptr ? nullptr : ::readdir(fds)) {
    highest = std::max(highest, std::atoi(entry->d_name));
  }
  if (fds != nullptr) ::closedir(fds);
  return static_cast<rlim_t>(highest + 1);
}

int lines_with(const std::string& text, const std::string& word) {
  int count = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
    ++count;
  return count;
}

class HostileFilesTest : public ToolkitFixture {
 protected:
  void SetUp() override {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 01777), 0);  // a shared, sticky directory
    path_ = file("msg.log");
  }

  void open_rotating(long limit, int count) {
    ASSERT_EQ(open_with("logger.f.handlers = handler.f\nhandler.f.fileName = " + path_ +
                        "\nhandler.f.limit = " + std::to_string(limit) +
                        "\nhandler.f.count = " + std::to_string(count) + "\n"),
              1);
  }

  // Logs records first .. first+n-1 ("record N"); the longest call in ms.
  long long log(GwHandle logger, int first, int n) {
    long long longest = 0;
    int dropped = 0;
    for (int i = first; i < first + n; ++i) {
      const auto start = std::chrono::steady_clock::now();
      dropped +=
          GwLogInfo(logger, "c", 1, 1, ("record " + std::to_string(i)).c_str(), nullptr) != 1;
      const auto took = std::chrono::steady_clock::now() - start;
      longest = std::max<long long>(
          longest, std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
    }
    EXPECT_EQ(dropped, 0) << "records dropped of " << n;
    return longest;
  }

  // Records found in the live file and its rotated ones up to .max.
  int records_in_set(int max) const {
    int found = lines_with(read_file(path_), "|record ");
    for (int index = 1; index <= max; ++index) {
      found += lines_with(read_file(path_ + "." + std::to_string(index)), "|record ");
    }
    return found;
  }

  std::string path_;
};

TEST_F(HostileFilesTest, DescriptorsStayFlatThroughRotationsFromInsideAndOutside) {
  open_rotating(1024, 3);
  Ref logger("logger.f");
  log(logger, 0, 1);
  const int before = open_descriptors();
  log(logger, 1, 300000);  // about 10,000 rotations
  EXPECT_LE(open_descriptors(), before + 1);
  EXPECT_GT(records_in_set(3), 0);
  // Moved away from outside: the handler follows within a second.
  for (int move = 0; move < 2; ++move) {
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".moved").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    log(logger, 0, 2);
    EXPECT_TRUE(exists(path_));
  }
  EXPECT_LE(open_descriptors(), before + 1);
}

TEST_F(HostileFilesTest, RotationThatCannotProceedWritesOnReportsOnceAndKeepsTheSet) {
  // A directory planted where the oldest rotated file goes, then too few
  // descriptors for the next file: each time nothing of the set changes,
  // no record waits or is lost, and one line tells why.
  open_rotating(2048, 1);
  ASSERT_EQ(::mkdir((path_ + ".1").c_str(), 0755), 0);
  Ref logger("logger.f");
  ::testing::internal::CaptureStderr();
  EXPECT_LT(log(logger, 0, 2000), 500);
  const std::string planted = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_with(planted, "cannot rotate " + path_), 1) << planted;
  EXPECT_THAT(planted, HasSubstr("Is a directory"));
  EXPECT_EQ(lines_with(read_file(path_), "|record "), 2000);
  ASSERT_EQ(::rmdir((path_ + ".1").c_str()), 0);

  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  log(logger, 2000, 1);  // rotates now
  ASSERT_TRUE(exists(path_ + ".1"));
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::string rotated = read_file(path_ + ".1");
  ::testing::internal::CaptureStderr();  // opens its file first
  struct rlimit few = saved;
  few.rlim_cur = descriptors_in_use() + 8;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  std::vector<int> fillers;  // every descriptor left, taken
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  const long long longest = log(logger, 2001, 2000);
  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::string emfile = ::testing::internal::GetCapturedStderr();
  EXPECT_LT(longest, 500);
  EXPECT_EQ(lines_with(emfile, "cannot rotate"), 1) << emfile;
  EXPECT_THAT(emfile, HasSubstr("Too many open files"));
  EXPECT_TRUE(read_file(path_ + ".1") == rotated) << "the rotated file was replaced";
  EXPECT_EQ(records_in_set(1), 4001);
}

TEST_F(HostileFilesTest, AnotherUsersFileOrLinkInThePathIsNeverWritten) {
  ASSERT_EQ(open_with("logger.f.handlers = handler.f\nhandler.f.fileName = " + path_ + "\n"), 1);
  Ref logger("logger.f");
  Ref handler("handler.f");
  const std::string elsewhere = file("theirs");
  {
    Unprivileged nobody;
    ASSERT_TRUE(nobody.ok());
    const int fd = ::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), file("sub").c_str()), 0);
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GwLogInfo(logger, "c", 1, 1, "secret", nullptr), 0);
  GwSetObjProp(handler, "fileName", file("sub/x.log").c_str());
  EXPECT_EQ(GwLogInfo(logger, "c", 1, 1, "secret", nullptr), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(errors, HasSubstr("cannot open " + path_ + ": it belongs to user 65534"));
  EXPECT_THAT(errors, HasSubstr("the symbolic link " + file("sub")));
  EXPECT_EQ(read_file(path_), "");
  EXPECT_FALSE(exists(elsewhere + "/x.log"));
  // A link of root's own is followed.
  ASSERT_EQ(::symlink(file("mine").c_str(), file("own").c_str()), 0);
  ASSERT_EQ(::mkdir(file("mine").c_str(), 0750), 0);
  GwSetObjProp(handler, "fileName", file("own/x.log").c_str());
  EXPECT_EQ(GwLogInfo(logger, "c", 1, 1, "kept", nullptr), 1);
  EXPECT_TRUE(exists(file("mine/x.log")));
}

TEST_F(HostileFilesTest, NameTakenWhileRotatingIsNotWritten) {
  // Another user tries, as fast as it can, to create the log file in the
  // moment between a rotation's renames; whatever it wins stays empty.
  open_rotating(512, 1000);
  Ref logger("logger.f");
  log(logger, 0, 1);
  const pid_t attacker = ::fork();
  ASSERT_GE(attacker, 0);
  if (attacker == 0) {
    if (!become_nobody()) _exit(2);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
      const int fd = ::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
      if (fd >= 0) _exit(1);  // won: keeps the name
    }
    _exit(0);
  }
  ::testing::internal::CaptureStderr();
  int written = 1;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
       std::chrono::steady_clock::now() < end; written += 100) {
    log(logger, written, 100);
  }
  const std::string errors = ::testing::internal::GetCapturedStderr();
  int status = 0;
  ASSERT_EQ(::waitpid(attacker, &status, 0), attacker);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2);
  std::printf("the other user won the name %s\n", WEXITSTATUS(status) == 1 ? "once" : "never");
  // What the other user made, wherever rotation may have moved it, holds
  // nothing of ours.
  for (int index = 0; index <= 1000; ++index) {
    const std::string name = index == 0 ? path_ : path_ + "." + std::to_string(index);
    struct stat status;
    if (::stat(name.c_str(), &status) != 0) break;
    if (status.st_uid == Unprivileged::kNobody) {
      EXPECT_EQ(status.st_size, 0) << name;
      // Seen either when the name is taken before the shift, or at the
      // final rename.
      EXPECT_THAT(errors, AnyOf(HasSubstr("belongs to user 65534"),
                                HasSubstr("another file took its name")));
    }
  }
  EXPECT_EQ(records_in_set(1000), written);
}

TEST_F(HostileFilesTest, ConcurrentWritersNeverTakeAFilePastItsLimit) {
  open_rotating(8192, 1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([this, t] {
      Ref logger("logger.f");
      log(logger, t * 20000, 20000);
    });
  }
  for (std::thread& thread : threads) thread.join();
  int files = 0;
  for (int index = 1; exists(path_ + "." + std::to_string(index)); ++index, ++files) {
    EXPECT_LE(read_file(path_ + "." + std::to_string(index)).size(), 8192u) << index;
  }
  EXPECT_GT(files, 50);
  EXPECT_EQ(records_in_set(files), 40000);
}

TEST_F(HostileFilesTest, ForkedChildrenLogAtOnceWhileTheParentsThreadsLog) {
  open_rotating(1 << 20, 1000);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      Ref logger("logger.f");
      while (!stop.load()) GwLogInfo(logger, "c", 1, 1, "parent", nullptr);
    });
  }
  int hung = 0;
  for (int child = 0; child < 40; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Ref logger("logger.f");
      for (int i = 0; i < 10; ++i) GwLogInfo(logger, "c", 1, 1, "child", nullptr);
      GwSetObjProp(Ref("handler.f"), "limit", "8192");  // the configuration's lock too
      _exit(0);
    }
    if (!ended_within(pid, 5)) ++hung;
  }
  stop.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(hung, 0);
  int children = 0;
  for (int index = 0; index <= 1000; ++index) {
    const std::string name = index == 0 ? path_ : path_ + "." + std::to_string(index);
    if (index > 0 && !exists(name)) break;
    children += lines_with(read_file(name), "|child");
  }
  EXPECT_EQ(children, 400);
}

TEST_F(HostileFilesTest, StoppedLockHolderDelaysARecordAtMostOnceASecond) {
  open_rotating(1024, 3);
  Ref logger("logger.f");
  Ref handler("handler.f");
  const key_t key = unused_key(dir_.file("key"), 'a');
  GwSetObjPropInt(handler, "MPFileSemKey", static_cast<int>(key));
  log(logger, 0, 1);  // the set exists now
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    struct sembuf take = {0, -1, SEM_UNDO};
    const int id = ::semget(key, 2, 0600);
    if (id < 0 || ::semop(id, &take, 1) != 0) _exit(1);
    ::raise(SIGSTOP);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, WUNTRACED), holder);
  ASSERT_TRUE(WIFSTOPPED(status));
  ::testing::internal::CaptureStderr();
  int slow = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i < 3000; ++i) slow += log(logger, i, 1) >= 50;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  ::kill(holder, SIGKILL);
  ::waitpid(holder, &status, 0);
  ::testing::internal::GetCapturedStderr();
  EXPECT_LE(slow, seconds + 2) << "records that waited on the stopped holder";
  EXPECT_EQ(records_in_set(3), 3000) << "every record written, past the limit";
}

TEST_F(HostileFilesTest, DirectoryThatAnyoneCanWriteWithoutStickyBitIsReportedOnce) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(open_with("logger.f.handlers = handler.f\nhandler.f.fileName = " + path_ + "\n"), 1);
  Ref logger("logger.f");
  ::testing::internal::CaptureStderr();
  log(logger, 0, 3);
  EXPECT_EQ(lines_with(::testing::internal::GetCapturedStderr(), "writable by every user"), 1);
}

}  // namespace
}  // namespace gw_test

// The lock and shared state of the processes that write one file: removed
// by the last user, released by a holder that is killed, a half-made
// semaphore set replaced, colliding keys kept apart, a lock file without a
// key.
#include "process_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "file_handler.h"
#include "test_support.h"

namespace gw_test {
namespace {

using gw::FileSink;
using gw::FileSinkOptions;
using gw::ProcessLock;

key_t key_in(const TempDir& dir) {
  std::ofstream(dir.file("program")) << "x";
  return ::ftok(dir.file("program").c_str(), 0x61);
}

bool semaphore_exists(key_t key) { return ::semget(key, 0, 0) >= 0; }

double seconds_since(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

TEST(ProcessLockTest, LastUserRemovesTheSemaphoreAndTheSegment) {
  TempDir dir;
  const key_t key = key_in(dir);
  ASSERT_NE(key, -1);
  const std::string path = dir.file("a.log");
  {
    FileSinkOptions options;
    options.path = path;
    options.key = key;
    options.limit = 1 << 20;
    auto first = std::make_unique<FileSink>(options);
    auto second = std::make_unique<FileSink>(options);
    EXPECT_TRUE(first->write("one\n", nullptr));
    EXPECT_TRUE(second->write("two\n", nullptr));
    EXPECT_EQ(first->lock_kind(), "sem");
    struct semid_ds status;
    const int id = ::semget(key, 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(::semctl(id, 0, IPC_STAT, &status), 0);
    EXPECT_EQ(status.sem_perm.mode & 0777, 0600u);
    const std::string segment = "/dev/shm" + gw::SharedSegment::name_for(key, path);
    struct stat shm;
    ASSERT_EQ(::stat(segment.c_str(), &shm), 0);
    EXPECT_EQ(shm.st_mode & 0777, 0600u);
    first.reset();
    EXPECT_TRUE(semaphore_exists(key)) << "removed while a user remains";
    second.reset();
    EXPECT_FALSE(semaphore_exists(key));
    EXPECT_NE(::stat(segment.c_str(), &shm), 0);
  }
  EXPECT_EQ(read_file(path), "one\ntwo\n");
}

TEST(ProcessLockTest, HolderKilledWithSigkillReleasesTheLock) {
  TempDir dir;
  const key_t key = key_in(dir);
  std::string problem;
  auto lock = ProcessLock::open(key, dir.file("a.log"), problem);
  ASSERT_NE(lock, nullptr);
  EXPECT_STREQ(lock->kind(), "sem");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    std::string child_problem;
    auto child_lock = ProcessLock::open(key, dir.file("a.log"), child_problem);
    if (child_lock == nullptr || !child_lock->lock()) ::_exit(1);
    (void)::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  EXPECT_TRUE(lock->lock());
  EXPECT_LT(seconds_since(start), 0.5);
  if (lock->detach_locked()) lock->finish();
  EXPECT_FALSE(semaphore_exists(key));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(ProcessLockTest, SetWhoseCreatorDiedBeforeSettingItUpIsReplaced) {
  TempDir dir;
  const key_t key = key_in(dir);
  // Created, never set up: sem_otime stays 0, the lock value 0.
  ASSERT_GE(::semget(key, 2, IPC_CREAT | IPC_EXCL | 0600), 0);
  std::string problem;
  auto lock = ProcessLock::open(key, dir.file("a.log"), problem);
  ASSERT_NE(lock, nullptr);
  EXPECT_STREQ(lock->kind(), "sem");
  EXPECT_TRUE(lock->lock());
  if (lock->detach_locked()) lock->finish();
  EXPECT_FALSE(semaphore_exists(key));
}

TEST(ProcessLockTest, WithoutAKeyALockFileBesideTheLogServes) {
  TempDir dir;
  FileSinkOptions options;
  options.path = dir.file("a.log");
  {
    FileSink sink(options);
    EXPECT_TRUE(sink.write("one\n", nullptr));
    EXPECT_EQ(sink.lock_kind(), "file");
    struct stat status;
    ASSERT_EQ(::stat((options.path + ".lock").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
  }
  EXPECT_TRUE(exists(options.path + ".lock"));
}

// Two programs whose keys collide share the lock, not the state of a file.
TEST(ProcessLockTest, CollidingKeysRotateTheirFilesApart) {
  TempDir dir;
  const key_t key = key_in(dir);
  FileSinkOptions a, b;
  a.path = dir.file("a.log");
  b.path = dir.file("b.log");
  a.key = b.key = key;
  a.limit = b.limit = 100;
  a.count = b.count = 50;
  FileSink sink_a(a), sink_b(b);
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(sink_a.write("a record of twenty.\n", nullptr));
    if (i % 2 == 0) {
      ASSERT_TRUE(sink_b.write("b record of twenty.\n", nullptr));
    }
  }
  // 40 records of 20 bytes, five per file: a.log.7 ... a.log.1 and a.log.
  EXPECT_TRUE(exists(a.path + ".7"));
  EXPECT_FALSE(exists(a.path + ".8"));
  EXPECT_TRUE(exists(b.path + ".3"));
  EXPECT_FALSE(exists(b.path + ".4"));
  std::string five;
  for (int i = 0; i < 5; ++i) five += "a record of twenty.\n";
  EXPECT_EQ(read_file(a.path + ".7"), five);
  EXPECT_EQ(read_file(a.path), five);
  EXPECT_EQ(read_file(b.path).find('a'), std::string::npos);
}

TEST(ProcessLockTest, RotationKeepsCountBackupsAndTheTrailerClosesEach) {
  TempDir dir;
  FileSinkOptions options;
  options.path = dir.file("a.log");
  options.limit = 60;
  options.count = 1;
  FileSink sink(options);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(sink.write_framed("<r>record</r>\n", "<log>\n", "</log>\n"));
  }
  // Header 6 + 3 records of 14 + trailer 7 = 55 fit under 60.
  EXPECT_EQ(read_file(options.path + ".1"),
            "<log>\n<r>record</r>\n<r>record</r>\n<r>record</r>\n</log>\n");
  EXPECT_EQ(read_file(options.path), "<log>\n<r>record</r>\n<r>record</r>\n<r>record</r>\n");
  EXPECT_FALSE(exists(options.path + ".2"));
}

// A rotation waits for the writes under way of every writer: those of this
// build, each in its thread's slot, and those of earlier builds, counted
// where they always were.  Two writes that never end (their writers killed)
// hold it until the wait gives up and forgets them.
TEST(ProcessLockTest, RotationWaitsOnEveryWriterSlotAndOnEarlierBuilds) {
  TempDir dir;
  FileSinkOptions options;
  options.path = dir.file("a.log");
  options.key = key_in(dir);
  options.limit = 40;
  options.count = 1;
  FileSink sink(options);
  ASSERT_TRUE(sink.write("a record of twenty.\n", nullptr));
  const std::string name = gw::SharedSegment::name_for(options.key, options.path);
  const int fd = ::shm_open(name.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  void* memory =
      ::mmap(nullptr, sizeof(gw::SharedFileState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(memory, MAP_FAILED);
  auto* shared = static_cast<gw::SharedFileState*>(memory);
  const std::uint64_t parity = shared->generation.load() & 1;
  shared->in_flight[parity].store(1);
  shared->writers[gw::kWriterSlots - 1].in_flight[parity].store(1);

  ASSERT_TRUE(sink.write("a record of twenty.\n", nullptr));
  ASSERT_TRUE(sink.write("a record of twenty.\n", nullptr));  // rotates first
  EXPECT_TRUE(exists(options.path + ".1"));
  EXPECT_EQ(shared->in_flight[parity].load(), 0) << "the rotation did not wait on it";
  EXPECT_EQ(shared->writers[gw::kWriterSlots - 1].in_flight[parity].load(), 0);
  ::munmap(memory, sizeof(gw::SharedFileState));
}

}  // namespace
}  // namespace gw_test

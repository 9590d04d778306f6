// The lock and shared state of the processes that write one file: removed
// by the last user, released by a holder that is killed, a half-made
// semaphore set replaced, colliding keys kept apart, a lock file without a
// key; and what another local user ("nobody") can plant at the key's and
// the file's names, a holder that is stopped, a child forked with the lock.
#include "toolkit/process_lock.h"

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

#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "ipc_key.h"
#include "test_support.h"
#include "toolkit/file_sink.h"
#include "toolkit/shared_file_state.h"
#include "unprivileged.h"

namespace gw_test {
namespace {

using gw::FileSink;
using gw::FileSinkOptions;
using gw::ProcessLock;

key_t key_in(const TempDir& dir) { return unused_key(dir.file("program"), 0x61, "x"); }

bool semaphore_exists(key_t key) { return ::semget(key, 0, 0) >= 0; }

void remove_semaphore(key_t key) {
  const int id = ::semget(key, 0, 0);
  if (id >= 0) (void)::semctl(id, 0, IPC_RMID);
}

constexpr uid_t kNobody = Unprivileged::kNobody;

// Makes a set of key as nobody, open to all: with lock_value set up
// (sem_otime set), or left as semget made it.
bool plant_semaphore(key_t key, int count, int lock_value, bool set_up, mode_t mode = 0666) {
  return as_nobody([=] {
    const int id = ::semget(key, count, IPC_CREAT | IPC_EXCL | static_cast<int>(mode));
    if (id < 0) return false;
    if (!set_up) return true;
    struct sembuf ops[2] = {{0, static_cast<short>(lock_value), 0}, {1, 1, 0}};
    return ::semop(id, ops, 2) == 0;  // lock value 0: held, for good
  });
}

bool set_ofd_lock(int fd, short type, off_t byte) {
  struct flock range;
  std::memset(&range, 0, sizeof range);
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = byte;
  range.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// A process of nobody that holds the lock byte of lock_path (opened
// before it drops to nobody) until it is killed; -1 when it could not.
pid_t nobody_holding(const std::string& lock_path) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(lock_path.c_str(), O_RDWR);
    if (fd < 0 || !become_nobody()) ::_exit(2);
    if (!set_ofd_lock(fd, F_WRLCK, 0) || !set_ofd_lock(fd, F_RDLCK, 1)) ::_exit(3);
    (void)::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte;
  const bool held = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!held) {
    ::waitpid(child, nullptr, 0);
    return -1;
  }
  return child;
}

void end_child(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// A shared-memory segment made by nobody, open to all, of size bytes of
// garbage.
bool plant_segment(const std::string& name, std::size_t size) {
  return as_nobody([&] {
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0 || ::fchmod(fd, 0666) != 0) return false;
    const std::string garbage(size, '\xab');
    return ::write(fd, garbage.data(), size) == static_cast<ssize_t>(size);
  });
}

off_t segment_size(const std::string& name) {
  struct stat status;
  return ::stat(("/dev/shm" + name).c_str(), &status) == 0 ? status.st_size : -1;
}

double seconds_since(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

struct timespec now() {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  return start;
}

#define REQUIRE_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user"

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
  const struct timespec start = now();
  auto lock = ProcessLock::open(key, dir.file("a.log"), problem);
  ASSERT_NE(lock, nullptr);
  EXPECT_LT(seconds_since(start), 0.5) << "the first record waits that long";
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

// A rotation waits for the writes under way of every writer, counted in the
// shared state.  A write that never ends (its writer killed) holds it until
// the wait gives up and forgets it.
TEST(ProcessLockTest, RotationWaitsOnWritesUnderWay) {
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

  ASSERT_TRUE(sink.write("a record of twenty.\n", nullptr));
  ASSERT_TRUE(sink.write("a record of twenty.\n", nullptr));  // rotates first
  EXPECT_TRUE(exists(options.path + ".1"));
  EXPECT_EQ(shared->in_flight[parity].load(), 0) << "the rotation did not wait on it";
  ::munmap(memory, sizeof(gw::SharedFileState));
}

// A set another user made first (its key is no secret), or one of ours of
// another shape or open to others, is not used: the lock file is, at once,
// and it still excludes.
TEST(ProcessLockTest, SemaphoreSetsNotOursAloneAreLeftForTheLockFile) {
  REQUIRE_ROOT();
  struct Case {
    const char* what;
    std::function<bool(key_t)> plant;
    const char* reason;
  };
  const Case cases[] = {
      {"held by nobody", [](key_t key) { return plant_semaphore(key, 2, 0, true); }, "uid 65534"},
      {"lock value 10", [](key_t key) { return plant_semaphore(key, 2, 10, true); }, "uid 65534"},
      {"never set up", [](key_t key) { return plant_semaphore(key, 2, 0, false); }, "uid 65534"},
      {"nobody's, mode 0600", [](key_t key) { return plant_semaphore(key, 2, 0, true, 0600); },
       "uid 65534"},
      {"ours, mode 0666",
       [](key_t key) {
         const int id = ::semget(key, 2, IPC_CREAT | IPC_EXCL | 0666);
         struct sembuf free_lock = {0, 1, 0};
         return id >= 0 && ::semop(id, &free_lock, 1) == 0;
       },
       "mode 0666"},
      {"ours, three semaphores",
       [](key_t key) {
         const int id = ::semget(key, 3, IPC_CREAT | IPC_EXCL | 0600);
         struct sembuf free_lock = {0, 1, 0};
         return id >= 0 && ::semop(id, &free_lock, 1) == 0;
       },
       "3 semaphores"},
  };
  for (const Case& planted : cases) {
    SCOPED_TRACE(planted.what);
    TempDir dir;
    const key_t key = key_in(dir);
    ASSERT_TRUE(planted.plant(key));
    std::string problem, other_problem;
    const struct timespec start = now();
    auto lock = ProcessLock::open(key, dir.file("a.log"), problem);
    auto other = ProcessLock::open(key, dir.file("a.log"), other_problem);
    ASSERT_NE(lock, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_STREQ(lock->kind(), "file");
    EXPECT_NE(problem.find("the semaphore of key " + std::to_string(key) + " cannot be used"),
              std::string::npos)
        << problem;
    EXPECT_NE(problem.find(planted.reason), std::string::npos) << problem;
    EXPECT_NE(problem.find("locking " + dir.file("a.log") + ".lock instead"), std::string::npos);
    EXPECT_TRUE(lock->lock());
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_FALSE(other->lock()) << "two holders at once";
    lock->unlock();
    EXPECT_TRUE(other->lock());
    other->unlock();
    EXPECT_TRUE(semaphore_exists(key)) << "the planted set is not ours to remove";
    remove_semaphore(key);
  }
}

// Another user's lock file (held by its owner), one of ours open to
// others, a FIFO or a link at its name: no lock is had, at once, and the
// report says why; the file handler then writes without rotation.
TEST(ProcessLockTest, LockFilesNotOursAloneAreRefused) {
  REQUIRE_ROOT();
  TempDir dir;
  const std::string log = dir.file("a.log");
  const std::string lock_path = log + ".lock";
  write_file(dir.file("precious"), "keep\n");
  struct Case {
    const char* what;
    std::function<bool()> plant;
    const char* reason;
  };
  pid_t holder = -1;
  const Case cases[] = {
      {"nobody's, held by nobody",
       [&] {
         write_file(lock_path, "");
         if (::chown(lock_path.c_str(), kNobody, kNobody) != 0) return false;
         if (::chmod(lock_path.c_str(), 0666) != 0) return false;
         holder = nobody_holding(lock_path);
         return holder > 0;
       },
       "it belongs to uid 65534"},
      {"ours, mode 0666",
       [&] {
         write_file(lock_path, "");
         return ::chmod(lock_path.c_str(), 0666) == 0;
       },
       "it is open to other users (mode 0666)"},
      {"a FIFO", [&] { return ::mkfifo(lock_path.c_str(), 0600) == 0; },
       "it is not a regular file"},
      {"a symbolic link",
       [&] { return ::symlink(dir.file("precious").c_str(), lock_path.c_str()) == 0; },
       "it is a symbolic link"},
  };
  for (const Case& planted : cases) {
    SCOPED_TRACE(planted.what);
    ASSERT_TRUE(planted.plant());
    std::string problem;
    const struct timespec start = now();
    EXPECT_EQ(ProcessLock::open(-1, log, problem), nullptr);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_NE(problem.find("cannot lock " + lock_path + ": " + planted.reason), std::string::npos)
        << problem;
    // Through the handler: written at once, whole, with a lock of its own.
    {
      write_file(log, "");
      FileSinkOptions options;
      options.path = log;
      options.limit = 40;
      options.count = 2;
      FileSink sink(options);
      const struct timespec writing = now();
      for (int i = 0; i < 10; ++i) EXPECT_TRUE(sink.write("a record of twenty.\n", nullptr));
      EXPECT_LT(seconds_since(writing), 0.5);
    }
    EXPECT_EQ(read_lines(log).size(), 10u);
    if (holder > 0) end_child(holder);
    holder = -1;
    ASSERT_EQ(::unlink(lock_path.c_str()), 0);
    ASSERT_EQ(::unlink(log.c_str()), 0);
  }
  EXPECT_EQ(read_file(dir.file("precious")), "keep\n");
}

// A semaphore another user planted, and our lock file refused as well:
// one report says both.
TEST(ProcessLockTest, BothRefusedAreReportedTogether) {
  REQUIRE_ROOT();
  TempDir dir;
  const key_t key = key_in(dir);
  ASSERT_TRUE(plant_semaphore(key, 2, 0, true));
  ASSERT_EQ(::mkfifo(dir.file("a.log.lock").c_str(), 0600), 0);
  std::string problem;
  EXPECT_EQ(ProcessLock::open(key, dir.file("a.log"), problem), nullptr);
  EXPECT_NE(problem.find("the semaphore of key " + std::to_string(key) +
                         " cannot be used (it belongs to uid 65534), and cannot lock " +
                         dir.file("a.log.lock") + ": it is not a regular file"),
            std::string::npos)
      << problem;
  remove_semaphore(key);
}

// A holder stopped with SIGSTOP keeps the lock, but delays another's
// lock() by the bound only; once it is killed the lock is free.
TEST(ProcessLockTest, StoppedHolderDelaysALockByTheBoundOnly) {
  for (const bool with_key : {true, false}) {
    SCOPED_TRACE(with_key ? "semaphore" : "lock file");
    TempDir dir;
    const key_t key = with_key ? key_in(dir) : -1;
    std::string problem;
    auto lock = ProcessLock::open(key, dir.file("a.log"), problem);
    ASSERT_NE(lock, nullptr);
    EXPECT_STREQ(lock->kind(), with_key ? "sem" : "file");
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
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(::kill(child, SIGSTOP), 0);
    for (int i = 0; i < 3; ++i) {
      const struct timespec start = now();
      EXPECT_FALSE(lock->lock());
      EXPECT_LT(seconds_since(start), 0.5);
    }
    end_child(child);
    EXPECT_TRUE(lock->lock());
    if (lock->detach_locked()) {
      lock->finish();
    } else {
      lock->unlock();
    }
  }
}

// A child forked from a process that opened the lock excludes its parent
// and is excluded by it, both ways, through the lock file as through the
// semaphore.
TEST(ProcessLockTest, ForkedChildAndParentExcludeEachOther) {
  for (const bool with_key : {true, false}) {
    SCOPED_TRACE(with_key ? "semaphore" : "lock file");
    TempDir dir;
    const key_t key = with_key ? key_in(dir) : -1;
    std::string problem;
    auto lock = ProcessLock::open(key, dir.file("a.log"), problem);
    ASSERT_NE(lock, nullptr);
    ASSERT_TRUE(lock->lock());
    pid_t child = ::fork();
    if (child == 0) ::_exit(lock->lock() ? 1 : 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child took the held lock";
    lock->unlock();

    int taken[2], done[2];
    ASSERT_EQ(::pipe(taken), 0);
    ASSERT_EQ(::pipe(done), 0);
    child = ::fork();
    if (child == 0) {
      if (!lock->lock()) ::_exit(1);
      (void)::write(taken[1], "x", 1);
      char byte;
      (void)::read(done[0], &byte, 1);
      lock->unlock();
      ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(taken[0], &byte, 1), 1);
    EXPECT_FALSE(lock->lock()) << "the parent took the child's lock";
    (void)::write(done[1], "x", 1);
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(lock->lock());
    if (lock->detach_locked()) {
      lock->finish();
    } else {
      lock->unlock();
    }
    for (int fd : {taken[0], taken[1], done[0], done[1]}) ::close(fd);
  }
}

// Another user's segment at the file's name (garbage, or too small to
// map) is passed over for one of this user's own, which every process of
// it picks, so they still share the count; a segment of ours that is too
// short is grown.
TEST(ProcessLockTest, SegmentOfAnotherUserIsPassedOverForOneOfOurOwn) {
  REQUIRE_ROOT();
  for (const std::size_t planted_size : {sizeof(gw::SharedFileState), std::size_t{8}}) {
    SCOPED_TRACE(planted_size);
    TempDir dir;
    const key_t key = key_in(dir);
    const std::string path = dir.file("a.log");
    const std::string name = gw::SharedSegment::name_for(key, path);
    const std::string own = gw::SharedSegment::own_name_for(key, path);
    EXPECT_EQ(own, name + "-u0");
    ASSERT_TRUE(plant_segment(name, planted_size));
    {
      gw::SharedSegment first(key, path), second(key, path);
      EXPECT_TRUE(first.shared());
      EXPECT_EQ(first.name(), own);
      EXPECT_EQ(second.name(), own);
      EXPECT_NE(first.problem().find("the shared memory " + name +
                                     " cannot be used (it belongs to uid 65534): using " + own),
                std::string::npos)
          << first.problem();
      first.state()->size.store(12345);
      EXPECT_EQ(second.state()->size.load(), 12345) << "the two do not share";
      struct stat status;
      ASSERT_EQ(::stat(("/dev/shm" + own).c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 0777, 0600u);
      EXPECT_EQ(segment_size(name), static_cast<off_t>(planted_size)) << "not ours to grow";
      // Gone later, the other user's name is not taken back: it would part
      // a newcomer from the processes already on our own.
      ASSERT_EQ(::shm_unlink(name.c_str()), 0);
      gw::SharedSegment third(key, path);
      EXPECT_EQ(third.name(), own);
      EXPECT_EQ(third.state()->size.load(), 12345);
      EXPECT_EQ(third.problem(), "");
    }
    gw::SharedSegment::unlink_all(key);
    EXPECT_EQ(segment_size(own), -1);
  }
  TempDir dir;
  const key_t key = key_in(dir);
  const std::string path = dir.file("a.log");
  const std::string name = gw::SharedSegment::name_for(key, path);
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 16), 0);  // its maker died before it grew it
  ::close(fd);
  {
    gw::SharedSegment segment(key, path);
    EXPECT_EQ(segment.name(), name);
    EXPECT_EQ(segment.problem(), "");
    EXPECT_EQ(segment_size(name), static_cast<off_t>(sizeof(gw::SharedFileState)));
    EXPECT_EQ(segment.state()->generation.load(), 1u);
  }
  gw::SharedSegment::unlink_all(key);
}

// With both names taken, each process keeps its own count, and says so;
// a segment of ours open to others, or holding something else, is not used.
TEST(ProcessLockTest, SegmentsThatCannotBeUsedAreReported) {
  REQUIRE_ROOT();
  TempDir dir;
  const key_t key = key_in(dir);
  const std::string path = dir.file("a.log");
  const std::string name = gw::SharedSegment::name_for(key, path);
  const std::string own = gw::SharedSegment::own_name_for(key, path);
  ASSERT_TRUE(plant_segment(name, sizeof(gw::SharedFileState)));
  ASSERT_TRUE(plant_segment(own, sizeof(gw::SharedFileState)));
  {
    gw::SharedSegment segment(key, path);
    EXPECT_FALSE(segment.shared());
    EXPECT_NE(segment.problem().find("nor " + own + " (it belongs to uid 65534)"),
              std::string::npos)
        << segment.problem();
    EXPECT_NE(segment.problem().find("counts the size of " + path + " alone"), std::string::npos);
    EXPECT_EQ(segment.state()->generation.load(), 1u);
  }
  (void)::shm_unlink(name.c_str());
  (void)::shm_unlink(own.c_str());

  const int open_to_all = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(open_to_all, 0);
  ASSERT_EQ(::fchmod(open_to_all, 0666), 0);
  ::close(open_to_all);
  const int garbage = ::shm_open(own.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(garbage, 0);
  const std::string bytes(sizeof(gw::SharedFileState), '\x5a');
  ASSERT_EQ(::write(garbage, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(garbage);
  {
    gw::SharedSegment segment(key, path);
    EXPECT_FALSE(segment.shared());
    EXPECT_NE(segment.problem().find("(it is open to other users (mode 0666))"), std::string::npos)
        << segment.problem();
    EXPECT_NE(segment.problem().find("(it holds something else)"), std::string::npos);
  }
  gw::SharedSegment::unlink_all(key);
  EXPECT_EQ(segment_size(name), -1);
  EXPECT_EQ(segment_size(own), -1);
}

// The key's last user removes this user's segments of the key, never
// another user's.
TEST(ProcessLockTest, UnlinkAllRemovesOnlyThisUsersSegments) {
  REQUIRE_ROOT();
  TempDir dir;
  const key_t key = key_in(dir);
  const std::string theirs = gw::SharedSegment::name_for(key, dir.file("theirs.log"));
  ASSERT_TRUE(plant_segment(theirs, 64));
  std::string ours;
  {
    gw::SharedSegment segment(key, dir.file("ours.log"));
    ours = segment.name();
    ASSERT_EQ(ours, gw::SharedSegment::name_for(key, dir.file("ours.log")));
  }
  gw::SharedSegment::unlink_all(key);
  EXPECT_EQ(segment_size(ours), -1);
  EXPECT_EQ(segment_size(theirs), 64);
  (void)::shm_unlink(theirs.c_str());
}

}  // namespace
}  // namespace gw_test

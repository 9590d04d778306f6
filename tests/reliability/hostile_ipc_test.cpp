// Another local user (here "nobody") makes the IPC objects of a program's
// key, or a lock file beside its log, before the program runs: its key is
// ftok of the program's path, which anyone can compute.  Writer processes
// of the program then still write every record once, in order, without a
// stall, within their files' limit, and say once what they passed over;
// they leave the other user's objects alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "reliability_support.h"
#include "unprivileged.h"

namespace reliability {
namespace {

constexpr uid_t kNobody = Unprivileged::kNobody;
constexpr int kProcesses = 3;
constexpr int kThreads = 2;
constexpr long long kLimit = 64 << 10;
constexpr int kCount = 500;
constexpr long long kLongestLine = 200;

#define REQUIRE_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user"

// The toolkit's segment name for a file of key: /gwtoolkit-<key>-<FNV-1a of the path>.
std::string segment_name(key_t key, const std::string& path) {
  std::uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : path) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char name[64];
  std::snprintf(name, sizeof name, "/gwtoolkit-%08x-%016llx", static_cast<unsigned>(key),
                static_cast<unsigned long long>(hash));
  return name;
}

int lines_with(const std::string& text, const std::string& word) {
  std::istringstream in(text);
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(word) != std::string::npos;
  return count;
}

struct Outcome {
  Check check;
  Parsed parsed;
  std::vector<std::string> files;
  std::vector<std::string> errors;  // each writer's
  long long longest_us = 0;
};

Outcome run_writers(WriterSet& setup, long records) {
  std::vector<WriterSet::Writer> writers;
  for (int p = 0; p < kProcesses; ++p) writers.push_back(setup.start(kThreads, records));
  Outcome outcome;
  std::map<std::pair<int, int>, long> last;
  for (WriterSet::Writer& writer : writers) {
    EXPECT_EQ(setup.wait(writer), 0);
    outcome.errors.push_back(setup.errors_of(writer));
    setup.progress_of(writer, last, outcome.longest_us);
  }
  outcome.files = rotated_set(setup.log_file(), kCount + 1);
  outcome.parsed = parse_files(outcome.files);
  outcome.check = check_records(outcome.parsed, last);
  return outcome;
}

void print(const char* what, const Outcome& outcome) {
  std::printf("hostile %s: written %ld, found %ld, lost %ld, files %zu, longest call %lld us\n",
              what, outcome.check.expected, outcome.check.found, outcome.check.lost,
              outcome.files.size(), outcome.longest_us);
}

void expect_every_record_once(const Outcome& outcome, long records) {
  EXPECT_EQ(outcome.check.expected, kProcesses * kThreads * records);
  EXPECT_EQ(outcome.check.found, outcome.check.expected);
  EXPECT_EQ(outcome.check.lost, 0);
  EXPECT_EQ(outcome.check.duplicated, 0);
  EXPECT_EQ(outcome.check.out_of_order, 0);
  EXPECT_EQ(outcome.parsed.bad_lines, 0);
  EXPECT_LT(outcome.longest_us, 500000) << "a record call stalled";
}

void expect_within_limit(const Outcome& outcome) {
  EXPECT_GT(outcome.files.size(), 3u) << "the load should rotate";
  for (const std::string& file : outcome.files) {
    struct stat status;
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_LE(status.st_size, kLimit + kProcesses * kLongestLine) << file;
  }
}

// Sets nobody makes at the key, open to all: one whose lock it holds for
// good, one whose lock value lets ten in at once, one never set up.  The
// writers lock the lock file instead, with one report each.
TEST(ReliabilityHostileIpcTest, PlantedSemaphoreSetsLeaveTheWritersTheLockFile) {
  REQUIRE_ROOT();
  struct Case {
    const char* what;
    int lock_value;
    bool set_up;
  };
  const long records = scaled(3000);
  for (const Case& planted :
       {Case{"held", 0, true}, Case{"lock value 10", 10, true}, Case{"never set up", 0, false}}) {
    SCOPED_TRACE(planted.what);
    WriterSet setup(kLimit, kCount);
    ASSERT_NE(setup.key(), -1);
    const key_t key = setup.key();
    ASSERT_TRUE(as_nobody([&] {
      const int id = ::semget(key, 2, IPC_CREAT | IPC_EXCL | 0666);
      if (id < 0) return false;
      if (!planted.set_up) return true;
      struct sembuf ops[2] = {{0, static_cast<short>(planted.lock_value), 0}, {1, 1, 0}};
      return ::semop(id, ops, 2) == 0;
    }));
    const Outcome outcome = run_writers(setup, records);
    print(planted.what, outcome);
    expect_every_record_once(outcome, records);
    expect_within_limit(outcome);
    for (const std::string& errors : outcome.errors) {
      EXPECT_EQ(lines_with(errors, "gwtoolkit: "), 1) << errors;
      EXPECT_EQ(lines_with(errors, "the semaphore of key " + std::to_string(key) +
                                       " cannot be used (it belongs to uid 65534): locking " +
                                       setup.log_file() + ".lock instead"),
                1)
          << errors;
    }
    const int id = ::semget(key, 0, 0);
    EXPECT_GE(id, 0) << "nobody's set was removed";
    if (id >= 0) (void)::semctl(id, 0, IPC_RMID);
  }
}

// A segment nobody makes at the log file's name (open to all, garbage):
// the writers share one of their own, so that their files keep within the
// limit, and at the end they remove theirs, not nobody's.
TEST(ReliabilityHostileIpcTest, PlantedSegmentLeavesEveryFileWithinItsLimit) {
  REQUIRE_ROOT();
  const long records = scaled(3000);
  WriterSet setup(kLimit, kCount);
  ASSERT_NE(setup.key(), -1);
  const std::string planted = segment_name(setup.key(), setup.log_file());
  ASSERT_TRUE(as_nobody([&] {
    const int fd = ::shm_open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0 || ::fchmod(fd, 0666) != 0) return false;
    const std::string garbage(4096, '\x7f');
    return ::write(fd, garbage.data(), garbage.size()) == static_cast<ssize_t>(garbage.size());
  }));
  const Outcome outcome = run_writers(setup, records);
  print("segment", outcome);
  expect_every_record_once(outcome, records);
  expect_within_limit(outcome);
  EXPECT_EQ(setup.segments_left(), std::vector<std::string>{planted.substr(1)})
      << "ours left, or nobody's removed";
  EXPECT_FALSE(setup.semaphore_left());
  (void)::shm_unlink(planted.c_str());
}

// Without a key the lock is "msg.log.lock"; nobody made it first, open to
// all, and holds its lock.  The writers write every record without
// waiting on it (and so without rotation), and say so once each.
TEST(ReliabilityHostileIpcTest, PlantedLockFileIsNotWaitedOn) {
  REQUIRE_ROOT();
  const long records = scaled(3000);
  WriterSet setup(kLimit, kCount, false);
  ASSERT_EQ(setup.key(), -1);
  const std::string logs = setup.dir() + "/logs";
  const std::string lock_path = setup.log_file() + ".lock";
  ASSERT_EQ(::mkdir(logs.c_str(), 0755), 0);
  std::ofstream(setup.log_file()).close();
  std::ofstream(lock_path).close();
  ASSERT_EQ(::chown(lock_path.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(lock_path.c_str(), 0666), 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int fd = ::open(lock_path.c_str(), O_RDWR);  // before it becomes nobody
    if (fd < 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    struct flock range;
    std::memset(&range, 0, sizeof range);
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &range) != 0) ::_exit(3);
    (void)::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  const Outcome outcome = run_writers(setup, records);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  print("lock file", outcome);
  expect_every_record_once(outcome, records);
  for (const std::string& errors : outcome.errors) {
    EXPECT_EQ(lines_with(errors, "gwtoolkit: "), 1) << errors;
    EXPECT_EQ(lines_with(errors, "cannot lock " + lock_path +
                                     ": it belongs to uid 65534: writing without rotation"),
              1)
        << errors;
  }
}

}  // namespace
}  // namespace reliability

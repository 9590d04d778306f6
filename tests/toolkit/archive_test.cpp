// Rotated files compressed in the background (compress = gzip): the
// archives as gzip and zcat read them, delayCompress, the numbered set
// with .gz members, a compression killed halfway (also with a forked child
// of the killed process alive), and a full disk, injected through the
// toolkit's seam to the operating system.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "toolkit/os.h"
#include "toolkit_fixture.h"

namespace gw_test {
namespace {

using ::testing::HasSubstr;

bool eventually(const std::function<bool()>& condition, int seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string quoted_path(const std::string& path) { return "'" + path + "'"; }

bool gzip_whole(const std::string& path) {
  return std::system(("gzip -t " + quoted_path(path) + " 2>/dev/null").c_str()) == 0;
}

// What zcat reads from the archive.
std::string unpacked(const std::string& path) {
  std::string text;
  FILE* pipe = ::popen(("zcat " + quoted_path(path)).c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    text.append(buffer, got);
  ::pclose(pipe);
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

off_t size_of(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Text that compresses slowly enough to be caught in the middle: lines of
// pseudo-random letters.
std::string big_text(std::size_t size) {
  std::string text;
  text.reserve(size + 128);
  std::uint64_t state = 88172645463325252ULL;
  while (text.size() < size) {
    for (int i = 0; i < 79; ++i) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      text.push_back(static_cast<char>('a' + state % 26));
    }
    text.push_back('\n');
  }
  return text;
}

// The real system, but a write to a file being compressed (name.N.gz.tmp)
// finds the disk full while full is set.
class FullDiskOs : public gw::Os {
 public:
  std::atomic<bool> full{false};
  std::atomic<int> refused{0};

  ssize_t write(int fd, const void* data, std::size_t size) override {
    if (full.load() && names_archive(fd)) {
      ++refused;
      errno = ENOSPC;
      return -1;
    }
    return gw::Os::write(fd, data, size);
  }

 private:
  static bool names_archive(int fd) {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t size = ::readlink(link.c_str(), target, sizeof target - 1);
    const std::string name(target, size > 0 ? static_cast<std::size_t>(size) : 0);
    return name.size() > 7 && name.compare(name.size() - 7, 7, ".gz.tmp") == 0;
  }
};

class ArchiveTest : public ToolkitFixture {
 protected:
  void SetUp() override { path_ = file("msg.log"); }
  void TearDown() override {
    GwCloseToolkit();
    gw::set_os(nullptr);
  }

  std::string config(const std::string& handler_lines) const {
    return "logger.f.handlers = handler.f\nhandler.f.formatter = formatter.xml\n"
           "formatter.xml.className = gw_xmlformatter\nhandler.f.fileName = " +
           path_ + "\nhandler.f.compress = gzip\n" + handler_lines;
  }
  std::string rotated(int index, const char* suffix = "") const {
    return path_ + "." + std::to_string(index) + suffix;
  }
  // True once name.first ... name.count are each compressed alone: no
  // original and no temporary file beside the archive.
  bool compressed_from(int first, int count) const {
    for (int index = first; index <= count; ++index) {
      if (exists(rotated(index)) || exists(rotated(index, ".gz.tmp"))) return false;
    }
    return true;
  }
  static void log_numbered(GwHandle logger, int first, int n) {
    for (int i = first; i < first + n; ++i) {
      GwLogInfo(logger, "c", 1, 1, ("record " + std::to_string(i)).c_str(), nullptr);
    }
  }

  std::string path_;
};

TEST_F(ArchiveTest, ArchivesAreWholeGzipFilesHoldingEveryRecordInOrder) {
  ASSERT_EQ(open_with(config("handler.f.limit = 600\nhandler.f.count = 4\n")), 1);
  Ref logger("logger.f");
  log_numbered(logger, 0, 200);  // some 16 rotations: the set is full
  ASSERT_TRUE(eventually([&] { return compressed_from(1, 4); }));
  EXPECT_FALSE(exists(rotated(5))) << "count counts the archives";
  EXPECT_FALSE(exists(rotated(5, ".gz")));
  // Oldest first: each archive is one whole file of the set, with its
  // header and trailer, and the records run on without a gap into the
  // live file.
  std::vector<std::string> records;
  for (int index = 4; index >= 1; --index) {
    const std::string archive = rotated(index, ".gz");
    ASSERT_TRUE(gzip_whole(archive)) << archive;
    const std::vector<std::string> lines = lines_of(unpacked(archive));
    ASSERT_GE(lines.size(), 3u) << archive;
    EXPECT_EQ(lines.front(), "<log>");
    EXPECT_EQ(lines.back(), "</log>");
    records.insert(records.end(), lines.begin() + 1, lines.end() - 1);
  }
  const std::vector<std::string> live = read_lines(path_);
  ASSERT_FALSE(live.empty());
  records.insert(records.end(), live.begin() + 1, live.end());
  ASSERT_FALSE(records.empty());
  const int first = std::atoi(records.front().substr(records.front().rfind(' ') + 1).c_str());
  for (std::size_t at = 0; at < records.size(); ++at) {
    EXPECT_EQ(records[at], "4000|logger.f|||c,1,1|record " + std::to_string(first + at));
  }
  EXPECT_EQ(records.back(), "4000|logger.f|||c,1,1|record 199");
}

TEST_F(ArchiveTest, DelayCompressKeepsTheNewestRotatedFileUntilTheNextRotation) {
  ASSERT_EQ(open_with(config("handler.f.limit = 600\nhandler.f.count = 3\n"
                             "handler.f.delayCompress = 1\n")),
            1);
  Ref logger("logger.f");
  log_numbered(logger, 0, 40);  // two rotations
  ASSERT_TRUE(exists(rotated(2)) || exists(rotated(2, ".gz")));
  ASSERT_TRUE(eventually([&] { return compressed_from(2, 3); }));
  EXPECT_TRUE(exists(rotated(1))) << "the newest stays as it is";
  EXPECT_FALSE(exists(rotated(1, ".gz")));
  const std::string newest = read_file(rotated(1));
  log_numbered(logger, 40, 20);  // one more: name.1 moves to name.2, and is compressed there
  ASSERT_TRUE(eventually([&] { return compressed_from(2, 3); }));
  EXPECT_EQ(unpacked(rotated(2, ".gz")), newest);
  EXPECT_TRUE(exists(rotated(1)));
}

TEST_F(ArchiveTest, OriginalLeftBesideItsArchiveIsRemovedAtTheNextOpen) {
  // What a process killed between the rename and the removal leaves.
  write_file(rotated(1), "<log>\nold record\n</log>\n");
  ASSERT_EQ(std::system(("gzip -k " + quoted_path(rotated(1))).c_str()), 0);
  ASSERT_EQ(open_with(config("handler.f.limit = 600\nhandler.f.count = 3\n")), 1);
  GwLogInfo(Ref("logger.f"), "c", 1, 1, "new", nullptr);
  ASSERT_TRUE(eventually([&] { return !exists(rotated(1)); }));
  EXPECT_EQ(unpacked(rotated(1, ".gz")), "<log>\nold record\n</log>\n");
}

// A writer rotates a big file and is killed while it compresses it; with
// the parameter set, it has forked a child by then, which lives on.
class KilledCompressionTest : public ArchiveTest, public ::testing::WithParamInterface<bool> {};

TEST_P(KilledCompressionTest, IsFinishedAtTheNextOpen) {
  const bool with_grandchild = GetParam();
  const std::string original = big_text(48 << 20);
  write_file(path_, original);
  write_file(config_path(), config("handler.f.limit = 1048576\nhandler.f.count = 3\n"));
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    ::close(pipe_fds[0]);
    if (GwOpenToolkit(config_path().c_str()) != 1) _exit(1);
    GwLogInfo(Ref("logger.f"), "c", 1, 1, "rotates the big file", nullptr);
    // The compression has begun once its file appears.
    const std::string temporary = path_ + ".1.gz.tmp";
    for (int spin = 0; size_of(temporary) <= 0; ++spin) {
      if (spin == 10000) _exit(2);
      ::usleep(1000);
    }
    pid_t child = 0;
    if (with_grandchild) {
      child = ::fork();
      if (child == 0) {
        // Killed by the test; gone by itself should the test fail first.
        for (int fd = 0; fd < 3; ++fd) ::close(fd);
        ::sleep(60);
        _exit(0);
      }
    }
    (void)!::write(pipe_fds[1], &child, sizeof child);
    ::pause();
    _exit(0);
  }
  ::close(pipe_fds[1]);
  pid_t grandchild = 0;
  ASSERT_EQ(::read(pipe_fds[0], &grandchild, sizeof grandchild),
            static_cast<ssize_t>(sizeof grandchild));
  ::close(pipe_fds[0]);
  struct KillAtEnd {
    pid_t pid;
    ~KillAtEnd() {
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) (void)exit_status(pid);
    }
  } grandchild_killer{grandchild};
  ASSERT_EQ(::kill(writer, SIGKILL), 0);
  EXPECT_EQ(exit_status(writer), -SIGKILL);
  // Either file whole: here the original with the trailer of its
  // rotation, and a part of its archive.
  ASSERT_TRUE(exists(rotated(1, ".gz.tmp"))) << "the compression ended before the kill";
  EXPECT_FALSE(exists(rotated(1, ".gz")));
  const std::string rotated_file = original + "</log>\n";
  ASSERT_EQ(size_of(rotated(1)), static_cast<off_t>(rotated_file.size()));
  EXPECT_TRUE(read_file(rotated(1)) == rotated_file);

  // The next process to open the file compresses it again, from the start,
  // whatever the killed writer's child still holds.
  ASSERT_EQ(GwOpenToolkit(config_path().c_str()), 1);
  GwLogInfo(Ref("logger.f"), "c", 1, 1, "next run", nullptr);
  EXPECT_TRUE(eventually([&] { return compressed_from(1, 3); }, 60));
  ASSERT_TRUE(gzip_whole(rotated(1, ".gz")));
  EXPECT_TRUE(unpacked(rotated(1, ".gz")) == rotated_file);
}

INSTANTIATE_TEST_SUITE_P(AloneOrWithAForkedChild, KilledCompressionTest, ::testing::Bool());

TEST_F(ArchiveTest, ProcessThatExitsWhileCompressingIsNotHeldUp) {
  const std::string original = big_text(48 << 20);
  write_file(path_, original);
  write_file(config_path(), config("handler.f.limit = 1048576\nhandler.f.count = 3\n"));
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    if (GwOpenToolkit(config_path().c_str()) != 1) _exit(1);
    GwLogInfo(Ref("logger.f"), "c", 1, 1, "rotates the big file", nullptr);
    for (int spin = 0; size_of(path_ + ".1.gz.tmp") <= 0; ++spin) {
      if (spin == 10000) _exit(2);
      ::usleep(1000);
    }
    GwCloseToolkit();
    std::exit(0);  // with the static destructors, the compression under way
  }
  EXPECT_EQ(exit_status(writer), 0);
  // Had the exit waited for the thread, the archive would be complete.
  EXPECT_FALSE(exists(rotated(1, ".gz")));
  EXPECT_EQ(size_of(rotated(1)), static_cast<off_t>(original.size() + 7));
}

TEST_F(ArchiveTest, FullDiskWhileCompressingKeepsTheOriginalsAndReportsOnce) {
  // Outlives the test: the toolkit closes after it, in TearDown.
  static FullDiskOs* const disk = new FullDiskOs;
  FullDiskOs& full_disk = *disk;
  full_disk.full.store(true);
  gw::set_os(&full_disk);
  ASSERT_EQ(open_with(config("handler.f.limit = 600\nhandler.f.count = 5\n")), 1);
  Ref logger("logger.f");
  ::testing::internal::CaptureStderr();
  log_numbered(logger, 0, 40);  // two rotations, each asking for a compression
  ASSERT_TRUE(eventually([&] {
    return full_disk.refused.load() >= 1 && !exists(rotated(1, ".gz.tmp")) &&
           !exists(rotated(2, ".gz.tmp"));
  }));
  log_numbered(logger, 40, 20);  // one more, one more attempt
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_GE(full_disk.refused.load(), 2);
  EXPECT_EQ(lines_of(errors).size(), 1u) << errors;
  EXPECT_THAT(errors, HasSubstr("handler.f: cannot compress " + path_ + "."));
  EXPECT_THAT(errors, HasSubstr("No space left on device: it is kept uncompressed"));
  for (int index = 1; index <= 3; ++index) {
    EXPECT_EQ(read_lines(rotated(index)).back(), "</log>") << "whole: " << rotated(index);
    EXPECT_FALSE(exists(rotated(index, ".gz")));
    EXPECT_FALSE(exists(rotated(index, ".gz.tmp")));
  }
  // Room again: the next rotation compresses what was left.
  full_disk.full.store(false);
  log_numbered(logger, 60, 20);
  ASSERT_TRUE(eventually([&] { return compressed_from(1, 4); }));
  for (int index = 1; index <= 4; ++index) EXPECT_TRUE(gzip_whole(rotated(index, ".gz")));
}

}  // namespace
}  // namespace gw_test

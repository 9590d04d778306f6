// Faults: a file size limit (SIGXFSZ at its default), EIO and short writes
// injected at write(2), a parent that is a regular file, a directory removed
// while writing, a symbolic link and a FIFO planted at the log path.  The
// process survives, counts its drops, reports once, recovers, and the file
// holds no torn record.  Runs in-process through the shipped toolkit, whose
// write(2) calls reach the write defined here.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "eklogger/platform/toolkit.h"
#include "reliability_records.h"

namespace {

enum class Fault { kNone, kEio, kShort };
std::atomic<Fault> g_fault{Fault::kNone};

}  // namespace

// Every write of the process, the toolkit's included; standard streams pass.
extern "C" ssize_t write(int fd, const void* data, size_t size) {
  using WriteFunction = ssize_t (*)(int, const void*, size_t);
  static const auto real_write = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
  if (fd > 2) {
    switch (g_fault.load()) {
      case Fault::kEio:
        errno = EIO;
        return -1;
      case Fault::kShort:
        if (size > 1) return real_write(fd, data, size / 2);
        break;
      case Fault::kNone:
        break;
    }
  }
  return real_write(fd, data, size);
}

namespace reliability {
namespace {

class ReliabilityFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/reliability-faults-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override {
    g_fault.store(Fault::kNone);
    if (logger_ != nullptr) GwReleaseObject(logger_);
    if (handler_ != nullptr) GwReleaseObject(handler_);
    GwCloseToolkit();
    (void)std::system(("chmod -R u+rwx " + dir_ + " 2>/dev/null; rm -rf " + dir_).c_str());
  }

  void open_toolkit(const std::string& file, long long limit = 0, int count = 0) {
    const std::string properties = dir_ + "/eklogger.properties";
    std::ofstream(properties) << "logger.t.level = ALL\n"
                                 "logger.t.handlers = handler.f\n"
                                 "handler.f.fileName = "
                              << file
                              << "\n"
                                 "handler.f.formatter = formatter.basic\n"
                                 "handler.f.limit = "
                              << limit
                              << "\n"
                                 "handler.f.count = "
                              << count
                              << "\n"
                                 "formatter.basic.className = gw_basicformatter\n";
    ASSERT_EQ(GwOpenToolkit(properties.c_str()), 1);
    logger_ = GwGetObject("logger.t", nullptr);
    handler_ = GwGetObject("handler.f", nullptr);
  }

  // Writes records seq .. seq+n-1; how many calls reported them written.
  long log(long n) {
    long written = 0;
    std::string text;
    for (long i = 0; i < n; ++i, ++seq_) {
      record_text(1, 0, seq_, text);
      written += GwLogText(logger_, text.c_str());
    }
    return written;
  }

  long dropped() {
    unsigned char found = 0;
    char* text = GwGetObjProp(handler_, "droppedRecords", &found);
    const long value = text == nullptr ? -1 : std::atol(text);
    std::free(text);
    return value;
  }

  static int lines_with(const std::string& text, const std::string& word) {
    std::istringstream in(text);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(word) != std::string::npos;
    return count;
  }

  std::string dir_;
  GwHandle logger_ = nullptr;
  GwHandle handler_ = nullptr;
  long seq_ = 0;
};

TEST_F(ReliabilityFaultTest, FileSizeLimitDropsInsteadOfRaisingSigxfszAndRecovers) {
  const std::string file = dir_ + "/x.log";
  open_toolkit(file);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 32 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  ::testing::internal::CaptureStderr();
  const long written = log(1000);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_GT(written, 100);
  EXPECT_LT(written, 1000);
  EXPECT_EQ(dropped(), 1000 - written);
  EXPECT_EQ(lines_with(errors, "gwtoolkit: "), 1) << errors;
  EXPECT_EQ(lines_with(errors, "File too large"), 1) << errors;
  struct stat status;
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_LE(status.st_size, 32 * 1024);
  EXPECT_EQ(log(10), 10);  // the limit is gone: writing resumes
  const Parsed parsed = parse_files({file});
  EXPECT_EQ(parsed.records, written + 10);
  EXPECT_EQ(parsed.bad_lines, 0);
}

TEST_F(ReliabilityFaultTest, FileSizeLimitBelowTheRotationLimitRotatesBelowIt) {
  const std::string file = dir_ + "/x.log";
  open_toolkit(file, 1 << 20, 20);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 16 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_EQ(log(1000), 1000);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(dropped(), 0);
  const std::vector<std::string> files = rotated_set(file, 21);
  EXPECT_GT(files.size(), 5u);
  const Parsed parsed = parse_files(files);
  EXPECT_EQ(parsed.records, 1000);
  EXPECT_EQ(parsed.bad_lines, 0);
  for (const std::string& name : files) {
    struct stat status;
    ASSERT_EQ(::stat(name.c_str(), &status), 0);
    EXPECT_LE(status.st_size, 16 * 1024) << name;
  }
}

TEST_F(ReliabilityFaultTest, EioDropsCountsReportsOnceAndRecovers) {
  const std::string file = dir_ + "/x.log";
  open_toolkit(file, 4096, 50);  // rotation on: none while writes fail
  EXPECT_EQ(log(20), 20);
  ::testing::internal::CaptureStderr();
  g_fault.store(Fault::kEio);
  EXPECT_EQ(log(200), 0);
  g_fault.store(Fault::kNone);
  EXPECT_EQ(log(20), 20);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(dropped(), 200);
  EXPECT_EQ(lines_with(errors, "Input/output error"), 1) << errors;
  const std::vector<std::string> files = rotated_set(file, 51);
  const Parsed parsed = parse_files(files);
  EXPECT_EQ(parsed.records, 40);
  EXPECT_EQ(parsed.bad_lines, 0);
  for (const std::string& name : files) {
    struct stat status;
    ASSERT_EQ(::stat(name.c_str(), &status), 0);
    EXPECT_GT(status.st_size, 0) << "an empty backup: rotated while failing";
  }
}

TEST_F(ReliabilityFaultTest, ShortWritesStillGiveWholeRecords) {
  const std::string file = dir_ + "/x.log";
  open_toolkit(file);
  g_fault.store(Fault::kShort);
  EXPECT_EQ(log(100), 100);
  g_fault.store(Fault::kNone);
  const Parsed parsed = parse_files({file});
  EXPECT_EQ(parsed.records, 100);
  EXPECT_EQ(parsed.bad_lines, 0);
  EXPECT_EQ(dropped(), 0);
}

TEST_F(ReliabilityFaultTest, ParentThatIsARegularFileIsReportedOnceAndRetried) {
  const std::string plain = dir_ + "/plain";
  std::ofstream(plain) << "not a directory\n";
  const std::string file = plain + "/x.log";
  open_toolkit(file);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(log(50), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_with(errors, "Not a directory"), 1) << errors;
  EXPECT_EQ(dropped(), 50);
  ASSERT_EQ(::unlink(plain.c_str()), 0);
  ::usleep(1100000);  // opening is tried again once a second
  EXPECT_EQ(log(10), 10);
  EXPECT_EQ(parse_files({file}).records, 10);
}

TEST_F(ReliabilityFaultTest, DirectoryRemovedWhileWritingIsMadeAgain) {
  const std::string file = dir_ + "/sub/x.log";
  open_toolkit(file);
  EXPECT_EQ(log(10), 10);
  ASSERT_EQ(std::system(("rm -rf " + dir_ + "/sub").c_str()), 0);
  for (int i = 0; i < 130; ++i) {
    log(1);
    ::usleep(10000);
  }
  const Parsed parsed = parse_files({file});
  EXPECT_GT(parsed.records, 10) << "the records of the last 0.3 s at least";
  EXPECT_EQ(parsed.bad_lines, 0);
}

TEST_F(ReliabilityFaultTest, SymbolicLinkInAWorldWritableDirectoryIsRefused) {
  const std::string shared = dir_ + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string target = dir_ + "/precious";
  std::ofstream(target) << "keep me\n";
  const std::string file = shared + "/x.log";
  ASSERT_EQ(::symlink(target.c_str(), file.c_str()), 0);
  open_toolkit(file);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(log(30), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_with(errors, "symbolic link"), 1) << errors;
  EXPECT_EQ(dropped(), 30);
  std::ifstream in(target);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "keep me\n");
}

TEST_F(ReliabilityFaultTest, FifoAtThePathIsRefusedWithoutHanging) {
  const std::string file = dir_ + "/x.log";
  ASSERT_EQ(::mkfifo(file.c_str(), 0666), 0);
  open_toolkit(file);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(log(10), 0);  // no reader: would block a plain open
  const int reader = ::open(file.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ::usleep(1100000);
  EXPECT_EQ(log(10), 0);  // with a reader: still no regular file
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_with(errors, "not a regular file"), 1) << errors;
  char byte;
  EXPECT_LE(::read(reader, &byte, 1), 0);
  ::close(reader);
  EXPECT_EQ(dropped(), 20);
}

}  // namespace
}  // namespace reliability

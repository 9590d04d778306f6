// Faults: a file size limit (SIGXFSZ at its default), EIO and short writes,
// a writev, rename, fstat or semop that fails, injected through the
// toolkit's seam to the operating system (os.h); a parent that is a regular
// file, a directory removed while writing, a symbolic link and a FIFO
// planted at the log path.  The process survives, counts its drops, reports
// once, recovers, and the file holds no torn record.  Runs in-process
// through the toolkit with its shipped formatters, linked statically so
// that the test can install its Os.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
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
#include "test_files.h"
#include "toolkit/os.h"

namespace {

enum class Fault { kNone, kEio, kShort, kTear, kWritev, kRename, kFstat, kSemop };

// The real system but for the fault in effect; standard streams and the
// test's own calls pass (the toolkit alone uses its Os).
class FaultyOs : public gw::Os {
 public:
  std::atomic<Fault> fault{Fault::kNone};
  std::atomic<int> injected{0};

  ssize_t write(int fd, const void* data, std::size_t size) override {
    if (fd > 2 && fault.load() == Fault::kEio) return fail(EIO);
    if (fd > 2 && fault.load() == Fault::kTear && size > 1) {  // half, then no more room
      fault.store(Fault::kEio);
      ++injected;
      return gw::Os::write(fd, data, size / 2);
    }
    if (fd > 2 && fault.load() == Fault::kShort && size > 1) {
      ++injected;
      return gw::Os::write(fd, data, size / 2);
    }
    return gw::Os::write(fd, data, size);
  }
  ssize_t writev(int fd, const struct iovec* parts, int count) override {
    if (fault.load() == Fault::kWritev || fault.load() == Fault::kEio) return fail(EIO);
    return gw::Os::writev(fd, parts, count);
  }
  int renameat(int from_dir, const char* from, int to_dir, const char* to) override {
    if (fault.load() == Fault::kRename) return fail(EPERM);
    return gw::Os::renameat(from_dir, from, to_dir, to);
  }
  int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                unsigned int flags) override {
    if (fault.load() == Fault::kRename) return fail(EPERM);
    return gw::Os::renameat2(from_dir, from, to_dir, to, flags);
  }
  int fstat(int fd, struct stat* status) override {
    if (fault.load() == Fault::kFstat) return fail(EIO);
    return gw::Os::fstat(fd, status);
  }
  int semtimedop(int id, struct sembuf* operations, std::size_t count,
                 const struct timespec* timeout) override {
    if (fault.load() == Fault::kSemop) return fail(EAGAIN);
    return gw::Os::semtimedop(id, operations, count, timeout);
  }

 private:
  int fail(int error) {
    ++injected;
    errno = error;
    return -1;
  }
};

FaultyOs g_os;

}  // namespace

namespace reliability {
namespace {

class ReliabilityFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { gw::set_os(&g_os); }
  void TearDown() override {
    g_os.fault.store(Fault::kNone);
    gw::set_os(nullptr);
    if (logger_ != nullptr) GwReleaseObject(logger_);
    if (handler_ != nullptr) GwReleaseObject(handler_);
    GwCloseToolkit();
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

  TempDir scratch_{"reliability-faults"};  // removed at the end, unreadable directories and all
  const std::string dir_ = scratch_.path();
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
  g_os.fault.store(Fault::kEio);
  EXPECT_EQ(log(200), 0);
  g_os.fault.store(Fault::kNone);
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
  g_os.fault.store(Fault::kShort);
  EXPECT_EQ(log(100), 100);
  g_os.fault.store(Fault::kNone);
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

TEST_F(ReliabilityFaultTest, WritevFailingAfterATornRecordDropsOneAndTheNextStartsALine) {
  const std::string file = dir_ + "/x.log";
  open_toolkit(file);
  EXPECT_EQ(log(5), 5);
  ::testing::internal::CaptureStderr();
  g_os.fault.store(Fault::kTear);  // a record cut short: the next one needs a newline first
  EXPECT_EQ(log(1), 0);
  g_os.fault.store(Fault::kWritev);
  EXPECT_EQ(log(3), 0);
  g_os.fault.store(Fault::kNone);
  EXPECT_EQ(log(5), 5);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_with(errors, "Input/output error"), 1) << errors;
  EXPECT_EQ(dropped(), 4);
  const Parsed parsed = parse_files({file});
  EXPECT_EQ(parsed.records, 10);
  EXPECT_EQ(parsed.bad_lines, 1) << "the half record, on a line of its own";
}

TEST_F(ReliabilityFaultTest, RenameOrFstatFailingKeepsTheSetAndEveryRecord) {
  const std::string file = dir_ + "/x.log";
  open_toolkit(file, 2048, 1000);
  EXPECT_EQ(log(100), 100);  // rotated once at least
  ASSERT_EQ(::access((file + ".1").c_str(), F_OK), 0);
  std::ifstream before(file + ".1");
  const std::string rotated((std::istreambuf_iterator<char>(before)),
                            std::istreambuf_iterator<char>());
  for (Fault fault : {Fault::kRename, Fault::kFstat}) {
    ::usleep(1100000);  // a failed rotation is tried again a second later
    ::testing::internal::CaptureStderr();
    g_os.fault.store(fault);
    EXPECT_EQ(log(200), 200);
    g_os.fault.store(Fault::kNone);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    if (fault == Fault::kRename) {
      EXPECT_EQ(lines_with(errors, "cannot rotate"), 1) << errors;
      EXPECT_EQ(lines_with(errors, "Operation not permitted"), 1) << errors;
    }
    std::ifstream after(file + ".1");
    const std::string now((std::istreambuf_iterator<char>(after)),
                          std::istreambuf_iterator<char>());
    EXPECT_TRUE(now == rotated) << "a rotated file changed while rotation failed";
  }
  EXPECT_GT(g_os.injected.load(), 0);
  EXPECT_EQ(dropped(), 0);
  const Parsed parsed = parse_files(rotated_set(file, 1000));
  EXPECT_EQ(parsed.records, 500);
  EXPECT_EQ(parsed.bad_lines, 0);
}

TEST_F(ReliabilityFaultTest, LockThatCannotBeHadWritesOnWithoutRotating) {
  const std::string file = dir_ + "/x.log";
  open_toolkit(file, 2048, 3);
  const std::string program = dir_ + "/eklogger.properties";
  GwSetObjPropInt(handler_, "MPFileSemKey", static_cast<int>(::ftok(program.c_str(), 'a')));
  EXPECT_EQ(log(1), 1);  // opened with the semaphore
  ::testing::internal::CaptureStderr();
  g_os.fault.store(Fault::kSemop);
  EXPECT_EQ(log(300), 300);
  g_os.fault.store(Fault::kNone);
  ::testing::internal::GetCapturedStderr();
  EXPECT_GT(g_os.injected.load(), 0);
  EXPECT_EQ(::access((file + ".1").c_str(), F_OK), -1) << "rotated without the lock";
  EXPECT_EQ(dropped(), 0);
  EXPECT_EQ(parse_files({file}).records, 301);
}

}  // namespace
}  // namespace reliability

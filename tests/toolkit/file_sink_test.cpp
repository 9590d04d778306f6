// The file handler through the toolkit's C functions: where and how files
// are opened, headers, switching files, and files that cannot be opened.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "toolkit_fixture.h"
#include "unprivileged.h"

namespace gw_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

mode_t mode_of(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

// True while this process holds a descriptor open on path.
bool holds_open(const std::string& path) {
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return false;
  bool held = false;
  while (const dirent* entry = ::readdir(fds)) {
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t size = ::readlink(link.c_str(), target, sizeof target - 1);
    if (size > 0 && std::string(target, static_cast<std::size_t>(size)) == path) held = true;
  }
  ::closedir(fds);
  return held;
}

class FileHandlerTest : public ToolkitFixture {
 protected:
  std::string wired(const std::string& handler_lines) const {
    return "logger.f.handlers = handler.f\n"
           "handler.f.level = ALL\n"
           "formatter.xml.className = gw_xmlformatter\n" +
           handler_lines;
  }
};

TEST_F(FileHandlerTest, OpensAtFirstRecordCreatingDirectoriesAndFile) {
  const std::string path = file("logs/server1/app/msg.log");
  ASSERT_EQ(open_with(wired("handler.f.fileName = " + path + "\n")), 1);
  Ref logger("logger.f");
  EXPECT_FALSE(exists(path)) << "nothing is opened before the first record";
  ::umask(077);  // the configured permissions win over the umask
  GwLogInfo(logger, "c", 1, 1, "first", nullptr);
  ::umask(022);
  EXPECT_EQ(mode_of(file("logs")) & 0777, 0700u) << "directories get 0750 less the umask";
  EXPECT_EQ(mode_of(path), 0640u);
  EXPECT_THAT(read_lines(path), ElementsAre("4000|logger.f|||c,1,1|first"));

  Ref handler("handler.f");
  GwSetObjProp(handler, "permissions", "600");
  GwSetObjProp(handler, "fileName", file("deep/er/x.log").c_str());
  GwLogInfo(logger, "c", 1, 1, "second", nullptr);
  EXPECT_EQ(mode_of(file("deep/er/x.log")), 0600u);
  EXPECT_EQ(mode_of(file("deep/er")) & 0777, 0750u);
}

TEST_F(FileHandlerTest, HeaderGoesOnlyIntoNewOrEmptyFiles) {
  const std::string fresh = file("fresh.log");
  const std::string used = file("used.log");
  const std::string empty = file("empty.log");
  write_file(used, "earlier record\n");
  write_file(empty, "");
  for (const std::string& path : {fresh, used, empty}) {
    ASSERT_EQ(open_with(wired("handler.f.formatter = formatter.xml\nhandler.f.fileName = " + path +
                              "\n")),
              1);
    Ref logger("logger.f");
    GwLogInfo(logger, "c", 1, 1, "one", nullptr);
    GwCloseToolkit();
    // A second run appends to the file it left, with no second header and
    // no trailer: readers cope with a file that has none yet.
    ASSERT_EQ(open_with(wired("handler.f.formatter = formatter.xml\nhandler.f.fileName = " + path +
                              "\n")),
              1);
    GwLogInfo(logger, "c", 1, 2, "two", nullptr);
    GwCloseToolkit();
  }
  const char* one = "4000|logger.f|||c,1,1|one";
  const char* two = "4000|logger.f|||c,1,2|two";
  EXPECT_THAT(read_lines(fresh), ElementsAre("<log>", one, two));
  EXPECT_THAT(read_lines(empty), ElementsAre("<log>", one, two));
  EXPECT_THAT(read_lines(used), ElementsAre("earlier record", one, two));
}

TEST_F(FileHandlerTest, SettingFileNameAgainSwitchesFiles) {
  ASSERT_EQ(open_with(wired("handler.f.fileName = " + file("first.log") + "\n")), 1);
  Ref logger("logger.f");
  Ref handler("handler.f");
  GwLogInfo(logger, "c", 1, 1, "to first", nullptr);
  GwSetObjProp(handler, "fileName", file("second.log").c_str());
  GwLogInfo(logger, "c", 1, 2, "to second", nullptr);
  EXPECT_THAT(read_lines(file("first.log")), ElementsAre("4000|logger.f|||c,1,1|to first"));
  EXPECT_THAT(read_lines(file("second.log")), ElementsAre("4000|logger.f|||c,1,2|to second"));
  GwCloseToolkit();
  EXPECT_FALSE(holds_open(file("first.log"))) << "close closes every file";
  EXPECT_FALSE(holds_open(file("second.log")));
}

TEST_F(FileHandlerTest, FileThatCannotBeOpenedDropsRecordsWithOneReport) {
  // What the library leaves when no fileName is configured: its location
  // followed by "/", a directory.
  ASSERT_EQ(open_with(wired("")), 1);
  Ref logger("logger.f");
  Ref handler("handler.f");
  ::testing::internal::CaptureStderr();
  GwLogInfo(logger, "c", 1, 1, "no file name", nullptr);
  GwLogInfo(logger, "c", 1, 1, "no file name", nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "gwtoolkit: handler.f: no fileName is configured: records are dropped\n");

  GwSetObjProp(handler, "fileName", (dir_.path() + "/").c_str());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GwLogInfo(logger, "c", 1, 1, "dropped", nullptr), 0);
  EXPECT_EQ(GwLogInfo(logger, "c", 1, 2, "dropped too", nullptr), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "gwtoolkit: handler.f: cannot open " + dir_.path() +
                        "/: Is a directory: records are dropped\n");
  EXPECT_EQ(property(handler, "droppedRecords"), "4");
  // A new fileName is a new chance.
  GwSetObjProp(handler, "fileName", file("ok.log").c_str());
  EXPECT_EQ(GwLogInfo(logger, "c", 1, 3, "kept", nullptr), 1);
  EXPECT_EQ(property(handler, "droppedRecords"), "4");
  Ref logger_object("logger.f");
  EXPECT_EQ(property(logger_object, "droppedRecords"), "<none>") << "handlers only";
}

TEST_F(FileHandlerTest, MissingPermissionIsReported) {
  ASSERT_EQ(open_with(wired("")), 1);
  Ref logger("logger.f");
  const std::string locked = file("locked");
  ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  Ref handler("handler.f");
  GwSetObjProp(handler, "fileName", (locked + "/x.log").c_str());
  ::testing::internal::CaptureStderr();
  {
    Unprivileged nobody;  // root would open the file whatever the permissions
    ASSERT_TRUE(nobody.ok());
    GwLogInfo(logger, "c", 1, 1, "denied", nullptr);
  }
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(errors, HasSubstr("cannot open " + locked + "/x.log: Permission denied"));
}

TEST_F(FileHandlerTest, WritableFileInAClosedDirectoryIsWrittenWithoutRotation) {
  // An operator's pre-made log file in a directory the writer cannot create
  // the lock file in: records still arrive, rotation is off, one report.
  const std::string closed = file("closed");
  const std::string path = closed + "/x.log";
  ASSERT_EQ(::mkdir(closed.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  write_file(path, "");
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(open_with(wired("handler.f.limit = 100\nhandler.f.count = 2\n")), 1);
  Ref logger("logger.f");
  Ref handler("handler.f");
  GwSetObjProp(handler, "fileName", path.c_str());
  ::testing::internal::CaptureStderr();
  {
    Unprivileged nobody;
    ASSERT_TRUE(nobody.ok());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(GwLogInfo(logger, "c", 1, i, "kept anyway", nullptr), 1);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "gwtoolkit: handler.f: cannot lock " + path +
                ".lock: Permission denied: writing without rotation\n");
  EXPECT_EQ(read_lines(path).size(), 5u);
  EXPECT_FALSE(exists(path + ".1"));
}

TEST_F(FileHandlerTest, SymbolicLinkAsLogFileIsRefused) {
  const std::string target = file("target.log");
  const std::string link = file("link.log");
  write_file(target, "");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(open_with(wired("handler.f.fileName = " + link + "\n")), 1);
  Ref logger("logger.f");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GwLogInfo(logger, "c", 1, 1, "not through a link", nullptr), 0);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("cannot open " + link));
  EXPECT_EQ(read_file(target), "");
}

}  // namespace
}  // namespace gw_test

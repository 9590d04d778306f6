// Bad input gets a clear result: torn and foreign lines shown or counted,
// --strict failing, a cut .gz or XML file giving the records before the
// damage, a file that cannot be read named with the reason; never a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "eklog_test_support.h"
#include "reliability_support.h"

namespace {

using eklog_test::eklog;
using eklog_test::lines_of;
using eklog_test::quoted;
using eklog_test::Result;
using eklog_test::shell;

class EklogBadInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new eklog_test::Scratch;
    eklog_test::write_mixed_properties(*scratch_, 0, 0);
    ASSERT_EQ(exit_status(eklog_test::start_mixed_writer(*scratch_, 500)), 0);
  }
  static void TearDownTestSuite() { delete scratch_; }
  static std::string logs(const std::string& name) { return scratch_->path("logs/" + name); }
  static long records_in(const std::string& path) {
    const Result result = eklog("-o json " + quoted(path));
    return static_cast<long>(lines_of(result.out).size());
  }
  static eklog_test::Scratch* scratch_;
};

eklog_test::Scratch* EklogBadInputTest::scratch_ = nullptr;

TEST_F(EklogBadInputTest, TornAndForeignLinesAreShownSkippedOrFatal) {
  for (const char* name : {"all.log", "all.json", "all.xml"}) {
    const std::string bad = logs(std::string("bad.") + name);
    // A foreign line in the middle and a record cut short at the end.
    ASSERT_EQ(shell("head -20 " + quoted(logs(name)) + " > " + quoted(bad) +
                    " && echo 'Exception in thread main' >> " + quoted(bad) + " && sed -n 21,40p " +
                    quoted(logs(name)) + " >> " + quoted(bad) + " && sed -n 41p " +
                    quoted(logs(name)) + " | head -c 30 >> " + quoted(bad))
                  .status,
              0);
    const long records = std::string(name) == "all.xml" ? 38 : 40;
    Result shown = eklog(quoted(bad));
    EXPECT_EQ(shown.status, 0) << name << ": " << shown.err;
    EXPECT_NE(shown.out.find("?? " + bad + ":21: Exception in thread main"), std::string::npos)
        << name << ":\n"
        << shown.out;
    EXPECT_NE(shown.out.find(" (torn): "), std::string::npos) << name;
    EXPECT_EQ(static_cast<long>(lines_of(shown.out).size()), records + 2) << name;

    const Result skipped = eklog("--skip-bad " + quoted(bad));
    EXPECT_EQ(skipped.status, 0);
    EXPECT_EQ(static_cast<long>(lines_of(skipped.out).size()), records) << name;
    EXPECT_NE(skipped.err.find("2 lines that are no record left out"), std::string::npos)
        << skipped.err;
    // A filter leaves them out too, and says so.
    const Result filtered = eklog("-p FINEST " + quoted(bad));
    EXPECT_EQ(static_cast<long>(lines_of(filtered.out).size()), records) << name;
    EXPECT_NE(filtered.err.find("2 lines"), std::string::npos);

    const Result strict = eklog("--strict " + quoted(bad));
    EXPECT_EQ(strict.status, 1) << name;
    EXPECT_NE(strict.err.find(bad + ":21: not a record"), std::string::npos) << strict.err;
  }
}

TEST_F(EklogBadInputTest, CutCompressedFileGivesTheRecordsBeforeTheDamage) {
  const std::string member = logs("cut.log.1.gz");
  ASSERT_EQ(shell("gzip -c " + quoted(logs("all.log")) + " > " + quoted(member)).status, 0);
  const long whole = records_in(member);
  EXPECT_EQ(whole, records_in(logs("all.log")));
  const Result size = shell("stat -c %s " + quoted(member));
  ASSERT_EQ(
      shell("truncate -s " + std::to_string(std::stol(size.out) / 2) + " " + quoted(member)).status,
      0);
  const Result result = eklog("--skip-bad -o json " + quoted(member));
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find(member + ": the compressed data ends early after line"),
            std::string::npos)
      << result.err;
  const long before = static_cast<long>(lines_of(result.out).size());
  EXPECT_GT(before, whole / 4);
  EXPECT_LT(before, whole);
  // Garbage after the magic bytes.
  eklog_test::Scratch scratch;
  scratch.write("junk.log.2.gz", std::string("\x1f\x8b\x08\x00garbage, not deflate data", 30));
  const Result junk = eklog(quoted(scratch.path("junk.log.2.gz")));
  EXPECT_EQ(junk.status, 2);
  EXPECT_NE(junk.err.find("junk.log.2.gz: "), std::string::npos);
}

TEST_F(EklogBadInputTest, CutXmlFileGivesTheRecordsBeforeTheDamage) {
  const std::string cut = logs("cut.xml");
  const Result size = shell("stat -c %s " + quoted(logs("all.xml")));
  const long half = std::stol(size.out) / 2;
  ASSERT_EQ(
      shell("head -c " + std::to_string(half) + " " + quoted(logs("all.xml")) + " > " + quoted(cut))
          .status,
      0);
  const Result ours = eklog("--skip-bad -o json " + quoted(cut));
  EXPECT_EQ(ours.status, 0);
  // xmllint recovers the same whole records from the cut document.
  const Result xmllint = shell("xmllint --recover --xpath 'count(/log/record[@time_us])' " +
                               quoted(cut) + " 2>/dev/null");
  // xmllint may also recover the cut record, as far as it goes.
  const long shown = static_cast<long>(lines_of(ours.out).size());
  const long recovered = std::stol(xmllint.out);
  EXPECT_TRUE(shown == recovered || shown + 1 == recovered) << shown << " " << recovered;
  EXPECT_GT(shown, 100);
  EXPECT_NE(ours.err.find("1 line that is no record left out"), std::string::npos) << ours.err;
}

TEST_F(EklogBadInputTest, UnreadableFilesAreNamedWithTheReason) {
  eklog_test::Scratch scratch;
  ::mkdir(scratch.path("a.log").c_str(), 0700);
  Result result = eklog(quoted(scratch.path("missing.log")) + " " + quoted(logs("all.log")));
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("missing.log: No such file or directory"), std::string::npos)
      << result.err;
  EXPECT_EQ(static_cast<long>(lines_of(result.out).size()), records_in(logs("all.log")))
      << "the readable file is still read";
  scratch.write("fifo.log.1", "");
  ASSERT_EQ(shell("rm " + quoted(scratch.path("fifo.log.1")) + " && mkfifo " +
                  quoted(scratch.path("fifo.log.1")))
                .status,
            0);
  result = eklog(quoted(scratch.path("fifo.log.1")));
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("fifo.log.1: not a regular file"), std::string::npos) << result.err;
}

TEST_F(EklogBadInputTest, BinaryAndHostileBytesNeverCrashNorReachTheTerminalRaw) {
  eklog_test::Scratch scratch;
  ASSERT_EQ(shell("head -c 300000 /dev/urandom > " + quoted(scratch.path("random.log"))).status, 0);
  Result result = eklog(quoted(scratch.path("random.log")));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find('\033'), std::string::npos);
  // A JSON record whose text holds an escape sequence and a NUL.
  scratch.write("esc.json",
                "{\"time\":\"2026-12-08T11:42:07.123456+01:00\",\"time_us\":1796726527123456,"
                "\"level\":\"INFO\",\"level_value\":4000,\"logger\":\"l\",\"product\":\"p\","
                "\"component\":\"c\",\"text\":\"\\u001b[2Jgone\\u0000\\u2028x\"}\n");
  result = eklog(quoted(scratch.path("esc.json")));
  EXPECT_EQ(result.out,
            "2026-12-08 11:42:07.123456 INFO    c: \\x1b[2Jgone\\x00\\xe2\\x80\\xa8x\n");
  result = eklog("-o json " + quoted(scratch.path("esc.json")));
  EXPECT_NE(result.out.find("\\u001b[2Jgone\\u0000\\u2028x"), std::string::npos) << result.out;
}

}  // namespace

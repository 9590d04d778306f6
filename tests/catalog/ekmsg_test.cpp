#include "eklogger/ekmsg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog_files.h"
#include "eklogger/eklogmanager.h"
#include "test_files.h"
#include "unprivileged.h"

namespace {

using Log::EkMsg;

// Where the build put the shipped catalogs: <build>/catfiles/<locale>.
std::string build_dir() {
  const char* dir = std::getenv("EKLOGGER_BUILD_DIR");
  return dir != nullptr ? dir : EKLOGGER_BINARY_DIR;
}

// ---- The catalog search ----

// A catalog directory with empty catalog files where each test puts them:
// the search only asks for regular, readable files.
class EkMsgSearchTest : public ::testing::Test {
 protected:
  void touch(const std::string& relative) { write_file(dir() + "/" + relative, ""); }
  std::string dir() const { return root_.file("catfiles"); }
  std::string search(const char* locale) { return EkMsg::check_catfile_path(dir(), locale, "app"); }

  TempDir root_;
};

// Each case: the catalog files present, a locale, and the file found ("" for
// none), all relative to the catalog directory.
TEST_F(EkMsgSearchTest, TriesLocaleThenLanguageThenCatalogDirectory) {
  const struct {
    std::vector<std::string> files;
    const char* locale;
    std::string found;
  } cases[] = {
      {{"app.cat", "en_GB/app.cat", "en/app.cat"}, "en_GB", ""},
      {{"app.cat", "en/app.cat"}, "english", ""},
      {{"app.cat"}, "EN_GB", "app.cat"},  // "en" is compared case-sensitively
      {{"app.cat", "fr/app.cat", "fr_FR/app.cat"}, "fr_FR", "fr_FR/app.cat"},
      {{"app.cat", "fr/app.cat", "fr_FR/app.cat"}, "fr_BE", "fr/app.cat"},
      {{"ja_JP/app.cat"}, "ja", "ja_JP/app.cat"},
      {{"ja/app.cat"}, "ja_JP", "ja/app.cat"},
      {{"ja/app.cat"}, "ja_JP.UTF-8", "ja/app.cat"},
      {{"zh_CN/app.cat"}, "zh", "zh_CN/app.cat"},
      {{"zh_CN/app.cat"}, "zh_TW", ""},  // zh_TW falls back to zh, never zh_CN
      {{"zh_CN/app.cat", "zh/app.cat"}, "zh_TW", "zh/app.cat"},
      {{}, "fr", ""},
      {{"app.cat"}, "fr", "app.cat"},
      {{"app.cat"}, "C", "app.cat"},  // one character: tries 1 and 2 coincide
      {{"C/app.cat"}, "C", "C/app.cat"},
  };
  for (const auto& test : cases) {
    std::filesystem::remove_all(dir());
    for (const std::string& file : test.files) touch(file);
    EXPECT_EQ(search(test.locale), test.found.empty() ? "" : dir() + "/" + test.found)
        << test.locale;
  }
}

TEST_F(EkMsgSearchTest, PathsAreJoinedWithoutNormalising) {
  touch("fr/app.cat");
  EXPECT_EQ(EkMsg::check_catfile_path(dir() + "/", "fr", "app"), dir() + "//fr/app.cat");
  // An empty directory puts every try at the root of the file system.
  const std::string relative = dir().substr(1) + "/fr/app";
  EXPECT_EQ(EkMsg::check_catfile_path("", "de", relative.c_str()), "/" + relative + ".cat");
  EXPECT_EQ(EkMsg::check_catfile_path("", "de", "no-such-catalog"), "");
}

TEST_F(EkMsgSearchTest, LocalesThatLeaveTheDirectoryAreNotUsedAsDirectories) {
  write_file(root_.file("secret/app.cat"), "");
  touch("x/app.cat");
  for (const char* locale : {"../secret", "x/../../secret", "..", "x/"}) {
    EXPECT_EQ(search(locale), "") << locale;
  }
  touch("app.cat");
  for (const char* locale : {"../secret", "x/../../secret", "..", "x/"}) {
    EXPECT_EQ(search(locale), dir() + "/app.cat") << locale;
  }
}

TEST_F(EkMsgSearchTest, OnlyRegularFilesCount) {
  ASSERT_NO_FATAL_FAILURE(catalog_files::make_fifo(dir() + "/fr_FR/app.cat"));
  std::filesystem::create_directories(dir() + "/fr/app.cat");
  touch("app.cat");
  alarm(30);  // a FIFO opened for reading would wait for a writer
  EXPECT_EQ(search("fr_FR"), dir() + "/app.cat");
  alarm(0);
}

TEST_F(EkMsgSearchTest, UnreadableFilesDoNotCount) {
  touch("fr/app.cat");
  ASSERT_EQ(chmod((dir() + "/fr/app.cat").c_str(), 0), 0);
  for (std::filesystem::path up = dir() + "/fr"; up != up.root_path(); up = up.parent_path()) {
    chmod(up.c_str(), 0755);  // traversable for the unprivileged lookup
    if (up == root_.path()) break;
  }
  Unprivileged nobody;  // root reads every file
  ASSERT_TRUE(nobody.ok());
  EXPECT_EQ(search("fr"), "");
}

TEST_F(EkMsgSearchTest, NullLocaleOrNameFindsNothing) {
  touch("app.cat");
  EXPECT_EQ(search(nullptr), "");
  EXPECT_EQ(EkMsg::check_catfile_path(dir(), "fr", nullptr), "");
}

// ---- Message texts from the shipped catalogs ----

const char* kTable[] = {"eklogger 4", "Server started on port %1$d", "", "Client %1$s connected",
                        "Shutting down"};
const char kFallback[] = "default EkLogger message";
const char kJapaneseStarted[] =
    "\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x90\xE3\x83\xBC\xE3\x81\x8C\xE3\x83\x9D\xE3\x83\xBC"
    "\xE3\x83\x88 %1$d \xE3\x81\xA7\xE8\xB5\xB7\xE5\x8B\x95\xE3\x81\x97\xE3\x81\xBE\xE3\x81"
    "\x97\xE3\x81\x9F";  // サーバーがポート %1$d で起動しました
const char kFrenchConnected[] = "Client %1$s connect\xC3\xA9";

// The process's manager, pointed at the build's catalogs; removed again
// afterwards so that tests run in one process do not see it.
class EkMsgFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = new Log::EkLogManager("server", build_dir() + "/bin");
    manager_->set_catfiles_location(build_dir() + "/bin");
    Log::LogManager::g_log_manager = manager_;
    unsetenv("NLSPATH");
  }
  void TearDown() override {
    Log::LogManager::g_log_manager = nullptr;
    delete manager_;
  }

  Log::EkLogManager* manager_ = nullptr;
};

TEST_F(EkMsgFormatTest, LangSelectsTheShippedTranslation) {
  setenv("LANG", "ja_JP.UTF-8", 1);
  const char* japanese = EkMsg::format(kTable, 1, nullptr);
  ASSERT_NE(japanese, nullptr);
  EXPECT_STREQ(japanese, kJapaneseStarted);
  EXPECT_EQ(EkMsg::format(kTable, 1, "ja"), japanese);
  EXPECT_EQ(EkMsg::format(kTable, 1, "ja_JP"), japanese);
  setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_STREQ(EkMsg::format(kTable, 3, nullptr), kFrenchConnected);
}

TEST_F(EkMsgFormatTest, EnglishGivesTheTableDefault) {
  setenv("LANG", "en_US", 1);
  EXPECT_EQ(EkMsg::format(kTable, 1, nullptr), kTable[1]);
  unsetenv("LANG");
  EXPECT_EQ(EkMsg::format(kTable, 4, nullptr), kTable[4]);
  // A language without a catalog gets the default too.
  EXPECT_EQ(EkMsg::format(kTable, 1, "de_DE"), kTable[1]);
}

TEST_F(EkMsgFormatTest, InvalidLocalesGiveNull) {
  EXPECT_EQ(EkMsg::format(kTable, 1, "ja_JP/../../etc"), nullptr);
  EXPECT_EQ(EkMsg::format(kTable, 1, ""), nullptr);
  setenv("LANG", "../ja", 1);
  EXPECT_EQ(EkMsg::format(kTable, 1, nullptr), nullptr);
}

TEST_F(EkMsgFormatTest, DefaultTextComesFromTheTableWithinItsCount) {
  EXPECT_STREQ(EkMsg::format(kTable, 2, "en_US"), kFallback);  // empty entry
  EXPECT_STREQ(EkMsg::format(kTable, 0, "en_US"), kFallback);
  EXPECT_STREQ(EkMsg::format(kTable, -1, "en_US"), kFallback);
  EXPECT_STREQ(EkMsg::format(kTable, 5, "en_US"), kFallback);
  // The number reaches the catalog whatever the count: message 5 exists.
  EXPECT_STRNE(EkMsg::format(kTable, 5, "fr"), kFallback);
  EXPECT_STREQ(EkMsg::format(kTable, 99, "fr"), kFallback);
}

TEST_F(EkMsgFormatTest, HeaderWithoutCountGivesTheFallback) {
  const char* table[] = {"eklogger", "Server started on port %1$d"};
  EXPECT_STREQ(EkMsg::format(table, 1, "en_US"), kFallback);
  EXPECT_STREQ(EkMsg::format(table, 1, "ja"), kJapaneseStarted);
}

TEST_F(EkMsgFormatTest, HeaderWithoutCatalogNameGivesNull) {
  const char* empty[] = {"", "text"};
  const char* blank[] = {"  \t ", "text"};
  const char* missing[] = {nullptr};
  EXPECT_EQ(EkMsg::format(empty, 1, "ja"), nullptr);
  EXPECT_EQ(EkMsg::format(blank, 1, "ja"), nullptr);
  EXPECT_EQ(EkMsg::format(missing, 1, "ja"), nullptr);
  EXPECT_EQ(EkMsg::format(static_cast<const char**>(nullptr), 1, "ja"), nullptr);
}

TEST_F(EkMsgFormatTest, LongCatalogNameIsCutAt255Characters) {
  const std::string header = std::string(300, 'a') + " 1";
  const char* table[] = {header.c_str(), "one"};
  // The name is cut, so the rest of the word is no count and no catalog
  // of the cut name exists.
  EXPECT_STREQ(EkMsg::format(table, 1, "fr"), kFallback);
}

// Without a manager the bare catalog name goes to the catalog library,
// which searches NLSPATH.
TEST(EkMsgWithoutManagerTest, BareCatalogNameIsSearchedThroughNlsPath) {
  ASSERT_EQ(Log::LogManager::g_log_manager, nullptr);
  setenv("NLSPATH", (build_dir() + "/catfiles/%l/%N.cat").c_str(), 1);
  EXPECT_STREQ(EkMsg::format(kTable, 3, "fr_FR.UTF-8"), kFrenchConnected);
  EXPECT_EQ(EkMsg::format(kTable, 3, "de_DE"), kTable[3]);
  unsetenv("NLSPATH");
  EXPECT_EQ(EkMsg::format(kTable, 3, "fr_FR.UTF-8"), kTable[3]);
}

// ---- Formatting ----

TEST(EkMsgPrintfTest, FormatsATranslatedTextWithReorderedArguments) {
  Log::EkLogManager manager("server", build_dir() + "/bin");
  manager.set_catfiles_location(build_dir() + "/bin");
  Log::LogManager::g_log_manager = &manager;
  const char* table[] = {"eklogger 6", "", "", "", "", "", "%1$d requests received from %2$s"};
  const char* japanese = EkMsg::format(table, 6, "ja_JP.UTF-8");
  Log::LogManager::g_log_manager = nullptr;
  ASSERT_NE(japanese, nullptr);

  nxPrintfArgVal args[3] = {};
  args[0].type = NX_ARG_INT;
  args[0].value.i = 3;
  args[1].type = NX_ARG_STRING;
  args[1].value.s = "db1";
  args[2].type = NX_ARG_END;
  char* text = EkMsg::format(japanese, args);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text,
               "db1 \xE3\x81\x8B\xE3\x82\x89 3 \xE4\xBB\xB6\xE3\x81\xAE\xE8\xA6\x81\xE6\xB1"
               "\x82\xE3\x82\x92\xE5\x8F\x97\xE4\xBF\xA1\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x97"
               "\xE3\x81\x9F");
  OruMemoryFree(text);
  char* english = EkMsg::format(table[6], args);
  EXPECT_STREQ(english, "3 requests received from db1");
  OruMemoryFree(english);
}

TEST(EkMsgPrintfTest, NullFormatGivesNullAndEmptyGivesEmpty) {
  nxPrintfArgVal end[1] = {};
  EXPECT_EQ(EkMsg::format(static_cast<const char*>(nullptr), end), nullptr);
  char* text = EkMsg::format("", end);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  OruMemoryFree(text);
  text = EkMsg::format("no arguments: %s", nullptr);
  EXPECT_STREQ(text, "no arguments: <?>");
  OruMemoryFree(text);
}

}  // namespace

#include "eklogger/platform/catalog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalog_files.h"
#include "test_files.h"

namespace {

const char kSource[] =
    "$set 1\n"
    "1 Bonjour\n"
    "2 \xC3\x89lan \xE6\x97\xA5\xE6\x9C\xAC\n"  // "Élan 日本"
    "3 bad XX end\n"
    "$set 2\n"
    "1 second set\n";
const char kDefault[] = "default text";

// A catalog compiled by gencat into fr/app.cat, and one whose message 3
// carries ill-formed UTF-8, patched into the compiled file.
class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    catalog_path_ = dir_.file("fr/app.cat");
    ASSERT_NO_FATAL_FAILURE(catalog_files::compile_catalog(kSource, catalog_path_));
    std::string bytes = read_file(catalog_path_);
    const std::string::size_type at = bytes.find("XX");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 2, "\xFF\xFE");
    bad_catalog_path_ = dir_.file("bad.cat");
    write_file(bad_catalog_path_, bytes);
    utf8_ = lcs_cs_new("UTF8");
    ASSERT_NE(utf8_, nullptr);
    unsetenv("NLSPATH");
  }
  void TearDown() override { lcs_cs_free(utf8_); }

  // The text of one message of the catalog at path, all objects released.
  const char* lookup(const char* path, int set, int number, lcs_cs* codeset,
                     const char* locale_name = "fr") {
    lcs_loc* locale = lcs_loc_new(locale_name);
    lcs_cat* catalog = lcs_catopen(path, 0, locale);
    EXPECT_NE(catalog, nullptr) << path;
    const char* text = lcs_catgets(catalog, set, number, kDefault, codeset);
    lcs_catclose(catalog);
    lcs_loc_free(locale);
    return text;
  }

  TempDir dir_;
  std::string catalog_path_;
  std::string bad_catalog_path_;
  lcs_cs* utf8_ = nullptr;
};

TEST(CatalogLocaleTest, AcceptsLocaleNamesOnly) {
  for (const char* name : {"ja_JP.UTF-8", "fr", "C", "POSIX", "sr_RS@latin", "de_DE.ISO-8859-15"}) {
    lcs_loc* locale = lcs_loc_new(name);
    EXPECT_NE(locale, nullptr) << name;
    lcs_loc_free(locale);
  }
  for (const char* name : {"", "ja/JP", "../fr", "..", ".fr", "fr FR", "fr\n", "_x"}) {
    EXPECT_EQ(lcs_loc_new(name), nullptr) << name;
  }
  EXPECT_EQ(lcs_loc_new(nullptr), nullptr);
  EXPECT_EQ(lcs_loc_new(std::string(300, 'a').c_str()), nullptr);
  lcs_loc_free(nullptr);
}

TEST_F(CatalogTest, OpensACatalogByPath) {
  EXPECT_STREQ(lookup(catalog_path_.c_str(), 1, 1, utf8_), "Bonjour");
  EXPECT_STREQ(lookup(catalog_path_.c_str(), 1, 2, utf8_), "\xC3\x89lan \xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_STREQ(lookup(catalog_path_.c_str(), 2, 1, utf8_), "second set");
  // No code set object: the catalog's UTF-8.
  EXPECT_STREQ(lookup(catalog_path_.c_str(), 1, 1, nullptr), "Bonjour");
  // A relative path is a path too.
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_STREQ(lookup("fr/app.cat", 1, 1, utf8_), "Bonjour");
}

TEST_F(CatalogTest, TextsAreKeptOnceAndOutliveTheirCatalog) {
  const char* first = lookup(catalog_path_.c_str(), 1, 1, utf8_);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(lookup(catalog_path_.c_str(), 1, 1, utf8_), first);
  }
  lcs_cs* other = lcs_cs_new("UTF-8");
  EXPECT_EQ(lookup(catalog_path_.c_str(), 1, 1, other), first);
  lcs_cs_free(other);
  // Everything that produced it is released; the text stays.
  EXPECT_STREQ(first, "Bonjour");
}

TEST_F(CatalogTest, MissingMessagesGiveTheDefaultPointer) {
  const int cases[][2] = {{1, 99},
                          {3, 1},
                          {0, 1},
                          {1, 0},
                          {-1, 1},
                          {1, -5},
                          {INT_MAX, INT_MAX},
                          {1, INT_MAX},
                          {INT_MAX, 1},
                          {INT_MIN, INT_MIN}};
  for (const auto& test : cases) {
    EXPECT_EQ(lookup(catalog_path_.c_str(), test[0], test[1], utf8_), kDefault)
        << test[0] << "," << test[1];
  }
  EXPECT_EQ(lcs_catgets(nullptr, 1, 1, kDefault, utf8_), kDefault);
}

TEST_F(CatalogTest, UnusableFilesGiveAHandleWithoutCatalog) {
  const std::string catalog = read_file(catalog_path_);
  write_file(dir_.file("empty.cat"), "");
  write_file(dir_.file("garbage.cat"), std::string(4096, '\x5a'));
  write_file(dir_.file("truncated.cat"), catalog.substr(0, catalog.size() / 2));
  write_file(dir_.file("header-only.cat"), catalog.substr(0, 12));
  std::string bad_offset = catalog;
  bad_offset.replace(5 * 4, 4, "\xff\xff\x00\x00");  // first entry's string offset
  write_file(dir_.file("bad-offset.cat"), bad_offset);
  std::string unterminated = catalog;
  unterminated.back() = 'x';  // the last string loses its NUL
  write_file(dir_.file("unterminated.cat"), unterminated);
  ASSERT_NO_FATAL_FAILURE(catalog_files::make_fifo(dir_.file("fifo.cat")));
  // A FIFO must be refused, not waited on: fail fast rather than hang.
  alarm(30);
  for (const std::string name :
       {"missing.cat", "empty.cat", "garbage.cat", "truncated.cat", "header-only.cat",
        "bad-offset.cat", "unterminated.cat", "fifo.cat", "fr"}) {
    EXPECT_EQ(lookup(dir_.file(name).c_str(), 1, 1, utf8_), kDefault) << name;
  }
  alarm(0);
  EXPECT_EQ(lookup("", 1, 1, utf8_), kDefault);
  EXPECT_EQ(lookup(nullptr, 1, 1, utf8_), kDefault);
  lcs_catclose(nullptr);
}

TEST_F(CatalogTest, BareNamesAreFoundThroughNlsPath) {
  setenv("NLSPATH", (dir_.path() + "/none/%N:" + dir_.path() + "/%l/%N.cat").c_str(), 1);
  EXPECT_STREQ(lookup("app", 1, 1, utf8_, "fr_FR.UTF-8"), "Bonjour");
  EXPECT_EQ(lookup("app", 1, 1, utf8_, "de_DE"), kDefault);

  setenv("NLSPATH", (dir_.path() + "/%L/%N.cat").c_str(), 1);
  EXPECT_STREQ(lookup("app", 1, 1, utf8_, "fr"), "Bonjour");
  EXPECT_EQ(lookup("app", 1, 1, utf8_, "fr_FR"), kDefault);

  // Territory, code set and a literal percent sign.
  ASSERT_NO_FATAL_FAILURE(
      catalog_files::compile_catalog(kSource, dir_.file("pt-BR-UTF-8%x/app.cat")));
  setenv("NLSPATH", (dir_.path() + "/%l-%t-%c%%x/%N.cat").c_str(), 1);
  EXPECT_STREQ(lookup("app", 2, 1, utf8_, "pt_BR.UTF-8"), "second set");

  // Without a locale object the process's LANG decides, if it is a locale.
  setenv("NLSPATH", (dir_.path() + "/%l/%N.cat").c_str(), 1);
  setenv("LANG", "fr_CA", 1);
  lcs_cat* catalog = lcs_catopen("app", 0, nullptr);
  EXPECT_STREQ(lcs_catgets(catalog, 1, 1, kDefault, utf8_), "Bonjour");
  lcs_catclose(catalog);
  setenv("LANG", "../fr", 1);
  catalog = lcs_catopen("app", 0, nullptr);
  EXPECT_EQ(lcs_catgets(catalog, 1, 1, kDefault, utf8_), kDefault);
  lcs_catclose(catalog);
}

TEST_F(CatalogTest, NlsPathSkipsFifosAndEmptyTemplates) {
  ASSERT_NO_FATAL_FAILURE(catalog_files::make_fifo(dir_.file("fifo/app")));
  write_file(dir_.file("app"), read_file(catalog_path_));
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  // The empty templates would name ./app; the FIFO is passed over unopened.
  setenv("NLSPATH", (":" + dir_.path() + "/fifo/%N::" + dir_.path() + "/%l/%N.cat:").c_str(), 1);
  alarm(30);
  EXPECT_STREQ(lookup("app", 1, 1, utf8_, "fr"), "Bonjour");
  EXPECT_EQ(lookup("app", 1, 1, utf8_, "de"), kDefault);
  alarm(0);
  // Unset, the system's locale tree is searched, where there is no "app".
  unsetenv("NLSPATH");
  EXPECT_EQ(lookup("app", 1, 1, utf8_, "fr"), kDefault);
}

TEST_F(CatalogTest, ConvertsToTheRequestedCodeSet) {
  lcs_cs* latin1 = lcs_cs_new("ISO-8859-1");
  ASSERT_NE(latin1, nullptr);
  // Japanese has no Latin-1 form: each character becomes "?".
  EXPECT_STREQ(lookup(catalog_path_.c_str(), 1, 2, latin1), "\xC9lan ??");
  lcs_cs_free(latin1);

  lcs_cs* euc_jp = lcs_cs_new("EUC-JP");
  ASSERT_NE(euc_jp, nullptr);
  EXPECT_STREQ(lookup(catalog_path_.c_str(), 1, 2, euc_jp), "\x8F\xAA\xB1lan \xC6\xFC\xCB\xDC");
  lcs_cs_free(euc_jp);

  for (const char* name : {"UTF8", "UTF-8", "utf-8"}) {
    lcs_cs* utf8 = lcs_cs_new(name);
    ASSERT_NE(utf8, nullptr) << name;
    EXPECT_EQ(lookup(catalog_path_.c_str(), 1, 2, utf8),
              lookup(catalog_path_.c_str(), 1, 2, utf8_));
    lcs_cs_free(utf8);
  }
}

TEST(CatalogCodeSetTest, RefusesCodeSetsThatCannotCarryAText) {
  for (const char* name :
       {"", "NO-SUCH-CODESET", "UTF-16", "UCS-4", "ISO-8859-1//TRANSLIT", "../UTF-8", "UTF 8"}) {
    EXPECT_EQ(lcs_cs_new(name), nullptr) << name;
  }
  EXPECT_EQ(lcs_cs_new(nullptr), nullptr);
  lcs_cs_free(nullptr);
}

TEST_F(CatalogTest, IllFormedBytesNeverReachTheCaller) {
  EXPECT_STREQ(lookup(bad_catalog_path_.c_str(), 1, 3, utf8_), "bad \xEF\xBF\xBD\xEF\xBF\xBD end");
  lcs_cs* latin1 = lcs_cs_new("ISO-8859-1");
  ASSERT_NE(latin1, nullptr);
  EXPECT_STREQ(lookup(bad_catalog_path_.c_str(), 1, 3, latin1), "bad ?? end");
  lcs_cs_free(latin1);
  EXPECT_STREQ(lookup(bad_catalog_path_.c_str(), 1, 1, utf8_), "Bonjour");
}

TEST_F(CatalogTest, ConcurrentLookupsAgree) {
  lcs_cs* shared_latin1 = lcs_cs_new("ISO-8859-1");
  ASSERT_NE(shared_latin1, nullptr);
  std::vector<std::set<const char*>> seen(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        lcs_loc* locale = lcs_loc_new("fr");
        lcs_cat* catalog = lcs_catopen(catalog_path_.c_str(), 0, locale);
        seen[t].insert(lcs_catgets(catalog, 1, 1 + i % 2, kDefault, utf8_));
        seen[t].insert(lcs_catgets(catalog, 1, 2, kDefault, shared_latin1));
        lcs_catclose(catalog);
        lcs_loc_free(locale);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  lcs_cs_free(shared_latin1);
  for (const auto& texts : seen) {
    EXPECT_EQ(texts, seen[0]);
    EXPECT_EQ(texts.size(), 3u);
  }
}

}  // namespace

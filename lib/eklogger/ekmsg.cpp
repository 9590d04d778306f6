#include "eklogger/ekmsg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eklogger/eklogmanager.h"
#include "eklogger/platform/catalog.h"

namespace Log {

namespace {

const char kLocaleVariable[] = "LANG";
const char kDefaultLocale[] = "en_US";
const char kCatalogCodeset[] = "UTF8";
const char kCatalogSuffix[] = ".cat";
const char kFallbackText[] = "default EkLogger message";
const int kCatalogSet = 1;

// True when path names a regular file that opens for reading.  Opened
// without blocking, so that a FIFO on the search path (which would wait for
// a writer) is simply refused.
bool check_path(const std::string& path) {
  if (path.empty()) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  close(fd);
  return regular;
}

// A locale is a directory name only when it cannot leave the catalog
// directory: LANG comes from whoever starts the process.
bool is_safe_directory_name(const char* locale) {
  return std::strchr(locale, '/') == nullptr && std::strstr(locale, "..") == nullptr;
}

}  // namespace

std::string EkMsg::check_catfile_path(const std::string& dir, const char* locale,
                                      const char* name) {
  if (locale == nullptr || name == nullptr) return std::string();
  if (std::strncmp(locale, "en", 2) == 0) return std::string();

  const std::string file_name = std::string(name) + kCatalogSuffix;
  if (is_safe_directory_name(locale)) {
    std::string path = dir + "/" + locale + "/" + file_name;
    if (check_path(path)) return path;

    std::string language;
    if (std::strcmp(locale, "ja") == 0) {
      language = "ja_JP";
    } else if (std::strcmp(locale, "zh") == 0) {
      language = "zh_CN";
    } else {
      language.assign(locale, strnlen(locale, 2));
    }
    path = dir + "/" + language + "/" + file_name;
    if (check_path(path)) return path;
  }

  std::string path = dir + "/" + file_name;
  if (check_path(path)) return path;
  return std::string();
}

const char* EkMsg::format(const char** table, int number, const char* locale) {
  if (table == nullptr || table[0] == nullptr) return nullptr;
  if (locale == nullptr) {
    locale = std::getenv(kLocaleVariable);
    if (locale == nullptr) locale = kDefaultLocale;
  }

  // The catalog name is one word of at most 255 characters; a longer word
  // is cut there.  Without any word there is no catalog to ask.
  char catalog_name[256] = {};
  int count = 0;
  if (std::sscanf(table[0], "%255s %d", catalog_name, &count) < 1) return nullptr;

  std::string catalog_path = catalog_name;
  if (const auto* manager = dynamic_cast<const EkLogManager*>(LogManager::g_log_manager)) {
    catalog_path = manager->get_catfiles_location();
    if (!catalog_path.empty()) {
      catalog_path = check_catfile_path(catalog_path, locale, catalog_name);
    }
  }

  lcs_loc* locale_object = lcs_loc_new(locale);
  if (locale_object == nullptr) return nullptr;
  lcs_cat* catalog = lcs_catopen(catalog_path.c_str(), 0, locale_object);
  lcs_cs* codeset = lcs_cs_new(kCatalogCodeset);
  if (codeset == nullptr) {
    lcs_loc_free(locale_object);
    lcs_catclose(catalog);
    return nullptr;
  }

  const char* default_text = kFallbackText;
  if (number > 0 && number <= count && table[number][0] != '\0') default_text = table[number];
  const char* text = lcs_catgets(catalog, kCatalogSet, number, default_text, codeset);

  lcs_cs_free(codeset);
  lcs_catclose(catalog);
  lcs_loc_free(locale_object);
  return text;
}

char* EkMsg::format(const char* format_text, nxPrintfArgVal* args) {
  if (format_text == nullptr) return nullptr;
  NxStringBuff buffer = {nullptr, 0, 0};
  NxStringBuffPrintfA(nullptr, &buffer, format_text, args);
  return NxStringBuffTakeStr(&buffer);
}

}  // namespace Log

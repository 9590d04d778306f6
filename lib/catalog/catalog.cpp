// Catalog handles: X/Open message catalogs (gencat's format) opened with
// catopen and read with catgets, found by path or through NLSPATH.
//
// Every candidate file is checked before catopen sees it: it must be a
// regular file that opens without blocking, so a FIFO or a device on the
// search path cannot stall the caller.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "lcs_internal.h"

namespace lcs {

namespace {

// The search when NLSPATH is unset: the system's locale tree, by full
// locale name and then by language.
constexpr char kDefaultNlsPath[] =
    "/usr/share/locale/%L/%N:/usr/share/locale/%L/LC_MESSAGES/%N:"
    "/usr/share/locale/%l/%N:/usr/share/locale/%l/LC_MESSAGES/%N";

bool is_regular_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  close(fd);
  return regular;
}

nl_catd open_catalog_file(const std::string& path) {
  if (!is_regular_file(path)) return kNoCatalog;
  // catopen validates the file's layout and returns -1 for anything that
  // is not a catalog.  The path holds a "/", so catopen takes it as is.
  return catopen(path.c_str(), 0);
}

// Expands one NLSPATH template: %N name, %L locale, %l language,
// %t territory, %c code set, %% a percent sign.  Any other "%x" is kept.
std::string expand_template(const std::string& pattern, const char* name, const lcs_loc& locale) {
  std::string path;
  for (std::string::size_type i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      path += pattern[i];
      continue;
    }
    switch (pattern[++i]) {
      case 'N': path += name; break;
      case 'L': path += locale.name; break;
      case 'l': path += locale.language; break;
      case 't': path += locale.territory; break;
      case 'c': path += locale.codeset; break;
      case '%': path += '%'; break;
      default:
        path += '%';
        path += pattern[i];
        break;
    }
  }
  return path;
}

// The locale a bare catalog name is looked up in when the caller gave no
// locale object: LC_MESSAGES with NL_CAT_LOCALE, LANG otherwise, "C" when
// that is unset or not a locale name.
lcs_loc process_locale(int flags) {
  const char* name = (flags & NL_CAT_LOCALE) != 0 ? std::setlocale(LC_MESSAGES, nullptr)
                                                  : secure_getenv("LANG");
  lcs_loc locale;
  split_locale_name(is_valid_locale_name(name) ? name : "C", &locale);
  return locale;
}

nl_catd search_catalog(const char* name, int flags, const lcs_loc* given) {
  const lcs_loc locale = given != nullptr ? *given : process_locale(flags);
  // Ignored in set-user-ID programs, as the C library does.
  const char* nls_path = secure_getenv("NLSPATH");
  const std::string search = nls_path != nullptr ? nls_path : kDefaultNlsPath;
  std::string::size_type start = 0;
  while (start <= search.size()) {
    std::string::size_type end = search.find(':', start);
    if (end == std::string::npos) end = search.size();
    const std::string pattern = search.substr(start, end - start);
    start = end + 1;
    // An empty template would mean the working directory: not searched.
    if (pattern.empty()) continue;
    std::string path = expand_template(pattern, name, locale);
    if (path.find('/') == std::string::npos) path = "./" + path;
    const nl_catd catalog = open_catalog_file(path);
    if (catalog != kNoCatalog) return catalog;
  }
  return kNoCatalog;
}

}  // namespace

}  // namespace lcs

extern "C" {

lcs_cat* lcs_catopen(const char* path, int flags, lcs_loc* locale) {
  lcs_cat* result = new lcs_cat{lcs::kNoCatalog};
  if (path == nullptr || path[0] == '\0') return result;
  if (std::strchr(path, '/') != nullptr) {
    result->catalog = lcs::open_catalog_file(path);
  } else {
    result->catalog = lcs::search_catalog(path, flags, locale);
  }
  return result;
}

const char* lcs_catgets(lcs_cat* catalog, int set, int number, const char* default_text,
                        lcs_cs* codeset) {
  if (catalog == nullptr || catalog->catalog == lcs::kNoCatalog) return default_text;
  // The C library hashes (set + 1) * number in int: keep that in range.
  if (set < 1 || number < 1 || static_cast<long long>(set + 1LL) * number > INT_MAX) {
    return default_text;
  }
  const char* text = catgets(catalog->catalog, set, number, nullptr);
  if (text == nullptr) return default_text;
  return lcs::intern_text(lcs::convert_text(codeset, lcs::sanitize_utf8(text)));
}

void lcs_catclose(lcs_cat* catalog) {
  if (catalog == nullptr) return;
  if (catalog->catalog != lcs::kNoCatalog) catclose(catalog->catalog);
  delete catalog;
}

}  // extern "C"

// Catalog handles: X/Open message catalogs (gencat's format) opened with
// catopen and read with catgets, found by path or through NLSPATH.
//
// Every candidate file is checked before catopen sees it: it must be a
// regular file that opens without blocking, so a FIFO or a device on the
// search path cannot stall the caller, and its message table must point
// inside the file, so a damaged catalog cannot make a lookup read past it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "catalog/lcs_internal.h"

namespace lcs {

namespace {

// The search when NLSPATH is unset: the system's locale tree, by full
// locale name and then by language.
constexpr char kDefaultNlsPath[] =
    "/usr/share/locale/%L/%N:/usr/share/locale/%L/LC_MESSAGES/%N:"
    "/usr/share/locale/%l/%N:/usr/share/locale/%l/LC_MESSAGES/%N";

// gencat's layout: a header of magic, plane size and plane depth (32-bit
// words), the message table (set + 1, number, string offset per entry) in
// the writer's byte order, the same table in the other byte order, then
// the NUL-terminated strings.
constexpr uint32_t kCatalogMagic = 0x960408deU;
constexpr size_t kHeaderWords = 3;
// Far beyond any real catalog; a bigger file is not read.
constexpr off_t kMaxCatalogSize = 64 << 20;

uint32_t swap_bytes(uint32_t value) { return __builtin_bswap32(value); }

// True when every string the message table points to lies, NUL-terminated,
// inside the file.  catopen checks less: a truncated catalog passes it and
// its lookups then read beyond the file's end.
bool is_well_formed_catalog(const std::vector<uint32_t>& words, size_t size) {
  if (size < kHeaderWords * sizeof(uint32_t)) return false;
  bool swapped;
  if (words[0] == kCatalogMagic) {
    swapped = false;
  } else if (words[0] == swap_bytes(kCatalogMagic)) {
    swapped = true;
  } else {
    return false;
  }
  const uint64_t plane_size = swapped ? swap_bytes(words[1]) : words[1];
  const uint64_t plane_depth = swapped ? swap_bytes(words[2]) : words[2];
  if (plane_size == 0 || plane_depth == 0) return false;
  const uint64_t table_words = 3 * plane_size * plane_depth;  // no overflow: both < 2^32
  if (table_words > (size / sizeof(uint32_t) - kHeaderWords) / 2) return false;
  const size_t strings_begin = (kHeaderWords + 2 * table_words) * sizeof(uint32_t);
  const size_t strings_size = size - strings_begin;
  const char* strings = reinterpret_cast<const char*>(words.data()) + strings_begin;
  // A reader whose byte order differs from the writer's uses the second table.
  const uint32_t* table = words.data() + kHeaderWords + (swapped ? table_words : 0);
  for (uint64_t entry = 0; entry < table_words; entry += 3) {
    if (table[entry] == 0) continue;  // an empty slot
    const uint32_t offset = table[entry + 2];
    if (offset >= strings_size) return false;
    if (std::memchr(strings + offset, '\0', strings_size - offset) == nullptr) return false;
  }
  return true;
}

// Reads and checks the candidate without blocking: only a regular,
// well-formed catalog file passes.
bool is_catalog_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  bool usable =
      fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kMaxCatalogSize;
  if (usable) {
    const size_t size = static_cast<size_t>(status.st_size);
    std::vector<uint32_t> words(size / sizeof(uint32_t) + 1, 0);
    size_t done = 0;
    while (done < size) {
      const ssize_t got = read(fd, reinterpret_cast<char*>(words.data()) + done, size - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    usable = done == size && is_well_formed_catalog(words, size);
  }
  close(fd);
  return usable;
}

nl_catd open_catalog_file(const std::string& path) {
  if (!is_catalog_file(path)) return kNoCatalog;
  // The path holds a "/", so catopen takes it as it is.  Replacing the file
  // between the check and this open is left to whoever may write the
  // catalog directory.
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
      case 'N':
        path += name;
        break;
      case 'L':
        path += locale.name;
        break;
      case 'l':
        path += locale.language;
        break;
      case 't':
        path += locale.territory;
        break;
      case 'c':
        path += locale.codeset;
        break;
      case '%':
        path += '%';
        break;
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
  const char* name =
      (flags & NL_CAT_LOCALE) != 0 ? std::setlocale(LC_MESSAGES, nullptr) : secure_getenv("LANG");
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

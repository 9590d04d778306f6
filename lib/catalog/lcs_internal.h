// The message-catalog library's objects and the helpers its calls share.
// A locale and a catalog handle are read-only after creation and may be
// used from several threads; a code set serialises its converter itself.
#ifndef LCS_INTERNAL_H_
#define LCS_INTERNAL_H_

#include <iconv.h>
#include <nl_types.h>

#include <mutex>
#include <string>

#include "eklogger/platform/catalog.h"

// A validated locale name and its parts, for catalog path templates:
// language[_territory][.codeset][@modifier].
struct lcs_loc {
  std::string name;
  std::string language;
  std::string territory;
  std::string codeset;
};

// An open catalog, or none (catalog == kNoCatalog) when the path named no
// usable catalog file.
struct lcs_cat {
  nl_catd catalog;
};

// A conversion from the catalogs' UTF-8 to one code set.
struct lcs_cs {
  bool to_utf8 = false;
  // What an unrepresentable character becomes, already in the code set.
  std::string replacement;
  std::mutex mutex;
  iconv_t converter = reinterpret_cast<iconv_t>(-1);  // guarded by mutex; unused for UTF-8
};

namespace lcs {

inline const nl_catd kNoCatalog = reinterpret_cast<nl_catd>(-1);

// True for a name made of the characters locale names use, beginning with a
// letter, at most 255 characters long.
bool is_valid_locale_name(const char* name);
// Fills the parts of a valid locale name.
void split_locale_name(const std::string& name, lcs_loc* locale);

// The text with every byte that is not part of a well-formed UTF-8
// sequence replaced by U+FFFD.
std::string sanitize_utf8(const char* text);
// Converts well-formed UTF-8 to the code set.
std::string convert_text(lcs_cs* codeset, const std::string& utf8);

// A lock held across every fork() from now until it is withdrawn, which
// must happen before it is destroyed (fork_handlers.cpp).
void hold_across_fork(std::mutex& mutex);
void withdraw_from_fork(std::mutex& mutex);

// The process's single copy of text: equal texts give the same pointer,
// valid until the process ends.  Safe from several threads.
const char* intern_text(const std::string& text);

}  // namespace lcs

#endif  // LCS_INTERNAL_H_

// Message texts by number in the user's language, from catalog files found
// by locale below the manager's catalog directory, with default texts that
// the caller supplies; and printf-style formatting over typed arguments.
//
// Stateless; safe from several threads as far as the catalog library and
// the runtime are (both are).  Reads the environment variable LANG.
#ifndef EKLOGGER_EKMSG_H_
#define EKLOGGER_EKMSG_H_

#include <string>

#include "eklogger/export.h"
#include "eklogger/platform/runtime.h"

namespace Log {

class EKLOGGER_EXPORT EkMsg {
 public:
  EkMsg() = delete;

  // The catalog file dir/<locale>/<name>.cat, dir/<language>/<name>.cat or
  // dir/<name>.cat, the first that is a readable regular file; "" when none
  // is, for English locales (those beginning "en"), and for a null locale
  // or name.  The language is the locale's first two characters, except
  // that "ja" alone means ja_JP and "zh" alone zh_CN.  A locale holding "/"
  // or ".." is never used as a directory: only dir/<name>.cat is tried.
  static std::string check_catfile_path(const std::string& dir, const char* locale,
                                        const char* name);
  // The text of message `number` (set 1) of the catalog named by table[0],
  // "<catalog name> <count>", in `locale` (null: LANG, else en_US), in
  // UTF-8.  Falls back to table[number] when 1 <= number <= count and that
  // entry is not empty, else to "default EkLogger message".  Null when the
  // table or its header is null, the header holds no catalog name, or the
  // locale is not a locale name.
  // The text belongs to the catalog library, stays valid for the life of
  // the process and is not to be freed; a default text is the table's own.
  static const char* format(const char** table, int number, const char* locale);
  // format_text formatted with args (an array ending with NX_ARG_END) by
  // the runtime's NxStringBuffPrintfA.  Null for a null format text.  The
  // caller owns the text and frees it with OruMemoryFree.
  static char* format(const char* format_text, nxPrintfArgVal* args);
};

}  // namespace Log

#endif  // EKLOGGER_EKMSG_H_

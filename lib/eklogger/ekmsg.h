// Message texts by number in the user's language, from catalog files found
// by locale below the manager's catalog directory, with default texts that
// the caller supplies; and printf-style formatting over typed arguments.
//
// Stateless; safe from several threads as far as the catalog library and
// the runtime are.
#ifndef EKLOGGER_EKMSG_H_
#define EKLOGGER_EKMSG_H_

#include <string>

#include "eklogger/export.h"
#include "eklogger/platform/runtime.h"

namespace Log {

class EKLOGGER_EXPORT EkMsg {
 public:
  EkMsg() = delete;

  // The catalog file for name in locale below dir, or "".
  static std::string check_catfile_path(const std::string& dir, const char* locale,
                                        const char* name);
  // The text of message number from the catalog named by table[0]
  // ("<catalog name> <count>"), or its default text; null on failure.
  static const char* format(const char** table, int number, const char* locale);
  // The formatted text, or null for a null format text.
  static char* format(const char* format_text, nxPrintfArgVal* args);
};

}  // namespace Log

#endif  // EKLOGGER_EKMSG_H_

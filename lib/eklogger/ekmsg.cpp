#include "eklogger/ekmsg.h"

namespace Log {

// Placeholder until the catalog lookup lands.
std::string EkMsg::check_catfile_path(const std::string&, const char*, const char*) {
  return std::string();
}

const char* EkMsg::format(const char**, int, const char*) { return nullptr; }

char* EkMsg::format(const char*, nxPrintfArgVal*) { return nullptr; }

}  // namespace Log

// Locale objects: a locale name checked and split into the parts that
// catalog path templates substitute.
#include <algorithm>
#include <cstring>

#include "catalog/lcs_internal.h"

namespace lcs {

namespace {
constexpr size_t kMaxLocaleNameLength = 255;

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool is_valid_locale_name(const char* name) {
  if (name == nullptr || !is_ascii_letter(name[0])) return false;
  size_t length = 0;
  for (const char* p = name; *p != '\0'; ++p, ++length) {
    if (length >= kMaxLocaleNameLength) return false;
    // No "/" ever: the name becomes a path component.
    if (!is_ascii_letter(*p) && !is_ascii_digit(*p) && std::strchr("_.@+=,-", *p) == nullptr) {
      return false;
    }
  }
  return true;
}

void split_locale_name(const std::string& name, lcs_loc* locale) {
  locale->name = name;
  const std::string::size_type modifier = name.find('@');
  const std::string base = name.substr(0, modifier);
  const std::string::size_type dot = base.find('.');
  const std::string::size_type underscore = base.find('_');
  locale->language = base.substr(0, std::min(dot, underscore));
  if (underscore != std::string::npos && (dot == std::string::npos || underscore < dot)) {
    locale->territory = base.substr(
        underscore + 1, dot == std::string::npos ? std::string::npos : dot - underscore - 1);
  }
  if (dot != std::string::npos) locale->codeset = base.substr(dot + 1);
}

}  // namespace lcs

extern "C" {

lcs_loc* lcs_loc_new(const char* locale) {
  if (!lcs::is_valid_locale_name(locale)) return nullptr;
  lcs_loc* result = new lcs_loc;
  lcs::split_locale_name(locale, result);
  return result;
}

void lcs_loc_free(lcs_loc* locale) { delete locale; }

}  // extern "C"

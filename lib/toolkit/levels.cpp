#include "levels.h"

#include <strings.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>

namespace gw {

namespace {

struct NamedLevel {
  const char* name;
  int value;
};

constexpr NamedLevel kNamedLevels[] = {
    {"OFF", kLevelOff},       {"SEVERE", kLevelSevere}, {"WARNING", kLevelWarning},
    {"INFO", kLevelInfo},     {"FINE", kLevelFine},     {"FINER", kLevelFiner},
    {"FINEST", kLevelFinest}, {"ALL", kLevelAll},
};

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<int> parse_level(std::string_view text) {
  text = trim(text);
  if (text.empty() || text.size() > 16) return std::nullopt;
  const std::string copy(text);
  for (const NamedLevel& level : kNamedLevels) {
    if (strcasecmp(copy.c_str(), level.name) == 0) return level.value;
  }
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(copy.c_str(), &end, 10);
  if (errno != 0 || end != copy.c_str() + copy.size() || value < INT_MIN || value > INT_MAX) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

std::string_view level_name(int level, char (&buffer)[12]) {
  for (const NamedLevel& named : kNamedLevels) {
    if (named.value == level && level != kLevelOff && level != kLevelAll) return named.name;
  }
  // "-2147483648" is the longest: 11 characters.
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, level);
  return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

}  // namespace gw

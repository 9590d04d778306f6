#include "toolkit/levels.h"

#include <strings.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>

namespace gw {

namespace {

struct NamedLevel {
  std::string_view name;  // from a literal: NUL-terminated
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
    if (strcasecmp(copy.c_str(), level.name.data()) == 0) return level.value;
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
  // Every record asks: a switch, not a search, into the one table.
  static_assert(kNamedLevels[1].value == kLevelSevere && kNamedLevels[6].value == kLevelFinest,
                "the named levels' order");
  switch (level) {
    case kLevelSevere:
      return kNamedLevels[1].name;
    case kLevelWarning:
      return kNamedLevels[2].name;
    case kLevelInfo:
      return kNamedLevels[3].name;
    case kLevelFine:
      return kNamedLevels[4].name;
    case kLevelFiner:
      return kNamedLevels[5].name;
    case kLevelFinest:
      return kNamedLevels[6].name;
    default:
      break;
  }
  // "-2147483648" is the longest: 11 characters.
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, level);
  return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

}  // namespace gw

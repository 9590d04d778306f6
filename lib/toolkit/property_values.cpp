#include "toolkit/property_values.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "toolkit/file_sink.h"

namespace gw {

std::vector<std::string_view> split_names(std::string_view text) {
  std::vector<std::string_view> names;
  std::size_t start = 0;
  const auto separator = [](char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
  };
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || separator(text[i])) {
      if (i > start) names.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return names;
}

bool parse_unsigned(std::string_view text, int base, unsigned long long max,
                    unsigned long long& value) {
  if (text.empty() || text.size() > 24) return false;
  const std::string copy(text);
  if (copy[0] == '-' || copy[0] == '+' || copy[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(copy.c_str(), &end, base);
  return errno == 0 && end == copy.c_str() + copy.size() && value <= max;
}

bool parse_bounded(std::string_view text, unsigned long long most, unsigned long long& value,
                   bool& above) {
  if (text.empty()) return false;
  value = 0;
  above = false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (above || value > (most - digit) / 10) {
      above = true;
    } else {
      value = value * 10 + digit;
    }
  }
  if (above) value = most;
  return true;
}

namespace {

// A decimal number taken at most if above it; nullopt for anything else.
template <typename Number>
std::optional<Number> parse_at_most(std::string_view text, unsigned long long most) {
  unsigned long long value = 0;
  bool above = false;
  if (!parse_bounded(text, most, value, above)) return std::nullopt;
  return static_cast<Number>(value);
}

}  // namespace

std::optional<std::int64_t> parse_limit(std::string_view text) {
  return parse_at_most<std::int64_t>(text, kMostFileLimit);
}

std::optional<int> parse_count(std::string_view text) {
  return parse_at_most<int>(text, kMostRotatedFiles);
}

std::optional<std::size_t> parse_staging(std::string_view text) {
  return parse_at_most<std::size_t>(text, kMostStagingBytes);
}

std::optional<int> parse_flush_delay(std::string_view text) {
  return parse_at_most<int>(text, kMostFlushDelayMs);
}

std::optional<mode_t> parse_permissions(std::string_view text) {
  unsigned long long value = 0;
  if (!parse_unsigned(text, 8, 0777, value)) return std::nullopt;
  return static_cast<mode_t>(value & kLogFileModeMask);
}

std::optional<key_t> parse_ipc_key(std::string_view text) {
  if (text.empty() || text.size() > 24) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long key = std::strtol(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || key < INT32_MIN || key > INT32_MAX) return std::nullopt;
  return static_cast<key_t>(key);
}

namespace {

// text is word, a word of lower-case letters and digits, in any case.
bool is_word(std::string_view text, std::string_view word) {
  return text.size() == word.size() &&
         std::equal(text.begin(), text.end(), word.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a | 0x20) : a) == b;
         });
}

}  // namespace

std::optional<RotateEvery> parse_rotate(std::string_view text) {
  const auto is = [text](std::string_view word) { return is_word(text, word); };
  if (is("daily")) return RotateEvery::kDay;
  if (is("hourly")) return RotateEvery::kHour;
  if (is("none")) return RotateEvery::kNever;
  return std::nullopt;
}

std::optional<int> parse_max_age(std::string_view text) {
  return parse_at_most<int>(text, kMostMaxAgeDays);
}

std::optional<bool> parse_compress(std::string_view text) {
  if (is_word(text, "gzip")) return true;
  if (is_word(text, "none")) return false;
  return std::nullopt;
}

std::optional<bool> parse_switch(std::string_view text) {
  if (is_word(text, "1") || is_word(text, "true")) return true;
  if (is_word(text, "0") || is_word(text, "false")) return false;
  return std::nullopt;
}

int control_character(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return byte;
  }
  return -1;
}

bool climbs(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::string_view component = name.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (component == "..") return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

std::string quoted(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out.append("\\x");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string_view effective_class(const Object& object, const PropMap& props,
                                 const ConfigFile& config) {
  const std::optional<std::string_view> named = effective_value(object, props, config, "className");
  ObjectKind kind;
  if (named && kind_of_class(*named, kind) && kind == object.kind) return *named;
  if (named) {
    // A run-time value that does not fit: the configured one may.
    if (const ConfigFile::Entry* entry = config.lookup(object.name, "className")) {
      if (kind_of_class(entry->value, kind) && kind == object.kind) return entry->value;
    }
  }
  return default_class(object.kind);
}

}  // namespace gw

// Reading a configured object's property values: the run-time value or
// the configured one, names in lists, and the parsing and bounds of the
// file handler's numbers and names, each written once for the checks of
// the configuration and for building what it configures.  Every function
// is safe from any thread; none keeps what it is given.
#ifndef EKLOGGER_TOOLKIT_PROPERTY_VALUES_H_
#define EKLOGGER_TOOLKIT_PROPERTY_VALUES_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/config.h"
#include "toolkit/file_sink.h"
#include "toolkit/objects.h"

namespace gw {

// The bounds of a file handler's numbers.  count bounds the rotated files
// kept; the limit's bound (1 PiB, far beyond any file) keeps sums of sizes
// far from overflowing.  A larger number is taken at the bound, with a
// report, since what was meant is plainly "many" or "huge".
constexpr unsigned long long kMostRotatedFiles = 10000;
// A staged record waits at most a minute, in an area of at most 1 GiB.
constexpr unsigned long long kMostFlushDelayMs = 60000;
constexpr unsigned long long kMostStagingBytes = 1ULL << 30;
constexpr unsigned long long kMostFileLimit = 1ULL << 50;
constexpr unsigned long long kMostMaxAgeDays = 100000;

// The longest interval of toolkit.reloadInterval: a day.
constexpr unsigned long long kMostReloadInterval = 86400;

// The object's run-time value of property, or null.  (Inline, as the
// next: a decorated trace record reads a property.)
inline const std::string* find_prop(const PropMap& props, std::string_view property) {
  const auto found = props.find(property);
  return found == props.end() ? nullptr : &found->second;
}

// The run-time value, else the configured (own or inherited) one.
inline std::optional<std::string_view> effective_value(const Object& object, const PropMap& props,
                                                       const ConfigFile& config,
                                                       std::string_view property) {
  if (const std::string* value = find_prop(props, property)) return std::string_view(*value);
  if (const ConfigFile::Entry* entry = config.lookup(object.name, property)) {
    return std::string_view(entry->value);
  }
  return std::nullopt;
}

// The run-time value of property when parse takes it, else the configured
// (own or inherited) one when parse takes that: a wrong run-time value is
// kept, but without effect.
template <typename Parse>
auto first_parsed(const Object& object, const PropMap& props, const ConfigFile& config,
                  std::string_view property, Parse parse) -> decltype(parse(std::string_view())) {
  if (const std::string* own = find_prop(props, property)) {
    if (auto parsed = parse(std::string_view(*own))) return parsed;
  }
  if (const ConfigFile::Entry* entry = config.lookup(object.name, property)) {
    if (auto parsed = parse(std::string_view(entry->value))) return parsed;
  }
  return std::nullopt;
}

// The effective class of an object: its run-time or configured className
// when that is a known class of its kind, else its kind's default class.
std::string_view effective_class(const Object& object, const PropMap& props,
                                 const ConfigFile& config);

// Names in a list separated by commas and/or white space.
std::vector<std::string_view> split_names(std::string_view text);

// A number in base of at most max, digits alone; false for anything else.
bool parse_unsigned(std::string_view text, int base, unsigned long long max,
                    unsigned long long& value);

// A decimal number of digits alone; false for anything else.  A number
// above most, however long, gives most, with above set.
bool parse_bounded(std::string_view text, unsigned long long most, unsigned long long& value,
                   bool& above);

// The file handler's numbers as they apply (taken at their bounds, the
// permissions without execute bits); nullopt for a wrong value.
std::optional<std::int64_t> parse_limit(std::string_view text);
std::optional<int> parse_count(std::string_view text);
std::optional<mode_t> parse_permissions(std::string_view text);
// "daily", "hourly" or "none" (any case) for rotate; maxAge in days, at
// most kMostMaxAgeDays.
std::optional<RotateEvery> parse_rotate(std::string_view text);
std::optional<int> parse_max_age(std::string_view text);
// "gzip" or "none" for compress: whether rotated files are compressed.
std::optional<bool> parse_compress(std::string_view text);
// "1", "true", "0" or "false" (any case).
std::optional<bool> parse_switch(std::string_view text);
// A staging area's size in bytes (0: none), and the longest a staged record
// waits, in milliseconds.
std::optional<std::size_t> parse_staging(std::string_view text);
std::optional<int> parse_flush_delay(std::string_view text);
// An MPFileSemKey: a decimal int, as the library writes ftok's key.
std::optional<key_t> parse_ipc_key(std::string_view text);

// The first control character (a byte below 0x20, or 0x7f) of text, or -1.
// Such a byte in a file name makes a name that no listing shows as it is
// and that splits any line reporting it.
int control_character(std::string_view text);

// True when a relative name has a ".." component, so that it would climb
// out of whatever directory it is placed in.
bool climbs(std::string_view name);

// The text in quotes, its control characters written \xHH, so that a
// report stays one line whatever the value holds.
std::string quoted(std::string_view text);

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_PROPERTY_VALUES_H_

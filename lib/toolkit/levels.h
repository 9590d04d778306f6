// Level numbers of the toolkit and their names: OFF, SEVERE 6000 ... FINEST
// 1000, ALL 0.  A logger or handler at level L passes a record of level R
// when L is not OFF and R >= L.  Pure functions, safe from any thread.
#ifndef EKLOGGER_TOOLKIT_LEVELS_H_
#define EKLOGGER_TOOLKIT_LEVELS_H_

#include <climits>
#include <optional>
#include <string_view>

namespace gw {

constexpr int kLevelOff = INT_MAX;  // passes nothing, whatever the record
constexpr int kLevelSevere = 6000;
constexpr int kLevelWarning = 5000;
constexpr int kLevelInfo = 4000;
constexpr int kLevelFine = 3000;
constexpr int kLevelFiner = 2000;
constexpr int kLevelFinest = 1000;
constexpr int kLevelAll = 0;

// A level name (case-insensitive, surrounding blanks ignored) or a decimal
// number that fits an int; nullopt for anything else.
std::optional<int> parse_level(std::string_view text);

// The name of a level number: "SEVERE", "WARNING", "INFO", "FINE",
// "FINER", "FINEST", or the number itself for any other value (written
// into buffer, which needs 12 bytes).
std::string_view level_name(int level, char (&buffer)[12]);

constexpr bool level_passes(int threshold, int level) {
  return threshold != kLevelOff && level >= threshold;
}

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_LEVELS_H_

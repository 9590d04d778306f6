// Which records eklog passes on: level at or above, names by glob, process
// and thread, time range, catalog and message number, and a PCRE2 pattern
// on the text.  A Filter is built once from the options and then only read,
// except for the pattern's match space: one Filter per thread.
#ifndef EKLOG_FILTERS_H_
#define EKLOG_FILTERS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record.h"

namespace eklog {

struct FilterOptions {
  bool has_min_level = false;
  int min_level = 0;
  std::vector<std::string> loggers, components, products;  // exact or glob, any of them
  std::vector<std::int64_t> pids, tids;
  bool has_since = false, has_until = false;
  std::int64_t since_us = 0, until_us = 0;  // since inclusive, until exclusive
  std::vector<std::string> catalogs;
  std::vector<std::int64_t> numbers;
  std::string pattern;  // PCRE2, on the text; empty for none
};

class Filter {
 public:
  // False, with a reason, if the pattern does not compile.
  Filter();
  ~Filter();
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;
  bool init(const FilterOptions& options, std::string& error);

  bool accepts(const RecordView& record) const;
  // Whether any condition is set: lines that are no record pass only when not.
  bool any() const { return any_; }
  bool has_min_level() const { return options_.has_min_level; }
  // The level is the only condition.
  bool level_only() const { return level_only_; }
  int min_level() const { return options_.min_level; }

 private:
  FilterOptions options_;
  bool any_ = false;
  bool level_only_ = false;
  struct Pattern;
  std::unique_ptr<Pattern> pattern_;
};

// A point in time for --since and --until: "now", "today", "yesterday",
// "tomorrow"; relative "-15min", "+2h", "-1d" (units us, ms, s, min, h, d,
// w); "@SECONDS"; ISO 8601 "2026-12-08T10:02", "2026-12-08 10:02:30.5",
// with "Z" or "+01:00" or in local time; a time of day "10:02" (today).
// now_us is the present; false if the text is none of these.
bool parse_time_spec(const std::string& text, std::int64_t now_us, std::int64_t& time_us);

}  // namespace eklog

#endif  // EKLOG_FILTERS_H_

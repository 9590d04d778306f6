#include "filters.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <fnmatch.h>
#include <pcre2.h>

#include <cctype>
#include <cstdlib>
#include <ctime>

namespace eklog {

struct Filter::Pattern {
  pcre2_code* code = nullptr;
  pcre2_match_data* match = nullptr;
  bool jit = false;
  ~Pattern() {
    if (match != nullptr) pcre2_match_data_free(match);
    if (code != nullptr) pcre2_code_free(code);
  }
};

Filter::Filter() = default;
Filter::~Filter() = default;

bool Filter::init(const FilterOptions& options, std::string& error) {
  options_ = options;
  const bool others = !options.loggers.empty() || !options.components.empty() ||
                      !options.products.empty() || !options.pids.empty() || !options.tids.empty() ||
                      options.has_since || options.has_until || !options.catalogs.empty() ||
                      !options.numbers.empty() || !options.pattern.empty();
  any_ = options.has_min_level || others;
  level_only_ = options.has_min_level && !others;
  if (options.pattern.empty()) return true;
  pattern_.reset(new Pattern);
  int code = 0;
  PCRE2_SIZE offset = 0;
  // Texts need not be valid UTF-8 (the basic format carries any bytes).
  pattern_->code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(options.pattern.data()), options.pattern.size(),
                    PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &code, &offset, nullptr);
  if (pattern_->code == nullptr) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(code, message, sizeof message);
    error = "at offset " + std::to_string(offset) + ": " + reinterpret_cast<char*>(message);
    return false;
  }
  pattern_->jit = pcre2_jit_compile(pattern_->code, PCRE2_JIT_COMPLETE) == 0;
  pattern_->match = pcre2_match_data_create_from_pattern(pattern_->code, nullptr);
  return true;
}

namespace {

bool glob_any(const std::vector<std::string>& globs, std::string_view value) {
  if (globs.empty()) return true;
  thread_local std::string text;
  text.assign(value);
  for (const std::string& glob : globs) {
    if (glob == text || fnmatch(glob.c_str(), text.c_str(), 0) == 0) return true;
  }
  return false;
}

bool number_any(const std::vector<std::int64_t>& numbers, std::int64_t value) {
  if (numbers.empty()) return true;
  for (std::int64_t number : numbers) {
    if (number == value) return true;
  }
  return false;
}

}  // namespace

bool Filter::accepts(const RecordView& record) const {
  if (!any_) return true;
  if (options_.has_min_level && record.level_value < options_.min_level) return false;
  if (options_.has_since && record.time_us < options_.since_us) return false;
  if (options_.has_until && record.time_us >= options_.until_us) return false;
  if (!number_any(options_.pids, record.pid) || !number_any(options_.tids, record.tid))
    return false;
  if (!options_.numbers.empty() &&
      (record.origin != Origin::kMessage || !number_any(options_.numbers, record.number)))
    return false;
  if (!options_.catalogs.empty() &&
      (record.origin != Origin::kMessage || !glob_any(options_.catalogs, record.catalog)))
    return false;
  if (!options_.loggers.empty() &&
      (!record.has_logger || !glob_any(options_.loggers, record.logger)))
    return false;
  if (!glob_any(options_.components, record.component) ||
      !glob_any(options_.products, record.product))
    return false;
  if (pattern_) {
    const auto subject = reinterpret_cast<PCRE2_SPTR>(record.text.data());
    const int matched = pattern_->jit ? pcre2_jit_match(pattern_->code, subject, record.text.size(),
                                                        0, 0, pattern_->match, nullptr)
                                      : pcre2_match(pattern_->code, subject, record.text.size(), 0,
                                                    0, pattern_->match, nullptr);
    if (matched < 0) return false;
  }
  return true;
}

namespace {

bool read_number(const std::string& text, std::size_t& at, std::size_t max_digits,
                 std::int64_t& value, std::size_t min_digits = 1) {
  const std::size_t start = at;
  value = 0;
  while (at < text.size() && at - start < max_digits &&
         std::isdigit(static_cast<unsigned char>(text[at])))
    value = value * 10 + (text[at++] - '0');
  return at - start >= min_digits;
}

std::int64_t local_midnight_us(std::int64_t now_us, int day_shift) {
  time_t now = static_cast<time_t>(now_us / 1000000);
  struct tm local;
  localtime_r(&now, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_mday += day_shift;
  local.tm_isdst = -1;
  return static_cast<std::int64_t>(mktime(&local)) * 1000000;
}

bool parse_relative(const std::string& text, std::int64_t now_us, std::int64_t& time_us) {
  std::size_t at = 1;
  std::int64_t amount;
  if (!read_number(text, at, 15, amount)) return false;
  std::string unit = text.substr(at);
  while (!unit.empty() && unit[0] == ' ') unit.erase(0, 1);
  if (unit.size() > 1 && unit.back() == 's' && unit != "s" && unit != "us" && unit != "ms")
    unit.pop_back();  // plurals: mins, hours, days
  std::int64_t scale;
  if (unit == "us" || unit == "usec")
    scale = 1;
  else if (unit == "ms" || unit == "msec")
    scale = 1000;
  else if (unit.empty() || unit == "s" || unit == "sec" || unit == "second")
    scale = 1000000;
  else if (unit == "m" || unit == "min" || unit == "minute")
    scale = 60000000LL;
  else if (unit == "h" || unit == "hour")
    scale = 3600000000LL;
  else if (unit == "d" || unit == "day")
    scale = 86400000000LL;
  else if (unit == "w" || unit == "week")
    scale = 604800000000LL;
  else
    return false;
  const std::int64_t offset = amount * scale;
  time_us = text[0] == '-' ? now_us - offset : now_us + offset;
  return true;
}

}  // namespace

bool parse_time_spec(const std::string& text, std::int64_t now_us, std::int64_t& time_us) {
  if (text.empty()) return false;
  if (text == "now") {
    time_us = now_us;
    return true;
  }
  if (text == "today" || text == "yesterday" || text == "tomorrow") {
    time_us = local_midnight_us(now_us, text == "today" ? 0 : text == "yesterday" ? -1 : 1);
    return true;
  }
  if (text[0] == '-' || text[0] == '+') return parse_relative(text, now_us, time_us);
  if (text[0] == '@') {
    std::size_t at = 1;
    std::int64_t seconds;
    if (!read_number(text, at, 12, seconds) || at != text.size()) return false;
    time_us = seconds * 1000000;
    return true;
  }
  std::size_t at = 0;
  std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0;
  bool date = false;
  if (text.size() >= 10 && text[4] == '-') {
    date = true;
    if (!read_number(text, at, 4, year, 4) || text[at++] != '-' ||
        !read_number(text, at, 2, month, 2) || at >= text.size() || text[at++] != '-' ||
        !read_number(text, at, 2, day, 2))
      return false;
    if (at < text.size()) {
      if (text[at] != 'T' && text[at] != ' ') return false;
      ++at;
    }
  }
  if (at < text.size()) {
    if (!read_number(text, at, 2, hour, 2) || at >= text.size() || text[at++] != ':' ||
        !read_number(text, at, 2, minute, 2))
      return false;
    if (at < text.size() && text[at] == ':') {
      ++at;
      if (!read_number(text, at, 2, second, 2)) return false;
      if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
        ++at;
        const std::size_t start = at;
        if (!read_number(text, at, 6, micro)) return false;
        for (std::size_t digits = at - start; digits < 6; ++digits) micro *= 10;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
      }
    }
  }
  bool has_offset = false;
  std::int64_t offset_s = 0;
  if (at < text.size()) {
    if (text[at] == 'Z' && at + 1 == text.size()) {
      has_offset = true;
      ++at;
    } else if (text[at] == '+' || text[at] == '-') {
      const bool negative = text[at++] == '-';
      std::int64_t oh, om = 0;
      if (!read_number(text, at, 2, oh, 2)) return false;
      if (at < text.size() && text[at] == ':') ++at;
      if (at < text.size() && !read_number(text, at, 2, om, 2)) return false;
      offset_s = (oh * 60 + om) * 60 * (negative ? -1 : 1);
      has_offset = true;
    }
  }
  if (at != text.size()) return false;
  if (month > 12 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  if (date && (month < 1 || day < 1)) return false;
  if (!date) {
    // A time of day: today's date where it is written.
    time_t now = static_cast<time_t>(now_us / 1000000);
    struct tm local;
    localtime_r(&now, &local);
    year = local.tm_year + 1900;
    month = local.tm_mon + 1;
    day = local.tm_mday;
  }
  if (has_offset) {
    const std::int64_t seconds =
        days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second - offset_s;
    time_us = seconds * 1000000 + micro;
    return true;
  }
  struct tm local = {};
  local.tm_year = static_cast<int>(year - 1900);
  local.tm_mon = static_cast<int>(month - 1);
  local.tm_mday = static_cast<int>(day);
  local.tm_hour = static_cast<int>(hour);
  local.tm_min = static_cast<int>(minute);
  local.tm_sec = static_cast<int>(second);
  local.tm_isdst = -1;
  const time_t seconds = mktime(&local);
  if (seconds == static_cast<time_t>(-1) && !(year == 1969 && month == 12 && day == 31))
    return false;
  time_us = static_cast<std::int64_t>(seconds) * 1000000 + micro;
  return true;
}

}  // namespace eklog

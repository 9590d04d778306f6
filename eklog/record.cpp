#include "record.h"

#include <cstring>

namespace eklog {

const char* format_name(Format format) {
  switch (format) {
    case Format::kBasic:
      return "basic";
    case Format::kXml:
      return "XML";
    case Format::kJson:
      return "JSON Lines";
    case Format::kUnknown:
      break;
  }
  return "unknown";
}

void Record::assign(const RecordView& view) {
  time_us = view.time_us;
  time.assign(view.time);
  level.assign(view.level);
  level_value = view.level_value;
  has_logger = view.has_logger;
  logger.assign(view.logger);
  product.assign(view.product);
  component.assign(view.component);
  origin = view.origin;
  catalog.assign(view.catalog);
  set = view.set;
  number = view.number;
  file.assign(view.file);
  function.assign(view.function);
  line = view.line;
  text.assign(view.text);
  pid = view.pid;
  tid = view.tid;
  bad = false;
  json_later = Format::kUnknown;
  unparsed.clear();
  source.clear();
  json_line.clear();
}

RecordView Record::view() const {
  RecordView view;
  view.time_us = time_us;
  view.time = time;
  view.level = level;
  view.level_value = level_value;
  view.has_logger = has_logger;
  view.logger = logger;
  view.product = product;
  view.component = component;
  view.origin = origin;
  view.catalog = catalog;
  view.set = set;
  view.number = number;
  view.file = file;
  view.function = function;
  view.line = line;
  view.text = text;
  view.pid = pid;
  view.tid = tid;
  return view;
}

namespace {

struct LevelName {
  std::string_view name;
  int value;
};
constexpr LevelName kLevels[] = {{"SEVERE", 6000}, {"WARNING", 5000}, {"INFO", 4000},
                                 {"FINE", 3000},   {"FINER", 2000},   {"FINEST", 1000}};

bool digits(std::string_view text, std::size_t at, std::size_t count, unsigned& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    const unsigned digit = static_cast<unsigned char>(text[i]) - '0';
    if (digit > 9) return false;
    value = value * 10 + digit;
  }
  return true;
}

}  // namespace

bool level_from_text(std::string_view text, int& value) {
  // A name starts with a letter, a number with a digit or '-': a number
  // (the XML and JSON level_value) is never compared with the names.
  const bool numeric = !text.empty() && (text[0] == '-' || (text[0] >= '0' && text[0] <= '9'));
  if (!numeric) {
    // By length, then one compare of a length the compiler knows: this is
    // asked of every line of a basic file under -p.
    const auto is = [&](const char* name, std::size_t size) {
      return std::memcmp(text.data(), name, size) == 0;
    };
    switch (text.size()) {
      case 3:
        if (is("OFF", 3))
          value = 2147483647;
        else if (is("ALL", 3))
          value = -2147483647 - 1;
        else
          return false;
        return true;
      case 4:
        if (is("INFO", 4))
          value = 4000;
        else if (is("FINE", 4))
          value = 3000;
        else
          return false;
        return true;
      case 5:
        if (!is("FINER", 5)) return false;
        value = 2000;
        return true;
      case 6:
        if (is("SEVERE", 6))
          value = 6000;
        else if (is("FINEST", 6))
          value = 1000;
        else
          return false;
        return true;
      case 7:
        if (!is("WARNING", 7)) return false;
        value = 5000;
        return true;
    }
    return false;
  }
  std::size_t at = 0;
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    at = 1;
  }
  if (at == text.size() || text.size() - at > 10) return false;
  long long number = 0;
  for (; at < text.size(); ++at) {
    const unsigned digit = static_cast<unsigned char>(text[at]) - '0';
    if (digit > 9) return false;
    number = number * 10 + digit;
  }
  if (negative) number = -number;
  if (number > 2147483647LL || number < -2147483648LL) return false;
  value = static_cast<int>(number);
  return true;
}

const char* level_name(int value) {
  for (const LevelName& level : kLevels) {
    if (level.value == value) return level.name.data();
  }
  return nullptr;
}

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

bool parse_record_time(std::string_view text, std::int64_t& time_us) {
  // 2026-12-08T11:42:07.123456+01:00
  if (text.size() != 32 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != '.' || text[29] != ':' ||
      (text[26] != '+' && text[26] != '-')) {
    return false;
  }
  unsigned year, month, day, hour, minute, second, fraction, offset_hours, offset_minutes;
  if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
      !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second) ||
      !digits(text, 20, 6, fraction) || !digits(text, 27, 2, offset_hours) ||
      !digits(text, 30, 2, offset_minutes)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
      offset_minutes > 59) {
    return false;
  }
  std::int64_t offset = (offset_hours * 60 + offset_minutes) * 60;
  if (text[26] == '-') offset = -offset;
  const std::int64_t seconds =
      days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  time_us = seconds * 1000000 + fraction;
  return true;
}

void parse_process_ids(std::string_view product, std::int64_t& pid, std::int64_t& tid) {
  auto number_after = [&](std::string_view key) -> std::int64_t {
    for (std::size_t at = product.find(key); at != std::string_view::npos;
         at = product.find(key, at + 1)) {
      if (at != 0 && product[at - 1] != ' ') continue;
      std::size_t end = at + key.size();
      std::int64_t value = 0;
      const std::size_t start = end;
      while (end < product.size() && end - start < 18 && product[end] >= '0' &&
             product[end] <= '9') {
        value = value * 10 + (product[end] - '0');
        ++end;
      }
      if (end > start && (end == product.size() || product[end] == ' ')) return value;
    }
    return -1;
  };
  pid = -1;
  tid = -1;
  // Both keys end so; most products hold neither.
  if (product.find("id=") == std::string_view::npos) return;
  pid = number_after("pid=");
  tid = number_after("tid=");
}

}  // namespace eklog

#include "toolkit/syslog/rfc5424.h"

#include <time.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

#include "toolkit/levels.h"
#include "toolkit/utf8.h"

namespace gw {

namespace {

constexpr std::size_t kHostnameLimit = 255;
constexpr std::size_t kAppNameLimit = 48;
constexpr std::size_t kMsgIdLimit = 32;
constexpr std::size_t kParamValueLimit = 256;

void append_hex_escape(unsigned char byte, std::string& out) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xF];
}

// Appends text as valid one-line UTF-8 of at most limit bytes, escaping the
// characters in `escaped` with a backslash.  Returns false when it had to cut.
bool append_clean(std::string_view text, std::string_view escaped, std::size_t limit,
                  std::string& out) {
  const std::size_t start = out.size();
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const Utf8Step step = decode_utf8(text.substr(i));
    std::size_t length = step.valid ? step.length : 0;
    const std::size_t before = out.size();
    if (length == 0 || c < 0x20 || c == 0x7F) {
      append_hex_escape(c, out);
      length = 1;
    } else {
      if (length == 1 && escaped.find(static_cast<char>(c)) != std::string_view::npos) {
        out += '\\';
      }
      out.append(text.data() + i, length);
    }
    if (out.size() - start > limit) {
      out.resize(before);
      return false;
    }
    i += length;
  }
  return true;
}

// Printable US-ASCII only (33-126), at most limit bytes; "-" when empty.
void append_header_field(std::string_view text, std::size_t limit, std::string& out) {
  const std::size_t start = out.size();
  for (char c : text) {
    if (out.size() - start == limit) break;
    const unsigned char u = static_cast<unsigned char>(c);
    out += u >= 33 && u <= 126 ? c : '_';
  }
  if (out.size() == start) out += '-';
}

// Signed: a set, number or line the caller gave as negative stays negative.
void append_number(std::int64_t value, std::string& out) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

void append_param(std::string_view name, std::string_view value, std::size_t limit,
                  std::string& out) {
  out += ' ';
  out += name;
  out += "=\"";
  if (!append_clean(value, "\"\\]", limit, out)) out += kSyslogTruncatedMarker;
  out += '"';
}

void append_number_param(std::string_view name, std::int64_t value, std::string& out) {
  std::string number;
  append_number(value, number);
  append_param(name, number, kParamValueLimit, out);
}

// "YYYY-MM-DDTHH:MM:SS" of a second in UTC, computed once per second per
// thread (gmtime_r reads no time-zone file).
std::string_view utc_second(std::int64_t seconds) {
  thread_local std::int64_t cached_second = -1;
  thread_local std::array<char, 32> cached_text{};
  thread_local std::size_t cached_length = 0;
  if (seconds != cached_second) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    // RFC 5424 has four-digit years only; no clock gives anything else.
    if (gmtime_r(&t, &parts) == nullptr || parts.tm_year < -1899 || parts.tm_year > 8099) {
      cached_length = 0;
    } else {
      cached_length = strftime(cached_text.data(), cached_text.size(), "%Y-%m-%dT%H:%M:%S", &parts);
    }
    cached_second = seconds;
  }
  return std::string_view(cached_text.data(), cached_length);
}

void append_timestamp(std::int64_t time_us, std::string& out) {
  std::int64_t seconds = time_us / 1000000;
  std::int64_t micros = time_us % 1000000;
  if (micros < 0) {
    micros += 1000000;
    seconds -= 1;
  }
  const std::string_view second = utc_second(seconds);
  if (second.empty()) {
    out += '-';  // the NILVALUE: the receiver stamps its own time
    return;
  }
  out += second;
  char fraction[16];
  std::snprintf(fraction, sizeof(fraction), ".%06lldZ", static_cast<long long>(micros));
  out += fraction;
}

void append_msgid(const Record& record, std::string& out) {
  std::string id;
  switch (record.kind) {
    case RecordKind::kMessage:
      id.append(record.catalog);
      id += '.';
      append_number(record.set, id);
      id += '.';
      append_number(record.number, id);
      break;
    case RecordKind::kTrace:
      // FINE, FINER and FINEST share the debug severity: the identifier
      // keeps them apart.
      {
        char buffer[12];
        id += level_name(record.level, buffer);
      }
      break;
    case RecordKind::kText:
      break;
  }
  append_header_field(id, kMsgIdLimit, out);
}

// The structured-data element, its free-text values each cut to limit bytes.
void append_structured_data(const Record& record, const SyslogHeader& header, std::size_t limit,
                            std::string& out) {
  out += '[';
  out += kSyslogSdId;
  append_param("component", record.component, limit, out);
  if (record.kind == RecordKind::kMessage) {
    append_param("catalog", record.catalog, limit, out);
    append_number_param("set", record.set, out);
    append_number_param("number", record.number, out);
  } else if (record.kind == RecordKind::kTrace) {
    append_param("file", record.file, limit, out);
    append_param("function", record.function, limit, out);
    append_number_param("line", record.line, out);
  }
  if (header.process_id != 0) {
    append_number_param("pid", static_cast<std::int64_t>(header.process_id), out);
  }
  if (header.thread_id != 0) {
    append_number_param("tid", static_cast<std::int64_t>(header.thread_id), out);
  }
  out += ']';
}

}  // namespace

std::string syslog_app_name(std::string_view text) {
  std::string field;
  append_header_field(text, kAppNameLimit, field);
  return field;
}

int syslog_severity(int level) {
  if (level >= kLevelSevere) return 3;
  if (level >= kLevelWarning) return 4;
  if (level >= kLevelInfo) return 6;
  return 7;
}

int syslog_facility(std::string_view name) {
  static const std::pair<std::string_view, int> kFacilities[] = {
      {"kern", 0},      {"user", 1},    {"mail", 2},    {"daemon", 3},  {"auth", 4},
      {"syslog", 5},    {"lpr", 6},     {"news", 7},    {"uucp", 8},    {"cron", 9},
      {"authpriv", 10}, {"ftp", 11},    {"local0", 16}, {"local1", 17}, {"local2", 18},
      {"local3", 19},   {"local4", 20}, {"local5", 21}, {"local6", 22}, {"local7", 23}};
  for (const auto& facility : kFacilities) {
    if (facility.first == name) return facility.second;
  }
  return -1;
}

void build_syslog_message(const Record& record, const SyslogHeader& header,
                          std::string_view message, std::size_t max_size, std::string& out) {
  out.clear();
  out += '<';
  append_number(header.facility * 8 + syslog_severity(record.level), out);
  out += ">1 ";
  append_timestamp(record.time_us, out);
  out += ' ';
  append_header_field(header.hostname, kHostnameLimit, out);
  out += ' ';
  append_header_field(header.app_name, kAppNameLimit, out);
  out += ' ';
  if (header.process_id != 0) {
    append_number(static_cast<std::int64_t>(header.process_id), out);
  } else {
    out += '-';
  }
  out += ' ';
  append_msgid(record, out);
  out += ' ';

  // The element must close within the datagram, and leave room for a
  // marked message: long component, catalog, file or function values are
  // cut shorter until it does; at worst the element is left out.
  const std::size_t header_end = out.size();
  const std::size_t message_room = 1 + kSyslogTruncatedMarker.size() + 16;
  for (std::size_t limit = kParamValueLimit;; limit /= 2) {
    append_structured_data(record, header, limit, out);
    if (out.size() + message_room <= max_size) break;
    out.resize(header_end);
    if (limit == 0) {
      out += '-';
      break;
    }
  }

  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  if (message.empty()) return;
  out += ' ';
  const std::size_t message_start = out.size();
  const std::size_t limit = max_size > message_start ? max_size - message_start : 0;
  if (!append_clean(message, "", limit, out)) {
    out.resize(message_start);
    const std::size_t marker = kSyslogTruncatedMarker.size();
    append_clean(message, "", limit > marker ? limit - marker : 0, out);
    out += kSyslogTruncatedMarker;
  }
}

}  // namespace gw

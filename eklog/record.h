// A log record as eklog reads it from any of the three file formats, the
// level names and numbers, and the line of a file it came from.  Plain
// values: a Record owns its texts; a RecordView points into the line (and
// the parser's scratch space) it was read from and is valid until the next
// line is parsed.  Neither is shared between threads.
#ifndef EKLOG_RECORD_H_
#define EKLOG_RECORD_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace eklog {

enum class Format { kUnknown, kBasic, kXml, kJson };
const char* format_name(Format format);

enum class Origin { kText, kMessage, kTrace };

// The fields of docs/log-formats.md; texts are the original bytes (escapes
// of the file's format undone).  has_logger is false for the basic format,
// which leaves the logger's name out.
struct RecordView {
  std::int64_t time_us = 0;
  std::string_view time;  // as written, ISO 8601 with the offset
  std::string_view level;
  int level_value = 0;
  bool has_logger = false;
  std::string_view logger, product, component;
  Origin origin = Origin::kText;
  std::string_view catalog;  // kMessage
  std::int64_t set = 0, number = 0;
  std::string_view file, function;  // kTrace
  std::int64_t line = 0;
  std::string_view text;
  // From a "pid=N tid=M" product (the basic format's trace records); -1 if none.
  std::int64_t pid = -1, tid = -1;
};

struct Record {
  // First, together: all that the window and -o json touch of a record.
  std::int64_t time_us = 0;
  // A line that is no record of any format (torn, foreign): unparsed holds
  // the line's bytes, source says where it was; time_us is that of the
  // record before it in the same file, so it keeps its place.
  bool bad = false;
  // The record's -o json line (without its line feed): the line as read
  // from a JSON Lines file, or the one written when it was read, in which
  // case the fields below but time_us are left empty.
  std::string json_line;
  // Other than kUnknown: json_line holds the line as read instead, of this
  // format; its JSON is yet to be written, by parsing the line again.
  Format json_later = Format::kUnknown;

  std::string time, level;
  int level_value = 0;
  bool has_logger = false;
  std::string logger, product, component;
  Origin origin = Origin::kText;
  std::string catalog;
  std::int64_t set = 0, number = 0;
  std::string file, function;
  std::int64_t line = 0;
  std::string text;
  std::int64_t pid = -1, tid = -1;
  std::string unparsed, source;  // of a bad line

  void assign(const RecordView& view);
  // Views of the fields, valid while the record is unchanged.
  RecordView view() const;
};

// A level's number from its name (SEVERE ... FINEST, OFF, ALL) or a decimal
// number; false if it is neither.
bool level_from_text(std::string_view text, int& value);
// The name of a standard level, or null.
const char* level_name(int value);

// Microseconds since the epoch of "YYYY-MM-DDTHH:MM:SS.ffffff+HH:MM"; false
// if the text is not exactly that.
bool parse_record_time(std::string_view text, std::int64_t& time_us);
// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day);

// pid and tid from a product text "... pid=N tid=M ...".
void parse_process_ids(std::string_view product, std::int64_t& pid, std::int64_t& tid);

}  // namespace eklog

#endif  // EKLOG_RECORD_H_

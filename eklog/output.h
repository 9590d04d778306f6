// How eklog writes records: the short line for people (coloured by level on
// a terminal), JSON Lines whatever the input format, or the text alone.
// A Printer appends to a string the caller writes out; a JsonWriter keeps
// the line it wrote last.  Both keep scratch space: one per thread.
#ifndef EKLOG_OUTPUT_H_
#define EKLOG_OUTPUT_H_

#include <string>
#include <string_view>
#include <vector>

#include "record.h"

namespace eklog {

enum class OutputMode { kShort, kJson, kCat };

// The -o json line of a record, written through a pointer into room made
// once for the whole record (the most its fields can take once escaped),
// so that no byte goes through a bounds check of its own.
class JsonWriter {
 public:
  // The record's line with its line feed; valid until the next call.
  std::string_view line(const RecordView& record);

 private:
  std::vector<char> buffer_;  // only grows: its bytes are never cleared
};

class Printer {
 public:
  Printer(OutputMode mode, bool color) : mode_(mode), color_(color) {}
  // Appends the record's line, with its line feed.
  void format(const Record& record, std::string& out) const;

 private:
  void format_short(const Record& record, std::string& out) const;
  void format_json(const Record& record, std::string& out) const;

  OutputMode mode_;
  bool color_;
  mutable JsonWriter json_;  // scratch only; format is logically const
};

// Bytes shown to a person: controls, DEL and bytes that are not UTF-8 as
// \n, \t, \xHH, so that no record can move the cursor or forge a line.
void append_visible(std::string_view text, std::string& out);
// A JSON string (RFC 8259), U+2028/U+2029 and controls escaped; each byte
// that is not part of well-formed UTF-8 becomes U+FFFD.
void append_json_string(std::string_view text, std::string& out);

}  // namespace eklog

#endif  // EKLOG_OUTPUT_H_

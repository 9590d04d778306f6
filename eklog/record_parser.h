// Reads one line of a log file as a record of its format (basic, XML or
// JSON Lines, docs/log-formats.md).  A parser keeps scratch space that the
// views it fills point into, valid until its next call; one parser per
// thread.
#ifndef EKLOG_RECORD_PARSER_H_
#define EKLOG_RECORD_PARSER_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "record.h"

namespace eklog {

// The format a file's first non-empty line shows; kUnknown if none.
Format detect_format(std::string_view first_line);

// True for the lines of an XML file that hold no record: the declaration,
// <log> and </log>.
bool is_xml_frame(std::string_view line);

class RecordParser {
 public:
  RecordParser();
  ~RecordParser();
  RecordParser(const RecordParser&) = delete;
  RecordParser& operator=(const RecordParser&) = delete;

  // Fills record from line (without its line feed); false if the line is no
  // well-formed record of that format.  A JSON line is read in place when
  // `readable` bytes from line.data() may be read (simdjson reads up to 64
  // bytes past the end), else copied.
  bool parse(Format format, std::string_view line, RecordView& record, std::size_t readable = 0);

  // The level of a JSON Lines record without parsing all of it, when the
  // line holds the member as the library writes it ("level_value":N); false
  // if it does not, and the line must then be parsed whole.
  static bool quick_json_level(std::string_view line, int& level_value);
  // The time and the level of a record that begins exactly as the library
  // writes it (the basic line's time and level; the XML record's and the
  // JSON Lines record's time, time_us, level and level_value), without
  // parsing or checking the rest; false for any other line.
  bool quick_time_level(Format format, std::string_view line, std::int64_t& time_us,
                        int& level_value);
  // Bytes past a JSON line's end that parse reads when it reads in place.
  static constexpr std::size_t kJsonPadding = 64;
  // The same for any format: the basic line's level token, the XML
  // record's level_value attribute.
  static bool quick_level(Format format, std::string_view line, int& level_value);

  // An XML record in exactly the shape the library writes it (its
  // attributes in their order, the formatter's escapes, no raw control),
  // read without the full reader; false for any other line, which parse
  // then gives to libxml2's reader.  Where both read a line they agree.
  bool parse_xml_shape(std::string_view line, RecordView& record);
  // Off: every XML line goes through the full reader (to compare the two).
  void set_xml_shape(bool on) { xml_shape_ = on; }

 private:
  bool parse_basic(std::string_view line, RecordView& record);
  bool parse_json(std::string_view line, RecordView& record, std::size_t readable);
  bool parse_xml(std::string_view line, RecordView& record);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool xml_shape_ = true;
};

}  // namespace eklog

#endif  // EKLOG_RECORD_PARSER_H_

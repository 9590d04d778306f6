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
  // The same for any format: the basic line's level token, the XML
  // record's level_value attribute.
  static bool quick_level(Format format, std::string_view line, int& level_value);

 private:
  bool parse_basic(std::string_view line, RecordView& record);
  bool parse_json(std::string_view line, RecordView& record, std::size_t readable);
  bool parse_xml(std::string_view line, RecordView& record);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace eklog

#endif  // EKLOG_RECORD_PARSER_H_

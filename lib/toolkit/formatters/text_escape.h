// Escaping of record fields for the toolkit's three output formats, each in
// one pass over the bytes with a fast path for runs that need no change, and
// the room a formatter writes one record into.
//
// The write_ functions fill memory the caller has made room in (the stated
// expansion times the input) and return the end of what they wrote; an
// escaper may also have written scratch bytes past that end, inside the
// room, which whatever is written next replaces.  Pure functions: safe from
// any number of threads.
#ifndef EKLOGGER_TOOLKIT_FORMATTERS_TEXT_ESCAPE_H_
#define EKLOGGER_TOOLKIT_FORMATTERS_TEXT_ESCAPE_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "toolkit/record.h"
#include "toolkit/utf8.h"

namespace gw::formatting {

using gw::decode_utf8;
using gw::Utf8Step;

// Room for one record at the end of the caller's string, sized once for the
// record's worst case so the fields are written through a plain pointer
// rather than one append per piece.  A record whose worst case fits
// kStackRoom is written on the stack and appended once when the space ends:
// growing the string to the worst case would zero-fill room most records
// never use, on every record.  Only a larger one is written in the string
// itself.  Either way a reused string stops allocating once it has grown.
class RecordSpace {
 public:
  static constexpr std::size_t kStackRoom = 2048;

  RecordSpace(std::string& out, std::size_t max_size) : out_(out), max_size_(max_size) {
    if (max_size <= kStackRoom) {
      cursor = stack_;
    } else {
      const std::size_t start = out.size();
      out.resize(start + max_size);
      cursor = out.data() + start;
    }
  }
  ~RecordSpace() {
    if (max_size_ <= kStackRoom) {
      const auto written = static_cast<std::size_t>(cursor - stack_);
      assert(written <= max_size_ && "a formatter's bound for its record is too small");
      out_.append(stack_, written);
    } else {
      const auto written = static_cast<std::size_t>(cursor - out_.data());
      assert(written <= out_.size() && "a formatter's bound for its record is too small");
      out_.resize(written);
    }
  }
  RecordSpace(const RecordSpace&) = delete;
  RecordSpace& operator=(const RecordSpace&) = delete;

  char* cursor;  // the next byte to write

 private:
  std::string& out_;
  const std::size_t max_size_;
  char stack_[kStackRoom];  // deliberately not initialised
};

// The bytes of a record's variable fields, before escaping: what a
// formatter multiplies by its worst-case expansion to size a RecordSpace.
inline std::size_t variable_field_bytes(const Record& record) {
  std::size_t bytes =
      record.logger.size() + record.product.size() + record.component.size() + record.text.size();
  if (record.kind == RecordKind::kMessage) bytes += record.catalog.size();
  if (record.kind == RecordKind::kTrace) bytes += record.file.size() + record.function.size();
  return bytes;
}

// Copies text to at and returns the end of what was written.
inline char* write_raw(char* at, std::string_view text) {
  if (text.empty()) return at;  // a default view's data() is null
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// Where a field sits in a basic line, which decides the characters that
// must not appear in it raw.
enum class BasicField {
  kText,       // the last field: runs to the end of the line
  kBracketed,  // inside [...]: "]" is escaped too
  kName,       // catalog or file name inside [...]: "]" and ":" are escaped
};

// Basic line escaping: "\n", "\r", "\t", "\\", and "\xHH" for every other
// C0 or C1 control, DEL, U+2028, U+2029, every byte of ill-formed UTF-8 and
// the field's separators.  Unescaping gives back the original bytes.
// Writes at most kBasicExpansion bytes per input byte.
inline constexpr std::size_t kBasicExpansion = 4;
// More than the time, level, separators and numbers of any basic line take.
inline constexpr std::size_t kBasicFixedRoom = 160;
char* write_basic_escaped(char* at, std::string_view bytes, BasicField field);

// XML 1.0 character data, fit for both element content and double-quoted
// attribute values: markup as entities; tab, line feed, carriage return,
// DEL and C1 controls as character references; the other C0 controls (which
// XML 1.0 forbids) as their control pictures U+2400..U+241F; U+FFFE, U+FFFF
// and each ill-formed UTF-8 subpart as U+FFFD.  At most kXmlExpansion bytes
// per input byte ("&quot;").
inline constexpr std::size_t kXmlExpansion = 6;
// More than the markup, time and numbers of any XML record take.
inline constexpr std::size_t kXmlFixedRoom = 512;
char* write_xml_escaped(char* at, std::string_view bytes);

// The inside of a JSON string (RFC 8259): quote and backslash, controls as
// \b \f \n \r \t or \u00XX, DEL, C1 controls, U+2028 and U+2029 as \uXXXX,
// each ill-formed UTF-8 subpart as U+FFFD.  The result is valid UTF-8.  At
// most kJsonExpansion bytes per input byte ("\u001f").
inline constexpr std::size_t kJsonExpansion = 6;
// More than the names, punctuation, time and numbers of any JSON object take.
inline constexpr std::size_t kJsonFixedRoom = 512;
char* write_json_escaped(char* at, std::string_view bytes);

// A decimal integer: at most kMaxDecimalLength bytes.
inline constexpr std::size_t kMaxDecimalLength = 20;  // -9223372036854775808
char* write_decimal(char* at, std::int64_t value);

}  // namespace gw::formatting

#endif  // EKLOGGER_TOOLKIT_FORMATTERS_TEXT_ESCAPE_H_

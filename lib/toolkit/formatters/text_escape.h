// Escaping of record fields for the toolkit's three output formats, each in
// one pass over the bytes with a fast path for runs that need no change.
//
// Pure functions of their arguments, appending to the caller's string: safe
// from any number of threads.
#ifndef EKLOGGER_TOOLKIT_FORMATTERS_TEXT_ESCAPE_H_
#define EKLOGGER_TOOLKIT_FORMATTERS_TEXT_ESCAPE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace gw::formatting {

// One step of UTF-8 decoding at the start of bytes (not empty).  A valid
// sequence gives its length and code point; anything else gives the length
// of its maximal ill-formed subpart (overlong forms, surrogates, code points
// above U+10FFFF, stray continuation bytes, a sequence cut short), which is
// what one replacement character stands for.
struct Utf8Step {
  std::size_t length;
  bool valid;
  char32_t code_point;  // meaningful only when valid
};
Utf8Step decode_utf8(std::string_view bytes);

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
void append_basic_escaped(std::string& out, std::string_view bytes, BasicField field);

// XML 1.0 character data, fit for both element content and double-quoted
// attribute values: markup as entities; tab, line feed, carriage return,
// DEL and C1 controls as character references; the other C0 controls (which
// XML 1.0 forbids) as their control pictures U+2400..U+241F; U+FFFE, U+FFFF
// and each ill-formed UTF-8 subpart as U+FFFD.
void append_xml_escaped(std::string& out, std::string_view bytes);

// The inside of a JSON string (RFC 8259): quote and backslash, controls as
// \b \f \n \r \t or \u00XX, DEL, C1 controls, U+2028 and U+2029 as \uXXXX,
// each ill-formed UTF-8 subpart as U+FFFD.  The result is valid UTF-8.
void append_json_escaped(std::string& out, std::string_view bytes);

// A decimal integer, without allocating beyond out's growth.
void append_decimal(std::string& out, std::int64_t value);

}  // namespace gw::formatting

#endif  // EKLOGGER_TOOLKIT_FORMATTERS_TEXT_ESCAPE_H_

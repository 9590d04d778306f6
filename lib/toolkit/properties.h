// The parser of the toolkit's configuration file, in Java properties
// syntax: "key = value", "key: value" or "key value"; '#' and '!' comment
// lines; a backslash at the end of a line continues it; escapes \t \n \r \f,
// \uXXXX (written as UTF-8) and \<char> for the char itself.  Keys and
// values lose their surrounding blanks.  Pure function, safe from any thread.
#ifndef EKLOGGER_TOOLKIT_PROPERTIES_H_
#define EKLOGGER_TOOLKIT_PROPERTIES_H_

#include <string>
#include <string_view>
#include <vector>

namespace gw {

struct PropertyLine {
  std::string key;
  std::string value;
  int line = 0;  // first physical line of the entry, from 1
};

struct PropertyError {
  int line = 0;
  std::string message;
};

struct ParsedProperties {
  std::vector<PropertyLine> entries;  // in file order; a later key wins
  std::vector<PropertyError> errors;  // lines that were ignored, and why
};

ParsedProperties parse_properties(std::string_view text);

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_PROPERTIES_H_

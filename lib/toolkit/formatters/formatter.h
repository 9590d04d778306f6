// The toolkit's record formatters: each turns a Record into the bytes of one
// record in its output format, and gives the header and trailer that frame a
// file of such records.
//
// Classes by name: "gw_basicformatter" (one escaped line per record),
// "gw_xmlformatter" (an XML document of <record> elements), and
// "gw_jsonformatter" (JSON Lines).
//
// A formatter is immutable after construction: format, header and trailer
// may be called from any number of threads at once.
#ifndef EKLOGGER_TOOLKIT_FORMATTERS_FORMATTER_H_
#define EKLOGGER_TOOLKIT_FORMATTERS_FORMATTER_H_

#include <memory>
#include <string>
#include <string_view>

#include "toolkit/record.h"

namespace gw {

class RecordFormatter {
 public:
  virtual ~RecordFormatter() = default;

  // Appends the whole record, ending with its newline, to out.  Never fails
  // and never leaves out holding part of a record's framing unclosed.
  virtual void format(const Record& record, std::string& out) const = 0;
  // Written into a new or empty file before its first record; null for none.
  virtual const char* header() const = 0;
  // Appended when a file is closed for good (rotation); null for none.
  virtual const char* trailer() const = 0;
};

// The formatter of that class, or null for a class name no formatter has.
// kSyslogMessageFormat, no class of its own, gives the syslog handler's
// default message part: the basic line without its time and level.
std::unique_ptr<RecordFormatter> make_record_formatter(std::string_view class_name);
inline constexpr std::string_view kSyslogMessageFormat = "gw_basicformatter without time";

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_FORMATTERS_FORMATTER_H_

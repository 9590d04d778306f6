// The concrete record formatters behind make_record_formatter, one maker per
// output format.  Each returns a new immutable formatter owned by the caller.
#ifndef EKLOGGER_TOOLKIT_FORMATTERS_FORMATTER_CLASSES_H_
#define EKLOGGER_TOOLKIT_FORMATTERS_FORMATTER_CLASSES_H_

#include <memory>

#include "toolkit/formatters/formatter.h"

namespace gw {

std::unique_ptr<RecordFormatter> make_basic_formatter();  // "gw_basicformatter"
std::unique_ptr<RecordFormatter> make_xml_formatter();    // "gw_xmlformatter"
std::unique_ptr<RecordFormatter> make_json_formatter();   // "gw_jsonformatter"
// The basic line without its time and level, "[PRODUCT] [COMPONENT] [ORIGIN]
// TEXT": the syslog handler's message part when it names no formatter.
std::unique_ptr<RecordFormatter> make_basic_message_formatter();

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_FORMATTERS_FORMATTER_CLASSES_H_

#include "toolkit/formatters/formatter.h"

#include "toolkit/formatters/formatter_classes.h"

namespace gw {

std::unique_ptr<RecordFormatter> make_record_formatter(std::string_view class_name) {
  if (class_name == "gw_basicformatter") return make_basic_formatter();
  if (class_name == "gw_xmlformatter") return make_xml_formatter();
  if (class_name == "gw_jsonformatter") return make_json_formatter();
  if (class_name == kSyslogMessageFormat) return make_basic_message_formatter();
  return nullptr;
}

}  // namespace gw

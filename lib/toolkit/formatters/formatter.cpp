#include "formatter.h"

#include <charconv>

#include "formatter_classes.h"

namespace gw {

std::unique_ptr<RecordFormatter> make_record_formatter(std::string_view class_name) {
  if (class_name == "gw_basicformatter") return make_basic_formatter();
  if (class_name == "gw_xmlformatter") return make_xml_formatter();
  if (class_name == "gw_jsonformatter") return make_json_formatter();
  if (class_name == kSyslogMessageFormat) return make_basic_message_formatter();
  return nullptr;
}

std::string_view level_name(int level, char (&buffer)[12]) {
  switch (level) {
    case 6000:
      return "SEVERE";
    case 5000:
      return "WARNING";
    case 4000:
      return "INFO";
    case 3000:
      return "FINE";
    case 2000:
      return "FINER";
    case 1000:
      return "FINEST";
    default:
      break;
  }
  // "-2147483648" is the longest: 11 characters.
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, level);
  return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

}  // namespace gw

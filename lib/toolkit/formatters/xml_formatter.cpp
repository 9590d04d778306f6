// gw_xmlformatter: an XML document <log> of one <record> element per line,
// valid against schema/eklogger-log.xsd once the trailer closes it.  The
// record's fields are attributes; its text is the element's content.
#include <string>

#include "toolkit/formatters/formatter_classes.h"
#include "toolkit/formatters/local_time.h"
#include "toolkit/formatters/text_escape.h"
#include "toolkit/levels.h"

namespace gw {
namespace {

using formatting::write_decimal;
using formatting::write_raw;
using formatting::write_xml_escaped;

// opening is the attribute's start, e.g. ` product="`.
char* write_text_attribute(char* at, std::string_view opening, std::string_view value) {
  at = write_raw(at, opening);
  at = write_xml_escaped(at, value);
  *at++ = '"';
  return at;
}

char* write_number_attribute(char* at, std::string_view opening, std::int64_t value) {
  at = write_raw(at, opening);
  at = write_decimal(at, value);
  *at++ = '"';
  return at;
}

class XmlFormatter final : public RecordFormatter {
 public:
  void format(const Record& record, std::string& out) const override {
    formatting::RecordSpace space(
        out, formatting::kXmlFixedRoom +
                 formatting::variable_field_bytes(record) * formatting::kXmlExpansion);

    char* at = write_raw(space.cursor, "<record time=\"");
    at = formatting::write_local_time(at, record.time_us);
    *at++ = '"';
    at = write_number_attribute(at, " time_us=\"", record.time_us);
    char level_buffer[12];
    at = write_text_attribute(at, " level=\"", level_name(record.level, level_buffer));
    at = write_number_attribute(at, " level_value=\"", record.level);
    at = write_text_attribute(at, " logger=\"", record.logger);
    at = write_text_attribute(at, " product=\"", record.product);
    at = write_text_attribute(at, " component=\"", record.component);
    switch (record.kind) {
      case RecordKind::kMessage:
        at = write_text_attribute(at, " catalog=\"", record.catalog);
        at = write_number_attribute(at, " set=\"", record.set);
        at = write_number_attribute(at, " number=\"", record.number);
        break;
      case RecordKind::kTrace:
        at = write_text_attribute(at, " file=\"", record.file);
        at = write_text_attribute(at, " function=\"", record.function);
        at = write_number_attribute(at, " line=\"", record.line);
        break;
      case RecordKind::kText:
        break;
    }
    *at++ = '>';
    at = write_xml_escaped(at, record.text);
    at = write_raw(at, "</record>\n");
    space.cursor = at;
  }

  const char* header() const override {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log>\n";
  }
  const char* trailer() const override { return "</log>\n"; }
};

}  // namespace

std::unique_ptr<RecordFormatter> make_xml_formatter() { return std::make_unique<XmlFormatter>(); }

}  // namespace gw

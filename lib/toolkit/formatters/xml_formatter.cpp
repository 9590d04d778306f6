// gw_xmlformatter: an XML document <log> of one <record> element per line,
// valid against schema/eklogger-log.xsd once the trailer closes it.  The
// record's fields are attributes; its text is the element's content.
#include <string>

#include "formatter_classes.h"
#include "local_time.h"
#include "text_escape.h"

namespace gw {
namespace {

using formatting::append_decimal;
using formatting::append_xml_escaped;

void append_text_attribute(std::string& out, std::string_view name, std::string_view value) {
  out.push_back(' ');
  out.append(name);
  out.append("=\"", 2);
  append_xml_escaped(out, value);
  out.push_back('"');
}

void append_number_attribute(std::string& out, std::string_view name, std::int64_t value) {
  out.push_back(' ');
  out.append(name);
  out.append("=\"", 2);
  append_decimal(out, value);
  out.push_back('"');
}

class XmlFormatter final : public RecordFormatter {
 public:
  void format(const Record& record, std::string& out) const override {
    out.append("<record time=\"");
    formatting::append_local_time(record.time_us, out);
    out.push_back('"');
    append_number_attribute(out, "time_us", record.time_us);
    char level_buffer[12];
    append_text_attribute(out, "level", level_name(record.level, level_buffer));
    append_number_attribute(out, "level_value", record.level);
    append_text_attribute(out, "logger", record.logger);
    append_text_attribute(out, "product", record.product);
    append_text_attribute(out, "component", record.component);
    switch (record.kind) {
      case RecordKind::kMessage:
        append_text_attribute(out, "catalog", record.catalog);
        append_number_attribute(out, "set", record.set);
        append_number_attribute(out, "number", record.number);
        break;
      case RecordKind::kTrace:
        append_text_attribute(out, "file", record.file);
        append_text_attribute(out, "function", record.function);
        append_number_attribute(out, "line", record.line);
        break;
      case RecordKind::kText:
        break;
    }
    out.push_back('>');
    append_xml_escaped(out, record.text);
    out.append("</record>\n");
  }

  const char* header() const override { return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log>\n"; }
  const char* trailer() const override { return "</log>\n"; }
  std::string_view class_name() const override { return "gw_xmlformatter"; }
};

}  // namespace

std::unique_ptr<RecordFormatter> make_xml_formatter() { return std::make_unique<XmlFormatter>(); }

}  // namespace gw

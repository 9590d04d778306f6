// A formatter for the toolkit's own tests, linked in place of the real
// formatters: one line per record with every field in a fixed order, so that
// the tests can check what the core hands to a formatter.
//   <level>|<logger>|<product>|<component>|<catalog>,<set>,<number>|<text>
//   <level>|<logger>|<product>|<component>|<file>:<function>:<line>|<text>
//   <level>|<logger>|<product>|<component>|text|<text>
// "gw_xmlformatter" has the header "<log>\n" and the trailer "</log>\n".
#include <string>

#include "toolkit/formatters/formatter.h"

namespace gw {

namespace {

class TestFormatter final : public RecordFormatter {
 public:
  explicit TestFormatter(std::string_view class_name) : class_name_(class_name) {}

  void format(const Record& record, std::string& out) const override {
    out += std::to_string(record.level);
    out += '|';
    out += record.logger;
    out += '|';
    out += record.product;
    out += '|';
    out += record.component;
    out += '|';
    switch (record.kind) {
      case RecordKind::kMessage:
        out += record.catalog;
        out += ',' + std::to_string(record.set) + ',' + std::to_string(record.number);
        break;
      case RecordKind::kTrace:
        out += record.file;
        out += ':';
        out += record.function;
        out += ':' + std::to_string(record.line);
        break;
      case RecordKind::kText:
        out += "text";
        break;
    }
    out += '|';
    out += record.text;
    out += '\n';
  }
  const char* header() const override { return is_xml() ? "<log>\n" : nullptr; }
  const char* trailer() const override { return is_xml() ? "</log>\n" : nullptr; }

 private:
  bool is_xml() const { return class_name_ == "gw_xmlformatter"; }
  std::string class_name_;
};

}  // namespace

std::unique_ptr<RecordFormatter> make_record_formatter(std::string_view class_name) {
  if (class_name != "gw_basicformatter" && class_name != "gw_xmlformatter" &&
      class_name != "gw_jsonformatter") {
    return nullptr;
  }
  return std::make_unique<TestFormatter>(class_name);
}

}  // namespace gw

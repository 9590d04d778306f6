// gw_jsonformatter: JSON Lines, one object per record with its fields by
// name, always valid UTF-8; no header and no trailer.
#include <string>

#include "formatter_classes.h"
#include "local_time.h"
#include "text_escape.h"

namespace gw {
namespace {

using formatting::append_decimal;
using formatting::append_json_escaped;

// name is a literal of the form ,"name": (or {"name": for the first).
void append_string_member(std::string& out, std::string_view name, std::string_view value) {
  out.append(name);
  out.push_back('"');
  append_json_escaped(out, value);
  out.push_back('"');
}

void append_number_member(std::string& out, std::string_view name, std::int64_t value) {
  out.append(name);
  append_decimal(out, value);
}

class JsonFormatter final : public RecordFormatter {
 public:
  void format(const Record& record, std::string& out) const override {
    out.append("{\"time\":\"");
    formatting::append_local_time(record.time_us, out);
    out.push_back('"');
    append_number_member(out, ",\"time_us\":", record.time_us);
    char level_buffer[12];
    append_string_member(out, ",\"level\":", level_name(record.level, level_buffer));
    append_number_member(out, ",\"level_value\":", record.level);
    append_string_member(out, ",\"logger\":", record.logger);
    append_string_member(out, ",\"product\":", record.product);
    append_string_member(out, ",\"component\":", record.component);
    switch (record.kind) {
      case RecordKind::kMessage:
        append_string_member(out, ",\"catalog\":", record.catalog);
        append_number_member(out, ",\"set\":", record.set);
        append_number_member(out, ",\"number\":", record.number);
        break;
      case RecordKind::kTrace:
        append_string_member(out, ",\"file\":", record.file);
        append_string_member(out, ",\"function\":", record.function);
        append_number_member(out, ",\"line\":", record.line);
        break;
      case RecordKind::kText:
        break;
    }
    append_string_member(out, ",\"text\":", record.text);
    out.append("}\n", 2);
  }

  const char* header() const override { return nullptr; }
  const char* trailer() const override { return nullptr; }
  std::string_view class_name() const override { return "gw_jsonformatter"; }
};

}  // namespace

std::unique_ptr<RecordFormatter> make_json_formatter() { return std::make_unique<JsonFormatter>(); }

}  // namespace gw

// gw_jsonformatter: JSON Lines, one object per record with its fields by
// name, always valid UTF-8; no header and no trailer.
#include <string>

#include "toolkit/formatters/formatter_classes.h"
#include "toolkit/formatters/local_time.h"
#include "toolkit/formatters/text_escape.h"
#include "toolkit/levels.h"

namespace gw {
namespace {

using formatting::write_decimal;
using formatting::write_json_escaped;
using formatting::write_raw;

// opening is the member's start, e.g. `,"product":"`.
char* write_string_member(char* at, std::string_view opening, std::string_view value) {
  at = write_raw(at, opening);
  at = write_json_escaped(at, value);
  *at++ = '"';
  return at;
}

char* write_number_member(char* at, std::string_view opening, std::int64_t value) {
  at = write_raw(at, opening);
  return write_decimal(at, value);
}

class JsonFormatter final : public RecordFormatter {
 public:
  void format(const Record& record, std::string& out) const override {
    formatting::RecordSpace space(
        out, formatting::kJsonFixedRoom +
                 formatting::variable_field_bytes(record) * formatting::kJsonExpansion);

    char* at = write_raw(space.cursor, "{\"time\":\"");
    at = formatting::write_local_time(at, record.time_us);
    *at++ = '"';
    at = write_number_member(at, ",\"time_us\":", record.time_us);
    char level_buffer[12];
    at = write_string_member(at, ",\"level\":\"", level_name(record.level, level_buffer));
    at = write_number_member(at, ",\"level_value\":", record.level);
    at = write_string_member(at, ",\"logger\":\"", record.logger);
    at = write_string_member(at, ",\"product\":\"", record.product);
    at = write_string_member(at, ",\"component\":\"", record.component);
    switch (record.kind) {
      case RecordKind::kMessage:
        at = write_string_member(at, ",\"catalog\":\"", record.catalog);
        at = write_number_member(at, ",\"set\":", record.set);
        at = write_number_member(at, ",\"number\":", record.number);
        break;
      case RecordKind::kTrace:
        at = write_string_member(at, ",\"file\":\"", record.file);
        at = write_string_member(at, ",\"function\":\"", record.function);
        at = write_number_member(at, ",\"line\":", record.line);
        break;
      case RecordKind::kText:
        break;
    }
    at = write_string_member(at, ",\"text\":\"", record.text);
    at = write_raw(at, "}\n");
    space.cursor = at;
  }

  const char* header() const override { return nullptr; }
  const char* trailer() const override { return nullptr; }
};

}  // namespace

std::unique_ptr<RecordFormatter> make_json_formatter() { return std::make_unique<JsonFormatter>(); }

}  // namespace gw

// gw_basicformatter: one line per record,
//   TIME LEVEL [PRODUCT] [COMPONENT] [ORIGIN] TEXT
// with ORIGIN "catalog:set:number", "file:line function" or empty.  The
// grammar and its escapes are described in docs/log-formats.md.  The syslog
// handler's default message part is the same line without TIME and LEVEL,
// which the syslog header carries.
#include <string>

#include "toolkit/formatters/formatter_classes.h"
#include "toolkit/formatters/local_time.h"
#include "toolkit/formatters/text_escape.h"
#include "toolkit/levels.h"

namespace gw {
namespace {

using formatting::BasicField;
using formatting::write_basic_escaped;
using formatting::write_decimal;
using formatting::write_raw;

class BasicFormatter final : public RecordFormatter {
 public:
  explicit BasicFormatter(bool time_and_level) : time_and_level_(time_and_level) {}

  void format(const Record& record, std::string& out) const override {
    formatting::RecordSpace space(
        out, formatting::kBasicFixedRoom +
                 formatting::variable_field_bytes(record) * formatting::kBasicExpansion);

    char* at = space.cursor;
    if (time_and_level_) {
      at = formatting::write_local_time(at, record.time_us);
      *at++ = ' ';
      char level_buffer[12];
      at = write_raw(at, level_name(record.level, level_buffer));
      *at++ = ' ';
    }
    at = write_raw(at, "[");
    at = write_basic_escaped(at, record.product, BasicField::kBracketed);
    at = write_raw(at, "] [");
    at = write_basic_escaped(at, record.component, BasicField::kBracketed);
    at = write_raw(at, "] [");
    switch (record.kind) {
      case RecordKind::kMessage:
        at = write_basic_escaped(at, record.catalog, BasicField::kName);
        *at++ = ':';
        at = write_decimal(at, record.set);
        *at++ = ':';
        at = write_decimal(at, record.number);
        break;
      case RecordKind::kTrace:
        at = write_basic_escaped(at, record.file, BasicField::kName);
        *at++ = ':';
        at = write_decimal(at, record.line);
        *at++ = ' ';
        at = write_basic_escaped(at, record.function, BasicField::kBracketed);
        break;
      case RecordKind::kText:
        break;
    }
    at = write_raw(at, "] ");
    at = write_basic_escaped(at, record.text, BasicField::kText);
    *at++ = '\n';
    space.cursor = at;
  }

  const char* header() const override { return nullptr; }
  const char* trailer() const override { return nullptr; }

 private:
  const bool time_and_level_;
};

}  // namespace

std::unique_ptr<RecordFormatter> make_basic_formatter() {
  return std::make_unique<BasicFormatter>(true);
}

std::unique_ptr<RecordFormatter> make_basic_message_formatter() {
  return std::make_unique<BasicFormatter>(false);
}

}  // namespace gw

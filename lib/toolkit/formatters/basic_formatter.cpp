// gw_basicformatter: one line per record,
//   TIME LEVEL [PRODUCT] [COMPONENT] [ORIGIN] TEXT
// with ORIGIN "catalog:set:number", "file:line function" or empty.  The
// grammar and its escapes are described in docs/log-formats.md.
#include <string>

#include "formatter_classes.h"
#include "local_time.h"
#include "text_escape.h"

namespace gw {
namespace {

using formatting::append_basic_escaped;
using formatting::append_decimal;
using formatting::BasicField;

class BasicFormatter final : public RecordFormatter {
 public:
  void format(const Record& record, std::string& out) const override {
    formatting::append_local_time(record.time_us, out);
    out.push_back(' ');
    char level_buffer[12];
    out.append(level_name(record.level, level_buffer));
    out.append(" [", 2);
    append_basic_escaped(out, record.product, BasicField::kBracketed);
    out.append("] [", 3);
    append_basic_escaped(out, record.component, BasicField::kBracketed);
    out.append("] [", 3);
    switch (record.kind) {
      case RecordKind::kMessage:
        append_basic_escaped(out, record.catalog, BasicField::kName);
        out.push_back(':');
        append_decimal(out, record.set);
        out.push_back(':');
        append_decimal(out, record.number);
        break;
      case RecordKind::kTrace:
        append_basic_escaped(out, record.file, BasicField::kName);
        out.push_back(':');
        append_decimal(out, record.line);
        out.push_back(' ');
        append_basic_escaped(out, record.function, BasicField::kBracketed);
        break;
      case RecordKind::kText:
        break;
    }
    out.append("] ", 2);
    append_basic_escaped(out, record.text, BasicField::kText);
    out.push_back('\n');
  }

  const char* header() const override { return nullptr; }
  const char* trailer() const override { return nullptr; }
  std::string_view class_name() const override { return "gw_basicformatter"; }
};

}  // namespace

std::unique_ptr<RecordFormatter> make_basic_formatter() { return std::make_unique<BasicFormatter>(); }

}  // namespace gw

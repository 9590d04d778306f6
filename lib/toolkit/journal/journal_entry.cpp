#include "toolkit/journal/journal_entry.h"

#include <charconv>

#include "toolkit/levels.h"
#include "toolkit/syslog/rfc5424.h"

namespace gw {

namespace {

void append_number_field(std::string_view name, std::int64_t value, std::string& out) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  append_journal_field(
      name, std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)), out);
}

void append_text_field(std::string_view name, std::string_view value, std::string& out) {
  if (!value.empty()) append_journal_field(name, value, out);
}

}  // namespace

void append_journal_field(std::string_view name, std::string_view value, std::string& out) {
  out += name;
  if (value.find('\n') == std::string_view::npos) {
    out += '=';
    out += value;
  } else {
    out += '\n';
    std::uint64_t size = value.size();
    for (int byte = 0; byte < 8; ++byte, size >>= 8) out += static_cast<char>(size & 0xFF);
    out += value;
  }
  out += '\n';
}

void build_journal_entry(const Record& record, const JournalIdentity& identity,
                         std::string_view message, std::string& out) {
  out.clear();
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  append_journal_field("MESSAGE", message, out);
  append_number_field("PRIORITY", syslog_severity(record.level), out);
  append_text_field("SYSLOG_IDENTIFIER", identity.identifier, out);
  if (identity.facility >= 0) append_number_field("SYSLOG_FACILITY", identity.facility, out);
  char level_buffer[12];
  append_journal_field("EKLOGGER_LEVEL", level_name(record.level, level_buffer), out);
  append_text_field("EKLOGGER_LOGGER", record.logger, out);
  append_text_field("EKLOGGER_COMPONENT", record.component, out);
  switch (record.kind) {
    case RecordKind::kMessage:
      append_text_field("EKLOGGER_CATALOG", record.catalog, out);
      append_number_field("EKLOGGER_SET", record.set, out);
      append_number_field("EKLOGGER_NUMBER", record.number, out);
      break;
    case RecordKind::kTrace:
      append_text_field("CODE_FILE", record.file, out);
      append_number_field("CODE_LINE", record.line, out);
      append_text_field("CODE_FUNC", record.function, out);
      break;
    case RecordKind::kText:
      break;
  }
  if (identity.process_id != 0) {
    append_number_field("EKLOGGER_PID", static_cast<std::int64_t>(identity.process_id), out);
  }
  if (identity.thread_id != 0) {
    append_number_field("EKLOGGER_TID", static_cast<std::int64_t>(identity.thread_id), out);
  }
}

}  // namespace gw

// Builds entries of the journal's native protocol from toolkit records, for
// the journal handler: one field per line, "NAME=value\n", and a value that
// holds a newline (or any byte at all) in the binary form, "NAME\n", its
// length as 64-bit little endian, the bytes, "\n".  Values go as the caller
// gave them: NUL, control characters and invalid UTF-8 arrive unchanged.
//
// Pure functions of their arguments: safe from any thread.
#ifndef EKLOGGER_TOOLKIT_JOURNAL_JOURNAL_ENTRY_H_
#define EKLOGGER_TOOLKIT_JOURNAL_JOURNAL_ENTRY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "toolkit/record.h"

namespace gw {

struct JournalIdentity {
  std::string_view identifier;   // SYSLOG_IDENTIFIER; left out when empty
  int facility = -1;             // SYSLOG_FACILITY; -1 leaves it out
  std::uint64_t process_id = 0;  // EKLOGGER_PID; 0 leaves it out
  std::uint64_t thread_id = 0;   // EKLOGGER_TID; 0 leaves it out
};

// Appends one field.  name must be a valid journal field name (upper-case
// letters, digits and '_', not starting with '_' or a digit): the handler
// passes only its own constants.
void append_journal_field(std::string_view name, std::string_view value, std::string& out);

// Replaces out with the whole entry of a record: MESSAGE (message without
// one trailing newline), PRIORITY (the syslog handler's severity), the
// identity's fields, EKLOGGER_LEVEL, EKLOGGER_LOGGER, EKLOGGER_COMPONENT,
// then EKLOGGER_CATALOG/SET/NUMBER for a catalogued message or
// CODE_FILE/CODE_LINE/CODE_FUNC for a trace record.  Empty texts are left out.
void build_journal_entry(const Record& record, const JournalIdentity& identity,
                         std::string_view message, std::string& out);

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_JOURNAL_JOURNAL_ENTRY_H_

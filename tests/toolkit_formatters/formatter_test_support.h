// Shared pieces of the formatter tests: records of each kind, hostile field
// values, a scratch directory, running the real checking tools (xmllint, jq,
// grep) and undoing the basic format's escapes.
#ifndef EKLOGGER_TESTS_TOOLKIT_FORMATTERS_FORMATTER_TEST_SUPPORT_H_
#define EKLOGGER_TESTS_TOOLKIT_FORMATTERS_FORMATTER_TEST_SUPPORT_H_

#include <string>
#include <string_view>
#include <vector>

#include "record.h"

namespace gw::testing {

// 2026-12-08T10:42:07.123456Z.
inline constexpr std::int64_t kSampleTimeUs = 1796726527123456;

Record message_record(std::string_view text);
Record trace_record(std::string_view text);
Record text_record(std::string_view text);
// One record of each kind carrying value in every text field.
std::vector<Record> records_of_every_kind(std::string_view value);

// Field values that break naive formatters, each with a name for messages.
struct Sample {
  std::string name;
  std::string bytes;
  bool valid_utf8;
};
std::vector<Sample> hostile_samples();
// Every byte 0..255 once, in order.
std::string every_byte();

// Puts the time zone for this process, as a POSIX TZ value.
void use_time_zone(const char* tz);

// A fresh directory, removed with its files at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // Writes bytes to name in the directory and returns its path.
  std::string write(const std::string& name, std::string_view bytes) const;

 private:
  std::string path_;
};

struct CommandResult {
  int exit_status;  // -1 when the command did not exit normally
  std::string output;  // stdout and stderr together
};
CommandResult run_command(const std::string& command);
std::string shell_quote(std::string_view text);

// The fields of one basic line, still escaped, split by the documented grammar.
struct BasicLine {
  std::string time, level, product, component, origin, text;
};
// False when line does not follow the grammar.
bool split_basic_line(std::string_view line, BasicLine& fields);
// Undoes the basic escapes; false for a malformed escape.
bool unescape_basic(std::string_view escaped, std::string& bytes);

}  // namespace gw::testing

#endif  // EKLOGGER_TESTS_TOOLKIT_FORMATTERS_FORMATTER_TEST_SUPPORT_H_

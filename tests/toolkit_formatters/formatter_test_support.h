// Shared pieces of the formatter tests: records of each kind, hostile field
// values, scratch files, the real checking tools (xmllint, jq, grep, sed)
// and undoing the basic format's escapes.
#ifndef EKLOGGER_TESTS_TOOLKIT_FORMATTERS_FORMATTER_TEST_SUPPORT_H_
#define EKLOGGER_TESTS_TOOLKIT_FORMATTERS_FORMATTER_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_files.h"
#include "toolkit/formatters/formatter.h"
#include "toolkit/record.h"

namespace gw::testing {

using namespace std::string_literals;

inline constexpr std::int64_t kSampleTimeUs = 1796726527123456;  // 2026-12-08T10:42:07.123456Z

inline Record sample_record(RecordKind kind, std::string_view text) {
  Record record;
  record.time_us = kSampleTimeUs;
  record.level = kind == RecordKind::kMessage ? 4000 : kind == RecordKind::kTrace ? 2000 : 6000;
  record.kind = kind;
  record.logger = "logger.dc.main";
  record.product = kind == RecordKind::kTrace ? "srvport=9000 pid=123 tid=456" : "ekserver";
  record.component = "dispatcher";
  record.catalog = "eklogger", record.set = 1, record.number = 42;
  record.file = "src/session.cpp", record.function = "Session::open", record.line = 120;
  record.text = text;
  return record;
}

// One record of each kind carrying value in every text field.
inline std::vector<Record> records_of_every_kind(std::string_view value) {
  std::vector<Record> records;
  for (RecordKind kind : {RecordKind::kMessage, RecordKind::kTrace, RecordKind::kText}) {
    Record record = sample_record(kind, value);
    record.logger = record.product = record.component = value;
    record.catalog = record.file = record.function = value;
    records.push_back(record);
  }
  return records;
}

struct Sample {
  std::string name;
  std::string bytes;
  bool valid_utf8;
};

// Field values that break naive formatters.
inline std::vector<Sample> hostile_samples() {
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte.push_back(static_cast<char>(c));
  std::string long_mixed;
  while (long_mixed.size() < (1 << 18)) long_mixed += "caf\xc3\xa9 <&\"\\]:\n\t\x01\xff ";
  return {
      {"plain", "Server started", true},
      {"empty", "", true},
      {"percent", "100% done %s %n %d %% %", true},
      {"forged record", "ok\n2026-12-08T11:42:07.000000+01:00 SEVERE [x] [y] [] forged\r\nnext",
       true},
      {"controls", "nul\0bel\x07 bs\x08 vt\x0b ff\x0c esc\x1b[31m del\x7f us\x1f tab\t"s, true},
      {"backslashes", "C:\\path\\x41\\n\\", true},
      {"markup and quotes", "<a href=\"x\">&amp; &#10; ]]> </record></log> 'single' `back`", true},
      {"separators", "] [x:1:2] [] : ]] [", true},
      {"unicode",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xe6\x97\xa5 \xf0\x9f\x98\x80 \xe2\x80\xa8 \xc2\x85 \xf4\x8f\xbf\xbf",
       true},
      {"noncharacters", "\xef\xbf\xbe \xef\xbf\xbf \xef\xb7\x90", true},
      {"every byte", every_byte, false},
      {"overlong", "\xc0\xaf \xc1\xbf \xe0\x80\xaf \xf0\x80\x80\xaf", false},
      {"surrogates", "\xed\xa0\x80 \xed\xbf\xbf \xed\xa0\xbd\xed\xb8\x80", false},
      {"truncated", "\xe2\x82 \xf0\x9f\x98 x\xc3", false},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80 \xf5\x80 \xfe\xff \x80\xbf", false},
      {"long plain", std::string(1 << 20, 'x'), true},
      {"long mixed", long_mixed, false},
  };
}

// Every hostile sample in every field of every kind, formatted one after another.
inline std::string hostile_file(const RecordFormatter& formatter, std::size_t& records) {
  std::string file;
  records = 0;
  for (const Sample& sample : hostile_samples()) {
    for (const Record& record : records_of_every_kind(sample.bytes))
      formatter.format(record, file), ++records;
  }
  return file;
}

// A fixture for the formatter of one class, under a fixed time zone.
class FormatterFixture : public ::testing::Test {
 protected:
  explicit FormatterFixture(const char* class_name)
      : formatter_(make_record_formatter(class_name)) {}
  void SetUp() override {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  std::string format(const Record& record) const {
    std::string out;
    formatter_->format(record, out);
    return out;
  }
  std::unique_ptr<RecordFormatter> formatter_;
};

inline void use_time_zone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

// Writes bytes to name in this process's scratch directory, removed when
// the program ends, and returns the file's path.
inline std::string scratch_file(const std::string& name, std::string_view bytes) {
  static const TempDir dir("gwfmt");
  const std::string path = dir.file(name);
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

struct CommandResult {
  int exit_status;     // -1 when the command did not exit normally
  std::string output;  // its standard output
};

inline CommandResult run_command(const std::string& command) {
  CommandResult result{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.output.append(buffer, got);
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

inline std::string shell_quote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? "'\\''"s : std::string(1, c);
  return quoted + "'";
}

// Undoes the basic escapes; false for a malformed escape.
inline bool unescape_basic(std::string_view escaped, std::string& bytes) {
  const auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  const std::string_view short_escapes = "nrt\\";
  bytes.clear();
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      bytes.push_back(escaped[i]);
    } else if (i + 1 < escaped.size() &&
               short_escapes.find(escaped[i + 1]) != std::string_view::npos) {
      bytes.push_back("\n\r\t\\"[short_escapes.find(escaped[++i])]);
    } else if (i + 3 < escaped.size() && escaped[i + 1] == 'x' && hex(escaped[i + 2]) >= 0 &&
               hex(escaped[i + 3]) >= 0) {
      bytes.push_back(static_cast<char>(hex(escaped[i + 2]) * 16 + hex(escaped[i + 3])));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace gw::testing

#endif  // EKLOGGER_TESTS_TOOLKIT_FORMATTERS_FORMATTER_TEST_SUPPORT_H_

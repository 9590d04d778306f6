#include "formatter_test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace gw::testing {

Record message_record(std::string_view text) {
  Record record;
  record.time_us = kSampleTimeUs;
  record.level = 4000;
  record.kind = RecordKind::kMessage;
  record.logger = "logger.dc.msg.main";
  record.product = "ekserver";
  record.component = "dispatcher";
  record.catalog = "eklogger";
  record.set = 1;
  record.number = 42;
  record.text = text;
  return record;
}

Record trace_record(std::string_view text) {
  Record record;
  record.time_us = kSampleTimeUs;
  record.level = 2000;
  record.kind = RecordKind::kTrace;
  record.logger = "logger.dc.trace.main";
  record.product = "srvport=9000 pid=123 tid=456";
  record.component = "dispatcher";
  record.file = "src/session.cpp";
  record.function = "Session::open";
  record.line = 120;
  record.text = text;
  return record;
}

Record text_record(std::string_view text) {
  Record record;
  record.time_us = kSampleTimeUs;
  record.level = 6000;
  record.kind = RecordKind::kText;
  record.logger = "logger.dc.err.main";
  record.product = "ekserver";
  record.component = "dispatcher";
  record.text = text;
  return record;
}

std::vector<Record> records_of_every_kind(std::string_view value) {
  std::vector<Record> records = {message_record(value), trace_record(value), text_record(value)};
  for (Record& record : records) {
    record.logger = value;
    record.product = value;
    record.component = value;
    if (record.kind == RecordKind::kMessage) record.catalog = value;
    if (record.kind == RecordKind::kTrace) {
      record.file = value;
      record.function = value;
    }
  }
  return records;
}

std::string every_byte() {
  std::string bytes;
  for (int c = 0; c < 256; ++c) bytes.push_back(static_cast<char>(c));
  return bytes;
}

std::vector<Sample> hostile_samples() {
  using namespace std::string_literals;
  std::string long_plain(1 << 20, 'x');
  std::string long_mixed;
  while (long_mixed.size() < (1 << 18)) long_mixed += "caf\xc3\xa9 <&\"\\]:\n\t\x01\xff ";
  return {
      {"plain", "Server started", true},
      {"empty", "", true},
      {"percent", "100% done %s %n %d %% %", true},
      {"forged record", "ok\n2026-12-08T11:42:07.000000+01:00 SEVERE [x] [y] [] forged\r\nnext", true},
      {"controls", "nul\0bel\x07 bs\x08 vt\x0b ff\x0c esc\x1b[31mred\x1b[0m del\x7f us\x1f"s, true},
      {"backslashes and tabs", "C:\\path\\x41\\n\tcol\t\\", true},
      {"markup", "<a href=\"x\">&amp; &#10; ]]> </record></log><record>", true},
      {"quotes", "\"double\" 'single' `back` \\\"", true},
      {"separators", "] [x:1:2] [] : ]] [", true},
      {"unicode", "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 ls\xe2\x80\xa8 ps\xe2\x80\xa9 nel\xc2\x85 max\xf4\x8f\xbf\xbf", true},
      {"noncharacters", "\xef\xbf\xbe \xef\xbf\xbf \xef\xb7\x90", true},
      {"every byte", every_byte(), false},
      {"overlong", "\xc0\xaf \xc1\xbf \xe0\x80\xaf \xf0\x80\x80\xaf", false},
      {"surrogates", "\xed\xa0\x80 \xed\xbf\xbf \xed\xa0\xbd\xed\xb8\x80", false},
      {"truncated", "\xe2\x82 \xf0\x9f\x98 x\xc3", false},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80 \xf5\x80 \xfe\xff", false},
      {"stray continuations", "\x80\xbf a\x80\x80\x80\x80", false},
      {"long plain", long_plain, true},
      {"long mixed", long_mixed, false},
  };
}

void use_time_zone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "gwfmt-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string& name, std::string_view bytes) const {
  const std::string path = path_ + "/" + name;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path);
  return path;
}

CommandResult run_command(const std::string& command) {
  CommandResult result{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

std::string shell_quote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

namespace {

// Takes "[...] " off the front of rest into field.
bool take_bracketed(std::string_view& rest, std::string& field) {
  if (rest.size() < 3 || rest[0] != '[') return false;
  const std::size_t close = rest.find(']');
  if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ' ') return false;
  field.assign(rest.substr(1, close - 1));
  rest.remove_prefix(close + 2);
  return true;
}

bool take_word(std::string_view& rest, std::string& field) {
  const std::size_t space = rest.find(' ');
  if (space == 0 || space == std::string_view::npos) return false;
  field.assign(rest.substr(0, space));
  rest.remove_prefix(space + 1);
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool split_basic_line(std::string_view line, BasicLine& fields) {
  std::string_view rest = line;
  return take_word(rest, fields.time) && take_word(rest, fields.level) &&
         take_bracketed(rest, fields.product) && take_bracketed(rest, fields.component) &&
         take_bracketed(rest, fields.origin) && (fields.text.assign(rest), true);
}

bool unescape_basic(std::string_view escaped, std::string& bytes) {
  bytes.clear();
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      bytes.push_back(escaped[i]);
      continue;
    }
    if (++i == escaped.size()) return false;
    switch (escaped[i]) {
      case 'n': bytes.push_back('\n'); break;
      case 'r': bytes.push_back('\r'); break;
      case 't': bytes.push_back('\t'); break;
      case '\\': bytes.push_back('\\'); break;
      case 'x': {
        if (i + 2 >= escaped.size()) return false;
        const int high = hex_value(escaped[i + 1]);
        const int low = hex_value(escaped[i + 2]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

}  // namespace gw::testing

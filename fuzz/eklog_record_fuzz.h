// What eklog's three record-reader fuzz targets share: the input is a log
// file's bytes, read line by line as records of one format.  No line may
// crash a reader, a record's time and level read quickly are its own, and
// a line read as a record must print as exactly one line: JSON that parses
// back (simdjson) to the same text, and a short line without control bytes.
#ifndef EKLOGGER_FUZZ_EKLOG_RECORD_FUZZ_H_
#define EKLOGGER_FUZZ_EKLOG_RECORD_FUZZ_H_

#include <simdjson.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "output.h"
#include "record_parser.h"

namespace fuzz {

[[noreturn]] inline void eklog_fail(const char* what, const std::string& output) {
  std::fprintf(stderr, "eklog record fuzz: %s\n  output: %s\n", what, output.c_str());
  std::abort();
}

// A valid UTF-8 text must come back from the JSON exactly (the printer
// replaces the bytes of an invalid one).
inline bool valid_utf8(const std::string& text) {
  return simdjson::validate_utf8(text.data(), text.size());
}

inline void fuzz_record_lines(eklog::Format format, const std::uint8_t* data, std::size_t size) {
  static eklog::RecordParser parser;
  static simdjson::dom::parser json;
  const eklog::Printer as_json(eklog::OutputMode::kJson, false);
  const eklog::Printer as_short(eklog::OutputMode::kShort, true);
  const char* bytes = reinterpret_cast<const char*>(data);
  std::size_t start = 0;
  while (start < size) {
    const char* end = static_cast<const char*>(std::memchr(bytes + start, '\n', size - start));
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - bytes) - start : size - start;
    const std::string_view line(bytes + start, length);
    start += length + 1;
    (void)eklog::detect_format(line);
    std::int64_t quick_time_us;
    int quick_level;
    const bool quick = parser.quick_time_level(format, line, quick_time_us, quick_level);
    eklog::RecordView view;
    if (!parser.parse(format, line, view)) continue;
    // A line read only up to its time and level is ordered and filtered by them.
    if (quick && (quick_time_us != view.time_us || quick_level != view.level_value))
      eklog_fail("the quick time or level differs from the record's",
                 std::to_string(quick_time_us) + " " + std::to_string(quick_level) + " / " +
                     std::to_string(view.time_us) + " " + std::to_string(view.level_value) + ": " +
                     std::string(line));
    eklog::Record record;
    record.assign(view);
    std::string out;
    as_json.format(record, out);
    if (out.empty() || out.back() != '\n' || out.find('\n') != out.size() - 1)
      eklog_fail("the JSON output is not one line", out);
    simdjson::dom::element element;
    if (json.parse(out.data(), out.size() - 1).get(element))
      eklog_fail("the JSON output does not parse", out);
    std::string_view text;
    if (element["text"].get_string().get(text)) eklog_fail("the JSON output has no text", out);
    if (valid_utf8(record.text) && text != record.text) eklog_fail("the JSON text differs", out);
    out.clear();
    as_short.format(record, out);
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(out[i]);
      if ((c < 0x20 && c != 0x1b) || c == 0x7f) eklog_fail("a control byte in the short line", out);
    }
    // The only escape sequences are the printer's own colours.
    std::size_t escapes = 0;
    for (std::size_t at = out.find('\033'); at != std::string::npos; at = out.find('\033', at + 1))
      ++escapes;
    if (escapes > 2) eklog_fail("an escape sequence from the record reached the short line", out);
  }
}

}  // namespace fuzz

#endif  // EKLOGGER_FUZZ_EKLOG_RECORD_FUZZ_H_

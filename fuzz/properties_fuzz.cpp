// Fuzz target: the toolkit's properties parser on arbitrary file contents.
//
// Besides memory safety it checks what a reader of the result relies on:
// every line number lies in the file, no key is empty, no key or value holds
// a NUL byte (the C interface could not carry it), and the entries survive a
// round trip: written back with escapes and parsed again, they come out the
// same and without errors.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "toolkit/properties.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "properties_fuzz: %s: \"%s\"\n", what, detail.c_str());
  std::abort();
}

int count_lines(std::string_view text) {
  int lines = 1;
  for (char c : text) lines += c == '\n' || c == '\r';
  return lines;
}

// Writes one key or value so that the parser reads it back as it is.
void escape(const std::string& text, std::string& out) {
  for (char c : text) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\\':
      case '=':
      case ':':
      case ' ':
      case '#':
      case '!':
        out += '\\';
        out += c;
        break;
      default:
        out += c;
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const gw::ParsedProperties parsed = gw::parse_properties(text);
  const int lines = count_lines(text);

  std::string written;
  for (const gw::PropertyLine& entry : parsed.entries) {
    if (entry.line < 1 || entry.line > lines) fail("entry line outside the file", entry.key);
    if (entry.key.empty()) fail("entry with an empty key", entry.value);
    if (entry.key.find('\0') != std::string::npos || entry.value.find('\0') != std::string::npos) {
      fail("NUL byte in a key or value", entry.key);
    }
    escape(entry.key, written);
    written += '=';
    escape(entry.value, written);
    written += '\n';
  }
  for (const gw::PropertyError& error : parsed.errors) {
    if (error.line < 1 || error.line > lines) fail("error line outside the file", error.message);
    if (error.message.empty()) fail("error without a message", std::to_string(error.line));
  }

  const gw::ParsedProperties again = gw::parse_properties(written);
  if (!again.errors.empty()) fail("written entries give an error", again.errors[0].message);
  if (again.entries.size() != parsed.entries.size())
    fail("round trip changed the entries", written);
  for (std::size_t i = 0; i < again.entries.size(); ++i) {
    if (again.entries[i].key != parsed.entries[i].key ||
        again.entries[i].value != parsed.entries[i].value) {
      fail("round trip changed an entry", parsed.entries[i].key);
    }
  }
  return 0;
}

#include "toolkit/properties.h"

#include <algorithm>
#include <cstdint>

namespace gw {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\f'; }

// Splits text into physical lines at "\n", "\r" or "\r\n".
std::vector<std::string_view> physical_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// True when the line ends in an odd number of backslashes: a continuation.
bool continues(std::string_view line) {
  std::size_t count = 0;
  while (count < line.size() && line[line.size() - 1 - count] == '\\') ++count;
  return count % 2 == 1;
}

std::string_view skip_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool read_hex4(std::string_view text, std::size_t at, std::uint32_t& code) {
  if (at + 4 > text.size()) return false;
  code = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    code <<= 4;
    if (c >= '0' && c <= '9') {
      code |= static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      code |= static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      code |= static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
  }
  return true;
}

// Resolves the escapes of a key or value; false with error set for a
// malformed \u escape, a lone surrogate or a NUL character (escaped or a raw
// byte of the file), which no C text could carry.
bool unescape(std::string_view raw, std::string& out, std::string& error) {
  out.clear();
  if (raw.find('\0') != std::string_view::npos) {
    error = "a NUL byte cannot be part of a key or value";
    return false;
  }
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i == raw.size()) break;  // a lone trailing backslash stands for nothing
    switch (raw[i]) {
      case 't':
        out.push_back('\t');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'u': {
        std::uint32_t code = 0;
        if (!read_hex4(raw, i + 1, code)) {
          error = "malformed \\uXXXX escape";
          return false;
        }
        i += 4;
        if (code >= 0xD800 && code <= 0xDBFF) {
          std::uint32_t low = 0;
          if (i + 2 < raw.size() && raw[i + 1] == '\\' && raw[i + 2] == 'u' &&
              read_hex4(raw, i + 3, low) && low >= 0xDC00 && low <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
          } else {
            error = "\\u escape of a lone surrogate";
            return false;
          }
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          error = "\\u escape of a lone surrogate";
          return false;
        }
        if (code == 0) {
          error = "\\u0000: a NUL character cannot be part of a key or value";
          return false;
        }
        append_utf8(out, code);
        break;
      }
      default:
        out.push_back(raw[i]);
        break;
    }
  }
  return true;
}

// Drops trailing blanks that are not escaped ("a\ " keeps its space).
std::string_view trim_trailing(std::string_view raw) {
  while (!raw.empty() && is_blank(raw.back())) {
    std::size_t slashes = 0;
    while (slashes + 1 < raw.size() && raw[raw.size() - 2 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 1) break;
    raw.remove_suffix(1);
  }
  return raw;
}

}  // namespace

ParsedProperties parse_properties(std::string_view text) {
  ParsedProperties result;
  const std::vector<std::string_view> lines = physical_lines(text);
  for (std::size_t index = 0; index < lines.size(); ++index) {
    const int first_line = static_cast<int>(index) + 1;
    std::string_view line = skip_blanks(lines[index]);
    if (line.empty() || line.front() == '#' || line.front() == '!') continue;
    std::string logical;
    while (continues(line)) {
      line.remove_suffix(1);
      logical.append(line);
      if (++index == lines.size()) {
        line = {};
        break;
      }
      line = skip_blanks(lines[index]);
    }
    logical.append(line);

    const std::string_view entry = logical;
    std::size_t key_end = 0;
    while (key_end < entry.size()) {
      const char c = entry[key_end];
      if (c == '\\') {
        key_end += 2;
        continue;
      }
      if (c == '=' || c == ':' || is_blank(c)) break;
      ++key_end;
    }
    key_end = std::min(key_end, entry.size());
    std::string_view rest = skip_blanks(entry.substr(key_end));
    if (!rest.empty() && (rest.front() == '=' || rest.front() == ':')) {
      rest = skip_blanks(rest.substr(1));
    }

    PropertyLine parsed;
    parsed.line = first_line;
    std::string error;
    if (!unescape(entry.substr(0, key_end), parsed.key, error) ||
        !unescape(trim_trailing(rest), parsed.value, error)) {
      result.errors.push_back({first_line, error});
      continue;
    }
    if (parsed.key.empty()) {
      result.errors.push_back({first_line, "a value without a key"});
      continue;
    }
    result.entries.push_back(std::move(parsed));
  }
  return result;
}

}  // namespace gw

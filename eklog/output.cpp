#include "output.h"

#include <charconv>
#include <cstdio>

namespace eklog {

namespace {

// Length of the well-formed UTF-8 sequence at text[at], or 0.
std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf)
    length = 2;
  else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;  // no surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) return 0;
  }
  return length;
}

void append_hex(unsigned value, int digits, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(kHex[(value >> shift) & 15]);
}

const char* level_color(int level_value) {
  if (level_value >= 6000) return "\033[1;31m";
  if (level_value >= 5000) return "\033[1;33m";
  if (level_value >= 4000) return nullptr;
  return "\033[2m";
}

void append_number(long long value, std::string& out) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

bool plain_json_byte(unsigned char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

}  // namespace

void append_visible(std::string_view text, std::string& out) {
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
      ++at;
      continue;
    }
    const std::size_t length = c >= 0x80 ? utf8_length(text, at) : 0;
    // C1 controls (U+0080-U+009F, C2 80-9F) and the line separators would
    // break or steer a terminal line as surely as C0 controls.
    const bool c1 = length == 2 && c == 0xc2 && static_cast<unsigned char>(text[at + 1]) < 0xa0;
    const bool separator = length == 3 && c == 0xe2 &&
                           static_cast<unsigned char>(text[at + 1]) == 0x80 &&
                           (static_cast<unsigned char>(text[at + 2]) & 0xfe) == 0xa8;
    if (length > 0 && !c1 && !separator) {
      out.append(text.data() + at, length);
      at += length;
      continue;
    }
    const std::size_t count = length > 0 ? length : 1;
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned char b = static_cast<unsigned char>(text[at + i]);
      switch (b) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\\':
          out += "\\\\";
          break;
        default:
          out += "\\x";
          append_hex(b, 2, out);
      }
    }
    at += count;
  }
}

void append_json_string(std::string_view text, std::string& out) {
  out.push_back('"');
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (plain_json_byte(c)) {
      std::size_t end = at + 1;
      while (end < text.size() && plain_json_byte(static_cast<unsigned char>(text[end]))) ++end;
      out.append(text.data() + at, end - at);
      at = end;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          out += "\\u00";
          append_hex(c, 2, out);
      }
      ++at;
      continue;
    }
    const std::size_t length = utf8_length(text, at);
    if (length == 0) {
      out += "\xef\xbf\xbd";
      ++at;
      continue;
    }
    const unsigned char second = static_cast<unsigned char>(text[at + 1]);
    if (length == 2 && c == 0xc2 && second < 0xa0) {
      out += "\\u00";
      append_hex(second, 2, out);
    } else if (length == 3 && c == 0xe2 && second == 0x80 &&
               (static_cast<unsigned char>(text[at + 2]) & 0xfe) == 0xa8) {
      out += static_cast<unsigned char>(text[at + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
    } else {
      out.append(text.data() + at, length);
    }
    at += length;
  }
  out.push_back('"');
}

void Printer::format(const Record& record, std::string& out) const {
  if (mode_ == OutputMode::kJson) {
    format_json(record, out);
  } else if (mode_ == OutputMode::kCat) {
    append_visible(record.bad ? std::string_view(record.unparsed) : std::string_view(record.text),
                   out);
    out.push_back('\n');
  } else {
    format_short(record, out);
  }
}

void Printer::format_short(const Record& record, std::string& out) const {
  if (record.bad) {
    if (color_) out += "\033[7m";
    out += "?? ";
    out += record.source;
    out += ": ";
    append_visible(record.unparsed, out);
    if (color_) out += "\033[0m";
    out.push_back('\n');
    return;
  }
  const char* color = color_ ? level_color(record.level_value) : nullptr;
  if (color != nullptr) out += color;
  // 2026-12-08T11:42:07.123456+01:00 -> 2026-12-08 11:42:07.123456, the
  // writer's local time.
  // (A JSON or XML record's time text is not checked when time_us is there.)
  const std::string_view time(record.time);
  if (time.size() >= 26 && time[10] == 'T') {
    append_visible(time.substr(0, 10), out);
    out.push_back(' ');
    append_visible(time.substr(11, 15), out);
  } else {
    append_visible(record.time, out);
  }
  out.push_back(' ');
  append_visible(record.level, out);
  for (std::size_t n = record.level.size(); n < 7; ++n) out.push_back(' ');
  out.push_back(' ');
  const std::string& who = !record.component.empty() ? record.component
                           : !record.product.empty() ? record.product
                                                     : record.logger;
  append_visible(who, out);
  if (record.pid >= 0) {
    out.push_back('[');
    append_number(record.pid, out);
    if (record.tid >= 0) {
      out.push_back('/');
      append_number(record.tid, out);
    }
    out.push_back(']');
  }
  if (record.origin == Origin::kMessage) {
    out.push_back(' ');
    append_visible(record.catalog, out);
    out.push_back(':');
    append_number(record.set, out);
    out.push_back(':');
    append_number(record.number, out);
  } else if (record.origin == Origin::kTrace) {
    out.push_back(' ');
    append_visible(record.file, out);
    out.push_back(':');
    append_number(record.line, out);
  }
  out += ": ";
  append_visible(record.text, out);
  if (color != nullptr) out += "\033[0m";
  out.push_back('\n');
}

void Printer::format_json(const Record& record, std::string& out) const {
  if (record.bad) {
    out += "{\"unparsed\":";
    append_json_string(record.unparsed, out);
    out += ",\"source\":";
    append_json_string(record.source, out);
    out += "}\n";
    return;
  }
  if (!record.json_line.empty()) {
    out += record.json_line;
    out.push_back('\n');
    return;
  }
  out += "{\"time\":";
  append_json_string(record.time, out);
  out += ",\"time_us\":";
  append_number(record.time_us, out);
  out += ",\"level\":";
  append_json_string(record.level, out);
  out += ",\"level_value\":";
  append_number(record.level_value, out);
  if (record.has_logger) {
    out += ",\"logger\":";
    append_json_string(record.logger, out);
  }
  out += ",\"product\":";
  append_json_string(record.product, out);
  out += ",\"component\":";
  append_json_string(record.component, out);
  if (record.origin == Origin::kMessage) {
    out += ",\"catalog\":";
    append_json_string(record.catalog, out);
    out += ",\"set\":";
    append_number(record.set, out);
    out += ",\"number\":";
    append_number(record.number, out);
  } else if (record.origin == Origin::kTrace) {
    out += ",\"file\":";
    append_json_string(record.file, out);
    out += ",\"function\":";
    append_json_string(record.function, out);
    out += ",\"line\":";
    append_number(record.line, out);
  }
  out += ",\"text\":";
  append_json_string(record.text, out);
  out += "}\n";
}

}  // namespace eklog

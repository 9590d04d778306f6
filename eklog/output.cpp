#include "output.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "toolkit/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace eklog {

namespace {

// Length of the well-formed UTF-8 sequence at text[at], or 0.
std::size_t utf8_length(std::string_view text, std::size_t at) {
  const gw::Utf8Step step = gw::decode_utf8(text.substr(at));
  return step.valid ? step.length : 0;
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

// Bytes a JSON string holds as they are: printable ASCII but '"' and '\\'.
struct JsonBytes {
  bool plain[256];
  char short_escape[128];  // the letter after '\\', or 0 for \u00XX
  constexpr JsonBytes() : plain(), short_escape() {
    for (int c = 0; c < 256; ++c) plain[c] = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    short_escape[static_cast<int>('"')] = '"';
    short_escape[static_cast<int>('\\')] = '\\';
    short_escape[static_cast<int>('\b')] = 'b';
    short_escape[static_cast<int>('\f')] = 'f';
    short_escape[static_cast<int>('\n')] = 'n';
    short_escape[static_cast<int>('\r')] = 'r';
    short_escape[static_cast<int>('\t')] = 't';
  }
};
constexpr JsonBytes kJsonBytes;

// The most write_json_string writes for `size` bytes: six for a byte (\u00XX),
// and the quotes.
constexpr std::size_t json_string_room(std::size_t size) { return 6 * size + 2; }

char* write_hex_byte(unsigned value, char* out) {
  static const char kHex[] = "0123456789abcdef";
  std::memcpy(out, "\\u00", 4);
  out[4] = kHex[(value >> 4) & 15];
  out[5] = kHex[value & 15];
  return out + 6;
}

#if defined(__SSE2__)
// The bytes that end a plain run, as a mask: as signed bytes, those below
// 0x20 are the controls and every byte of a multi-byte character.
int json_stops(__m128i bytes) {
  const __m128i space = _mm_set1_epi8(0x20), quote = _mm_set1_epi8('"'),
                backslash = _mm_set1_epi8('\\'), del = _mm_set1_epi8(0x7f);
  return _mm_movemask_epi8(
      _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(bytes, space), _mm_cmpeq_epi8(bytes, quote)),
                   _mm_or_si128(_mm_cmpeq_epi8(bytes, backslash), _mm_cmpeq_epi8(bytes, del))));
}

// For a text of 4 to 15 bytes, which most fields are: copies it to out up
// to its first stop and returns how many bytes that is; 0 for any other.
// The text is read as two overlapping words, the second ending with it, so
// that none of its bytes is looked at alone.  Stores go up to text.size()
// bytes from out.
std::size_t copy_short_plain(const char* text, std::size_t size, char* out) {
  if (size < 4 || size >= 16) return 0;
  const std::size_t word = size >= 8 ? 8 : 4;
  std::uint64_t low = 0, high = 0;
  if (word == 8) {
    std::memcpy(&low, text, 8);
    std::memcpy(&high, text + size - 8, 8);
    std::memcpy(out, &low, 8);
    std::memcpy(out + size - 8, &high, 8);
  } else {
    std::uint32_t low32, high32;
    std::memcpy(&low32, text, 4);
    std::memcpy(&high32, text + size - 4, 4);
    std::memcpy(out, &low32, 4);
    std::memcpy(out + size - 4, &high32, 4);
    low = low32;
    high = high32;
  }
  // One mask for both: its low half the first word's.
  const unsigned mask = static_cast<unsigned>(
      json_stops(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))));
  const unsigned word_mask = (1u << word) - 1;
  const unsigned low_stops = mask & word_mask, high_stops = (mask >> 8) & word_mask;
  if (low_stops != 0) return static_cast<std::size_t>(__builtin_ctz(low_stops));
  if (high_stops != 0) return size - word + static_cast<std::size_t>(__builtin_ctz(high_stops));
  return size;
}
#endif

// text as a JSON string at out, which has json_string_room(text.size())
// bytes of room; returns the end.  Plain runs are copied 16 bytes at a time:
// the store may run past the run, never past the room, and what it put
// there is written over next.
char* write_json_string(std::string_view text, char* out) {
  const unsigned char* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = begin + text.size();
  const unsigned char* p = begin;
  *out++ = '"';
#if defined(__SSE2__)
  {
    const std::size_t plain = copy_short_plain(text.data(), text.size(), out);
    p += plain;
    out += plain;
  }
#endif
  while (p < end) {
#if defined(__SSE2__)
    int mask = 0;
    while (end - p >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      mask = json_stops(bytes);
      if (mask != 0) break;
      p += 16;
      out += 16;
    }
    // Most fields are short: 8 of their bytes in one step too.
    if (mask == 0 && end - p >= 8) {
      const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
      mask = json_stops(bytes) & 0xff;
      if (mask == 0) {
        p += 8;
        out += 8;
      }
    }
    if (mask != 0) {
      const int plain = __builtin_ctz(static_cast<unsigned>(mask));
      p += plain;
      out += plain;
    }
#endif
    while (p < end && kJsonBytes.plain[*p]) *out++ = static_cast<char>(*p++);
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      const char letter = kJsonBytes.short_escape[c];
      if (letter != 0) {
        out[0] = '\\';
        out[1] = letter;
        out += 2;
      } else {
        out = write_hex_byte(c, out);
      }
      ++p;
      continue;
    }
    const std::size_t length = utf8_length(text, static_cast<std::size_t>(p - begin));
    if (length == 0) {
      std::memcpy(out, "\xef\xbf\xbd", 3);  // U+FFFD for a byte of no character
      out += 3;
      ++p;
      continue;
    }
    // C1 controls and the line separators, which JavaScript reads as line ends.
    if (length == 2 && c == 0xc2 && p[1] < 0xa0) {
      out = write_hex_byte(p[1], out);
    } else if (length == 3 && c == 0xe2 && p[1] == 0x80 && (p[2] & 0xfe) == 0xa8) {
      std::memcpy(out, p[2] == 0xa8 ? "\\u2028" : "\\u2029", 6);
      out += 6;
    } else {
      std::memcpy(out, p, length);
      out += length;
    }
    p += length;
  }
  *out++ = '"';
  return out;
}

// The eight decimal digits of value (below 10^8) as byte values 0 to 9,
// the first digit in the lowest byte: the halves of four digits, then
// their pairs, then their digits, each split by one multiplication (by an
// inverse of 100, then of 10) for all parts at once.
std::uint64_t eight_digits(std::uint32_t value) {
  const std::uint64_t halves = value / 10000 | static_cast<std::uint64_t>(value % 10000) << 32;
  const std::uint64_t hundreds = (halves * 10486) >> 20 & 0x0000007f0000007fULL;
  const std::uint64_t pairs = hundreds | (halves - hundreds * 100) << 16;
  const std::uint64_t tens = (pairs * 103) >> 10 & 0x000f000f000f000fULL;
  return tens | (pairs - tens * 10) << 8;
}

// The same for four digits (value below 10^4), in the low four bytes.
std::uint64_t four_digits(std::uint32_t value) {
  const std::uint64_t pairs = value / 100 | static_cast<std::uint64_t>(value % 100) << 16;
  const std::uint64_t tens = (pairs * 103) >> 10 & 0x000f000fULL;
  return tens | (pairs - tens * 10) << 8;
}

// value (below 10^8) at out without leading zeros; the 8 bytes from out
// are room.
char* write_short_number(std::uint32_t value, char* out) {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  const bool four = value < 10000;
  const std::uint64_t digits = four ? four_digits(value) : eight_digits(value);
  // The leading zeros are the lowest bytes that are 0.
  const int zeros = __builtin_ctzll(digits) / 8;
  const std::uint64_t text = (digits >> (8 * zeros)) + 0x3030303030303030ULL;
  std::memcpy(out, &text, 8);
  return out + (four ? 4 : 8) - zeros;
}

// Eight digits, leading zeros written.
char* write_eight_digits(std::uint32_t value, char* out) {
  const std::uint64_t text = eight_digits(value) + 0x3030303030303030ULL;
  std::memcpy(out, &text, 8);
  return out + 8;
}

// value in decimal at out, which has 24 bytes of room: eight digits a
// step, as a time_us's 16 take two.
char* write_number(long long value, char* out) {
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  if (value < 0) *out++ = '-';
  constexpr unsigned long long kStep = 100000000ULL;
  if (magnitude < kStep) return write_short_number(static_cast<std::uint32_t>(magnitude), out);
  if (magnitude < kStep * kStep) {
    out = write_short_number(static_cast<std::uint32_t>(magnitude / kStep), out);
  } else {
    out = write_short_number(static_cast<std::uint32_t>(magnitude / (kStep * kStep)), out);
    out = write_eight_digits(static_cast<std::uint32_t>(magnitude / kStep % kStep), out);
  }
  return write_eight_digits(static_cast<std::uint32_t>(magnitude % kStep), out);
}

template <std::size_t N>
char* write_literal(const char (&text)[N], char* out) {
  std::memcpy(out, text, N - 1);
  return out + N - 1;
}

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
  const std::size_t at = out.size();
  out.resize(at + json_string_room(text.size()));
  char* const end = write_json_string(text, &out[at]);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

std::string_view JsonWriter::line(const RecordView& record) {
  // Fixed room: the member names, the quotes and six numbers of 20 digits.
  std::size_t room = 512;
  for (std::string_view field :
       {record.time, record.level, record.logger, record.product, record.component, record.catalog,
        record.file, record.function, record.text})
    room += json_string_room(field.size());
  if (buffer_.size() < room) buffer_.resize(room);
  char* const start = buffer_.data();
  char* out = start;
  out = write_literal("{\"time\":", out);
  out = write_json_string(record.time, out);
  out = write_literal(",\"time_us\":", out);
  out = write_number(record.time_us, out);
  out = write_literal(",\"level\":", out);
  out = write_json_string(record.level, out);
  out = write_literal(",\"level_value\":", out);
  out = write_number(record.level_value, out);
  if (record.has_logger) {
    out = write_literal(",\"logger\":", out);
    out = write_json_string(record.logger, out);
  }
  out = write_literal(",\"product\":", out);
  out = write_json_string(record.product, out);
  out = write_literal(",\"component\":", out);
  out = write_json_string(record.component, out);
  if (record.origin == Origin::kMessage) {
    out = write_literal(",\"catalog\":", out);
    out = write_json_string(record.catalog, out);
    out = write_literal(",\"set\":", out);
    out = write_number(record.set, out);
    out = write_literal(",\"number\":", out);
    out = write_number(record.number, out);
  } else if (record.origin == Origin::kTrace) {
    out = write_literal(",\"file\":", out);
    out = write_json_string(record.file, out);
    out = write_literal(",\"function\":", out);
    out = write_json_string(record.function, out);
    out = write_literal(",\"line\":", out);
    out = write_number(record.line, out);
  }
  out = write_literal(",\"text\":", out);
  out = write_json_string(record.text, out);
  out = write_literal("}\n", out);
  return std::string_view(start, static_cast<std::size_t>(out - start));
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
  out += json_.line(record.view());
}

}  // namespace eklog

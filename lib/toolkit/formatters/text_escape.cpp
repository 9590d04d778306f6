#include "text_escape.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <array>
#include <charconv>
#include <cstring>

namespace gw::formatting {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// U+FFFD REPLACEMENT CHARACTER.
constexpr std::string_view kReplacement = "\xef\xbf\xbd";

// The bytes an escaper copies as they stand: printable ASCII except the
// format's specials.  Everything from 0x80 up goes through the UTF-8 check.
template <char... kSpecial>
struct PlainBytes {
  static constexpr std::array<bool, 256> make_table() {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7f; ++c) plain[c] = true;
    for (char c : {kSpecial...}) plain[static_cast<unsigned char>(c)] = false;
    return plain;
  }
  static constexpr std::array<bool, 256> kTable = make_table();

  // High bits set in the bytes of word equal to c (and maybe above them).
  static constexpr std::uint64_t has_byte(std::uint64_t word, char c) {
    const std::uint64_t matches = word ^ (0x0101010101010101 * static_cast<unsigned char>(c));
    return (matches - 0x0101010101010101) & ~matches;
  }

#ifdef __SSE2__
  // One bit per byte of chunk, set where the byte stops a run.
  static unsigned stops_of(__m128i chunk) {
    // Signed compares: 0x80..0xff are negative, so this keeps 0x20..0x7e.
    __m128i plain = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8(0x1f)),
                                  _mm_cmplt_epi8(chunk, _mm_set1_epi8(0x7f)));
    ((plain = _mm_andnot_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(kSpecial)), plain)), ...);
    return ~static_cast<unsigned>(_mm_movemask_epi8(plain)) & 0xFFFFu;
  }

  // The same for the sixteen bytes at data.
  static unsigned stops_in(const char* data) {
    return stops_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)));
  }
#endif

  // Whether any of the eight bytes of word stops a run (exact tests from
  // the "bit twiddling hacks" collection; which byte is not told).
  static bool word_stops(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    const std::uint64_t stop = ((word - kOnes * 0x20) & ~word) |  // a byte below 0x20
                               (word + kOnes) | word |            // a byte above 0x7e
                               (has_byte(word, kSpecial) | ...);
    return (stop & kHighBits) != 0;
  }

  static std::uint64_t load_word(const char* data) {
    std::uint64_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
  }

  // Whether any byte of the sixteen in low and high stops a run.
  static bool pair_stops(std::uint64_t low, std::uint64_t high) {
#ifdef __SSE2__
    return stops_of(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))) != 0;
#else
    return word_stops(low) || word_stops(high);
#endif
  }

  // A field of at most sixteen bytes none of which stops a run, copied
  // whole and returned the end of; null for any other field.  Its bytes are
  // read and written as two words that overlap where the field is shorter
  // (a short field, a name or a label, would otherwise go byte by byte).
  static char* copy_short(char* at, std::string_view bytes) {
    constexpr std::uint64_t kFill = 0x6161616161616161;  // 'a', plain everywhere
    const char* const data = bytes.data();
    const std::size_t size = bytes.size();
    if (size >= 8) {
      if (size > 16) return nullptr;
      const std::uint64_t head = load_word(data);
      const std::uint64_t tail = load_word(data + size - 8);
      if (pair_stops(head, tail)) return nullptr;
      std::memcpy(at, &head, sizeof head);
      std::memcpy(at + size - 8, &tail, sizeof tail);
    } else if (size >= 4) {
      std::uint32_t head, tail;
      std::memcpy(&head, data, sizeof head);
      std::memcpy(&tail, data + size - 4, sizeof tail);
      if (pair_stops(head | static_cast<std::uint64_t>(tail) << 32, kFill)) return nullptr;
      std::memcpy(at, &head, sizeof head);
      std::memcpy(at + size - 4, &tail, sizeof tail);
    } else if (size > 0) {
      const char first = data[0], middle = data[size / 2], last = data[size - 1];
      const std::uint64_t word = (kFill << 24) | static_cast<unsigned char>(first) |
                                 static_cast<std::uint64_t>(static_cast<unsigned char>(middle))
                                     << 8 |
                                 static_cast<std::uint64_t>(static_cast<unsigned char>(last)) << 16;
      if (pair_stops(word, kFill)) return nullptr;
      at[0] = first;
      at[size / 2] = middle;
      at[size - 1] = last;
    }
    return at + size;
  }

  // The end of the run of plain bytes that starts at i.  The last bytes of
  // a field are tested together with bytes already passed (a load that
  // overlaps them) rather than one at a time; only a chunk that holds a
  // stop is searched byte by byte, where the position is not known.
  static std::size_t run_end(std::string_view bytes, std::size_t i) {
    const char* const data = bytes.data();
    const std::size_t size = bytes.size();
#ifdef __SSE2__
    // Sixteen bytes at a time (SSE2 is part of x86-64), which also gives
    // the exact offset of the first byte that stops the run.
    while (i + 16 <= size) {
      const unsigned stops = stops_in(data + i);
      if (stops != 0) return i + static_cast<std::size_t>(__builtin_ctz(stops));
      i += 16;
    }
    if (i == size) return i;
    if (size >= 16) {
      // The bytes before i in this last chunk were passed already (one may
      // be the stop just escaped): shift them out.
      const std::size_t from = size - 16;
      const unsigned stops = stops_in(data + from) >> (i - from);
      return stops != 0 ? i + static_cast<std::size_t>(__builtin_ctz(stops)) : size;
    }
#endif
    std::size_t checked = i;  // bytes below here are known plain
    while (checked + 8 <= size && !word_stops(load_word(data + checked))) checked += 8;
    // Fewer than eight left, none a stop so far: the last eight, which may
    // reach back over bytes already passed; a stop among those only sends
    // the search on byte by byte.
    if (checked + 8 > size && size >= 8 && checked < size &&
        !word_stops(load_word(data + size - 8))) {
      return size;
    }
    while (checked < size && kTable[static_cast<unsigned char>(data[checked])]) ++checked;
    return checked;
  }
};

using BasicTextPlain = PlainBytes<'\\'>;
using BasicBracketedPlain = PlainBytes<'\\', ']'>;
using BasicNamePlain = PlainBytes<'\\', ']', ':'>;
using XmlPlain = PlainBytes<'&', '<', '>', '"'>;
using JsonPlain = PlainBytes<'"', '\\'>;

inline char* write_hex_byte(char* at, unsigned char c) {
  at[0] = '\\';
  at[1] = 'x';
  at[2] = kHexDigits[c >> 4];
  at[3] = kHexDigits[c & 0xf];
  return at + 4;
}

// "\uXXXX" for a code point of the basic multilingual plane.
inline char* write_json_u_escape(char* at, char32_t code_point) {
  at[0] = '\\';
  at[1] = 'u';
  at[2] = kHexDigits[(code_point >> 12) & 0xf];
  at[3] = kHexDigits[(code_point >> 8) & 0xf];
  at[4] = kHexDigits[(code_point >> 4) & 0xf];
  at[5] = kHexDigits[code_point & 0xf];
  return at + 6;
}

// "&#N;" for N below 160: at most 6 bytes, from at least one byte of input.
inline char* write_xml_char_ref(char* at, char32_t code_point) {
  at = write_raw(at, "&#");
  at = write_decimal(at, code_point);
  *at++ = ';';
  return at;
}

// C1 controls and the two Unicode line terminators: valid UTF-8 that some
// readers still take as the end of a line.
inline bool is_line_breaking_non_ascii(char32_t code_point) {
  return (code_point >= 0x80 && code_point <= 0x9f) || code_point == 0x2028 || code_point == 0x2029;
}

// Runs write(at, bytes) in room for its worst case at the end of out.
template <typename Write>
void append_with(std::string& out, std::size_t max_size, Write write) {
  RecordSpace space(out, max_size);
  space.cursor = write(space.cursor);
}

}  // namespace

namespace {

// The basic escapes, with Plain the bytes that stay as they are.
// Out of line, so that a short plain field, copied whole by the caller,
// does not pay for this function's frame.
template <typename Plain>
__attribute__((noinline)) char* write_basic_escaped_with(char* at, std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t run_end = Plain::run_end(bytes, i);
    at = write_raw(at, bytes.substr(i, run_end - i));
    i = run_end;
    if (i == bytes.size()) break;

    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      switch (c) {
        case '\n':
          at = write_raw(at, "\\n");
          break;
        case '\r':
          at = write_raw(at, "\\r");
          break;
        case '\t':
          at = write_raw(at, "\\t");
          break;
        case '\\':
          at = write_raw(at, "\\\\");
          break;
        default:
          at = write_hex_byte(at, c);
          break;
      }
      ++i;
      continue;
    }
    const Utf8Step step = decode_utf8(bytes.substr(i));
    const std::string_view sequence = bytes.substr(i, step.length);
    if (step.valid && !is_line_breaking_non_ascii(step.code_point)) {
      at = write_raw(at, sequence);
    } else {
      for (char byte : sequence) at = write_hex_byte(at, static_cast<unsigned char>(byte));
    }
    i += step.length;
  }
  return at;
}

}  // namespace

char* write_basic_escaped(char* at, std::string_view bytes, BasicField field) {
  switch (field) {
    case BasicField::kText:
      if (char* end = BasicTextPlain::copy_short(at, bytes)) return end;
      return write_basic_escaped_with<BasicTextPlain>(at, bytes);
    case BasicField::kBracketed:
      if (char* end = BasicBracketedPlain::copy_short(at, bytes)) return end;
      return write_basic_escaped_with<BasicBracketedPlain>(at, bytes);
    case BasicField::kName:
      break;
  }
  if (char* end = BasicNamePlain::copy_short(at, bytes)) return end;
  return write_basic_escaped_with<BasicNamePlain>(at, bytes);
}

char* write_xml_escaped(char* at, std::string_view bytes) {
  if (char* end = XmlPlain::copy_short(at, bytes)) return end;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t run_end = XmlPlain::run_end(bytes, i);
    at = write_raw(at, bytes.substr(i, run_end - i));
    i = run_end;
    if (i == bytes.size()) break;

    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      switch (c) {
        case '&':
          at = write_raw(at, "&amp;");
          break;
        case '<':
          at = write_raw(at, "&lt;");
          break;
        case '>':
          at = write_raw(at, "&gt;");
          break;
        case '"':
          at = write_raw(at, "&quot;");
          break;
        case '\t':
        case '\n':
        case '\r':
        case 0x7f:
          at = write_xml_char_ref(at, c);
          break;
        default:
          // A C0 control XML 1.0 cannot carry even as a reference: its
          // control picture, U+2400 + c, encoded E2 90 80+c.
          at[0] = '\xe2';
          at[1] = '\x90';
          at[2] = static_cast<char>(0x80 + c);
          at += 3;
          break;
      }
      ++i;
      continue;
    }
    const Utf8Step step = decode_utf8(bytes.substr(i));
    if (!step.valid || step.code_point == 0xfffe || step.code_point == 0xffff) {
      at = write_raw(at, kReplacement);
    } else if (step.code_point <= 0x9f) {
      at = write_xml_char_ref(at, step.code_point);  // C1 control: legal, made visible
    } else {
      at = write_raw(at, bytes.substr(i, step.length));
    }
    i += step.length;
  }
  return at;
}

char* write_json_escaped(char* at, std::string_view bytes) {
  if (char* end = JsonPlain::copy_short(at, bytes)) return end;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t run_end = JsonPlain::run_end(bytes, i);
    at = write_raw(at, bytes.substr(i, run_end - i));
    i = run_end;
    if (i == bytes.size()) break;

    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          at = write_raw(at, "\\\"");
          break;
        case '\\':
          at = write_raw(at, "\\\\");
          break;
        case '\b':
          at = write_raw(at, "\\b");
          break;
        case '\f':
          at = write_raw(at, "\\f");
          break;
        case '\n':
          at = write_raw(at, "\\n");
          break;
        case '\r':
          at = write_raw(at, "\\r");
          break;
        case '\t':
          at = write_raw(at, "\\t");
          break;
        default:
          at = write_json_u_escape(at, c);
          break;
      }
      ++i;
      continue;
    }
    const Utf8Step step = decode_utf8(bytes.substr(i));
    if (!step.valid) {
      at = write_raw(at, kReplacement);
    } else if (is_line_breaking_non_ascii(step.code_point)) {
      at = write_json_u_escape(at, step.code_point);
    } else {
      at = write_raw(at, bytes.substr(i, step.length));
    }
    i += step.length;
  }
  return at;
}

char* write_decimal(char* at, std::int64_t value) {
  return std::to_chars(at, at + kMaxDecimalLength, value).ptr;
}

void append_basic_escaped(std::string& out, std::string_view bytes, BasicField field) {
  append_with(out, bytes.size() * kBasicExpansion,
              [&](char* at) { return write_basic_escaped(at, bytes, field); });
}

void append_xml_escaped(std::string& out, std::string_view bytes) {
  append_with(out, bytes.size() * kXmlExpansion,
              [&](char* at) { return write_xml_escaped(at, bytes); });
}

void append_json_escaped(std::string& out, std::string_view bytes) {
  append_with(out, bytes.size() * kJsonExpansion,
              [&](char* at) { return write_json_escaped(at, bytes); });
}

void append_decimal(std::string& out, std::int64_t value) {
  append_with(out, kMaxDecimalLength, [&](char* at) { return write_decimal(at, value); });
}

}  // namespace gw::formatting

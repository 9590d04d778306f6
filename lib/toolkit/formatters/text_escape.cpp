#include "toolkit/formatters/text_escape.h"

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

inline char* write_hex_bytes(char* at, std::string_view sequence) {
  for (char byte : sequence) at = write_hex_byte(at, static_cast<unsigned char>(byte));
  return at;
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

// C1 controls and the two Unicode line terminators: valid UTF-8 that some
// readers still take as the end of a line.
inline bool is_line_breaking_non_ascii(char32_t code_point) {
  return (code_point >= 0x80 && code_point <= 0x9f) || code_point == 0x2028 || code_point == 0x2029;
}

// What a format writes for one ASCII byte that stops a plain run.  An
// escaper stores all kWidth bytes of text and moves on by length: one fixed
// store instead of a copy of variable length.  That stays inside the
// caller's room, since every input byte has kWidth bytes of it.
struct AsciiEscape {
  std::uint8_t length = 0;  // 0: the format never escapes this byte
  char text[7] = {};
};
using AsciiEscapes = std::array<AsciiEscape, 0x80>;

constexpr AsciiEscape escape_as(std::string_view text) {
  AsciiEscape escape;
  escape.length = static_cast<std::uint8_t>(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) escape.text[i] = text[i];
  return escape;
}

constexpr AsciiEscape hex_escape(unsigned char c) {
  const char text[] = {'\\', 'x', kHexDigits[c >> 4], kHexDigits[c & 0xf]};
  return escape_as(std::string_view(text, sizeof text));
}

// "\u00XX", for JSON's controls.
constexpr AsciiEscape u_escape(unsigned char c) {
  const char text[] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xf]};
  return escape_as(std::string_view(text, sizeof text));
}

constexpr bool fits_width(const AsciiEscapes& escapes, std::size_t width) {
  for (const AsciiEscape& escape : escapes) {
    if (escape.length > width) return false;
  }
  return width <= sizeof(AsciiEscape::text);
}

// The per-format parts of the escaping loop.  Each format has
//   kWidth            the most bytes it writes per input byte;
//   kAscii            the escape of each ASCII byte that is not plain;
//   write_character   a well-formed character from U+0080 up: as it is, or
//                     escaped where the format cannot carry it raw;
//   write_ill_formed  one maximal ill-formed subpart.

// The basic line: "\n", "\r", "\t", "\\", and "\xHH" for every other byte it
// escapes, those of ill-formed UTF-8 and of the line-breaking characters
// included, so that unescaping gives back the bytes.
constexpr AsciiEscapes basic_ascii_escapes() {
  AsciiEscapes escapes{};
  for (unsigned c = 0; c < 0x80; ++c) escapes[c] = hex_escape(static_cast<unsigned char>(c));
  escapes['\n'] = escape_as("\\n");
  escapes['\r'] = escape_as("\\r");
  escapes['\t'] = escape_as("\\t");
  escapes['\\'] = escape_as("\\\\");
  return escapes;
}

struct BasicEscapes {
  static constexpr std::size_t kWidth = kBasicExpansion;
  static constexpr AsciiEscapes kAscii = basic_ascii_escapes();

  static char* write_character(char* at, std::string_view sequence, char32_t code_point) {
    return is_line_breaking_non_ascii(code_point) ? write_hex_bytes(at, sequence)
                                                  : write_raw(at, sequence);
  }
  static char* write_ill_formed(char* at, std::string_view sequence) {
    return write_hex_bytes(at, sequence);
  }
};

// XML: markup as entities; tab, line feed, carriage return and DEL as character
// references; the other C0 controls, which XML 1.0 cannot carry even as a
// reference, as their control pictures U+2400 + c (E2 90 80+c).
constexpr AsciiEscapes xml_ascii_escapes() {
  AsciiEscapes escapes{};
  for (unsigned c = 0; c < 0x20; ++c) {
    const char picture[] = {'\xe2', '\x90', static_cast<char>(0x80 + c)};
    escapes[c] = escape_as(std::string_view(picture, sizeof picture));
  }
  escapes['\t'] = escape_as("&#9;");
  escapes['\n'] = escape_as("&#10;");
  escapes['\r'] = escape_as("&#13;");
  escapes[0x7f] = escape_as("&#127;");
  escapes['&'] = escape_as("&amp;");
  escapes['<'] = escape_as("&lt;");
  escapes['>'] = escape_as("&gt;");
  escapes['"'] = escape_as("&quot;");
  return escapes;
}

struct XmlEscapes {
  static constexpr std::size_t kWidth = kXmlExpansion;
  static constexpr AsciiEscapes kAscii = xml_ascii_escapes();

  static char* write_character(char* at, std::string_view sequence, char32_t code_point) {
    if (code_point == 0xfffe || code_point == 0xffff) return write_raw(at, kReplacement);
    if (code_point <= 0x9f) {  // C1 control: legal, made visible as "&#N;"
      at = write_raw(at, "&#");
      at = write_decimal(at, code_point);
      *at++ = ';';
      return at;
    }
    return write_raw(at, sequence);
  }
  static char* write_ill_formed(char* at, std::string_view) { return write_raw(at, kReplacement); }
};

// JSON: quote, backslash and the controls with a short form; \u00XX for the other
// controls and DEL, \uXXXX for the line-breaking characters.
constexpr AsciiEscapes json_ascii_escapes() {
  AsciiEscapes escapes{};
  for (unsigned c = 0; c < 0x20; ++c) escapes[c] = u_escape(static_cast<unsigned char>(c));
  escapes[0x7f] = u_escape(0x7f);
  escapes['"'] = escape_as("\\\"");
  escapes['\\'] = escape_as("\\\\");
  escapes['\b'] = escape_as("\\b");
  escapes['\f'] = escape_as("\\f");
  escapes['\n'] = escape_as("\\n");
  escapes['\r'] = escape_as("\\r");
  escapes['\t'] = escape_as("\\t");
  return escapes;
}

struct JsonEscapes {
  static constexpr std::size_t kWidth = kJsonExpansion;
  static constexpr AsciiEscapes kAscii = json_ascii_escapes();

  static char* write_character(char* at, std::string_view sequence, char32_t code_point) {
    return is_line_breaking_non_ascii(code_point) ? write_json_u_escape(at, code_point)
                                                  : write_raw(at, sequence);
  }
  static char* write_ill_formed(char* at, std::string_view) { return write_raw(at, kReplacement); }
};

// Whether the format has an escape for every ASCII byte that stops a run.
template <typename Plain, typename Escapes>
constexpr bool escapes_every_stop() {
  for (unsigned c = 0; c < 0x80; ++c) {
    if (!Plain::kTable[c] && Escapes::kAscii[c].length == 0) return false;
  }
  return fits_width(Escapes::kAscii, Escapes::kWidth);
}

// The one escaping loop: plain runs copied whole, each byte that stops one
// written as its format says.  Out of line, so that a short plain field,
// copied whole by write_escaped, does not pay for this function's frame.
template <typename Plain, typename Escapes>
__attribute__((noinline)) char* write_escaped_runs(char* at, std::string_view bytes) {
  static_assert(escapes_every_stop<Plain, Escapes>(), "a byte that stops a run has no escape");
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t run_end = Plain::run_end(bytes, i);
    at = write_raw(at, bytes.substr(i, run_end - i));
    i = run_end;
    if (i == bytes.size()) break;

    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      const AsciiEscape& escape = Escapes::kAscii[c];
      std::memcpy(at, escape.text, Escapes::kWidth);
      at += escape.length;
      ++i;
      continue;
    }
    const Utf8Step step = decode_utf8(bytes.substr(i));
    const std::string_view sequence = bytes.substr(i, step.length);
    at = step.valid ? Escapes::write_character(at, sequence, step.code_point)
                    : Escapes::write_ill_formed(at, sequence);
    i += step.length;
  }
  return at;
}

template <typename Plain, typename Escapes>
inline char* write_escaped(char* at, std::string_view bytes) {
  if (char* end = Plain::copy_short(at, bytes)) return end;
  return write_escaped_runs<Plain, Escapes>(at, bytes);
}

}  // namespace

char* write_basic_escaped(char* at, std::string_view bytes, BasicField field) {
  switch (field) {
    case BasicField::kText:
      return write_escaped<BasicTextPlain, BasicEscapes>(at, bytes);
    case BasicField::kBracketed:
      return write_escaped<BasicBracketedPlain, BasicEscapes>(at, bytes);
    case BasicField::kName:
      break;
  }
  return write_escaped<BasicNamePlain, BasicEscapes>(at, bytes);
}

char* write_xml_escaped(char* at, std::string_view bytes) {
  return write_escaped<XmlPlain, XmlEscapes>(at, bytes);
}

char* write_json_escaped(char* at, std::string_view bytes) {
  return write_escaped<JsonPlain, JsonEscapes>(at, bytes);
}

char* write_decimal(char* at, std::int64_t value) {
  return std::to_chars(at, at + kMaxDecimalLength, value).ptr;
}

}  // namespace gw::formatting

#include "text_escape.h"

#include <array>
#include <charconv>

namespace gw::formatting {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// U+FFFD REPLACEMENT CHARACTER.
constexpr std::string_view kReplacement = "\xef\xbf\xbd";

// plain[c] is true for a byte that an escaper copies as it stands.  Only
// ASCII bytes are ever plain: everything from 0x80 up goes through the UTF-8
// check.
using PlainTable = std::array<bool, 256>;

constexpr PlainTable make_plain_table(std::string_view also_special) {
  PlainTable plain{};
  for (int c = 0x20; c < 0x7f; ++c) plain[c] = true;
  for (char c : also_special) plain[static_cast<unsigned char>(c)] = false;
  return plain;
}

constexpr PlainTable kBasicTextPlain = make_plain_table("\\");
constexpr PlainTable kBasicBracketedPlain = make_plain_table("\\]");
constexpr PlainTable kBasicNamePlain = make_plain_table("\\]:");
constexpr PlainTable kXmlPlain = make_plain_table("&<>\"");
constexpr PlainTable kJsonPlain = make_plain_table("\"\\");

// Length of the leading run of plain bytes, from position i.
inline std::size_t plain_run_end(std::string_view bytes, std::size_t i, const PlainTable& plain) {
  while (i < bytes.size() && plain[static_cast<unsigned char>(bytes[i])]) ++i;
  return i;
}

void append_hex_byte(std::string& out, unsigned char c) {
  const char escaped[4] = {'\\', 'x', kHexDigits[c >> 4], kHexDigits[c & 0xf]};
  out.append(escaped, sizeof escaped);
}

void append_hex_bytes(std::string& out, std::string_view bytes) {
  for (char c : bytes) append_hex_byte(out, static_cast<unsigned char>(c));
}

// "\uXXXX" for a code point of the basic multilingual plane.
void append_json_u_escape(std::string& out, char32_t code_point) {
  const char escaped[6] = {'\\', 'u',
                           kHexDigits[(code_point >> 12) & 0xf], kHexDigits[(code_point >> 8) & 0xf],
                           kHexDigits[(code_point >> 4) & 0xf], kHexDigits[code_point & 0xf]};
  out.append(escaped, sizeof escaped);
}

void append_xml_char_ref(std::string& out, char32_t code_point) {
  out.append("&#", 2);
  append_decimal(out, code_point);
  out.push_back(';');
}

// C1 controls and the two Unicode line terminators: valid UTF-8 that some
// readers still take as the end of a line.
inline bool is_line_breaking_non_ascii(char32_t code_point) {
  return (code_point >= 0x80 && code_point <= 0x9f) || code_point == 0x2028 || code_point == 0x2029;
}

}  // namespace

Utf8Step decode_utf8(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {1, true, lead};

  // Allowed range of the second byte and the number of bytes in all, by the
  // well-formed sequences of Unicode's table 3-7; later bytes are 80..BF.
  std::size_t length = 0;
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xbf;
  char32_t code_point = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code_point = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code_point = lead & 0x0f;
    if (lead == 0xe0) second_low = 0xa0;   // no overlong forms
    if (lead == 0xed) second_high = 0x9f;  // no surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xf0) second_low = 0x90;   // no overlong forms
    if (lead == 0xf4) second_high = 0x8f;  // nothing above U+10FFFF
  } else {
    return {1, false, 0};  // continuation byte, C0, C1 or F5..FF as lead
  }

  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return {i, false, 0};
    const unsigned char low = i == 1 ? second_low : 0x80;
    const unsigned char high = i == 1 ? second_high : 0xbf;
    if (byte(i) < low || byte(i) > high) return {i, false, 0};
    code_point = (code_point << 6) | (byte(i) & 0x3f);
  }
  return {length, true, code_point};
}

void append_basic_escaped(std::string& out, std::string_view bytes, BasicField field) {
  const PlainTable& plain = field == BasicField::kText        ? kBasicTextPlain
                            : field == BasicField::kBracketed ? kBasicBracketedPlain
                                                              : kBasicNamePlain;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t run_end = plain_run_end(bytes, i, plain);
    out.append(bytes.data() + i, run_end - i);
    i = run_end;
    if (i == bytes.size()) break;

    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      switch (c) {
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        case '\t': out.append("\\t", 2); break;
        case '\\': out.append("\\\\", 2); break;
        default: append_hex_byte(out, c); break;
      }
      ++i;
      continue;
    }
    const Utf8Step step = decode_utf8(bytes.substr(i));
    const std::string_view sequence = bytes.substr(i, step.length);
    if (step.valid && !is_line_breaking_non_ascii(step.code_point)) {
      out.append(sequence.data(), sequence.size());
    } else {
      append_hex_bytes(out, sequence);
    }
    i += step.length;
  }
}

void append_xml_escaped(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t run_end = plain_run_end(bytes, i, kXmlPlain);
    out.append(bytes.data() + i, run_end - i);
    i = run_end;
    if (i == bytes.size()) break;

    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      switch (c) {
        case '&': out.append("&amp;", 5); break;
        case '<': out.append("&lt;", 4); break;
        case '>': out.append("&gt;", 4); break;
        case '"': out.append("&quot;", 6); break;
        case '\t':
        case '\n':
        case '\r':
        case 0x7f: append_xml_char_ref(out, c); break;
        default: {
          // A C0 control XML 1.0 cannot carry even as a reference: its
          // control picture, U+2400 + c, encoded E2 90 80+c.
          const char picture[3] = {'\xe2', '\x90', static_cast<char>(0x80 + c)};
          out.append(picture, sizeof picture);
          break;
        }
      }
      ++i;
      continue;
    }
    const Utf8Step step = decode_utf8(bytes.substr(i));
    if (!step.valid || step.code_point == 0xfffe || step.code_point == 0xffff) {
      out.append(kReplacement.data(), kReplacement.size());
    } else if (step.code_point <= 0x9f) {
      append_xml_char_ref(out, step.code_point);  // C1 control: legal, made visible
    } else {
      out.append(bytes.data() + i, step.length);
    }
    i += step.length;
  }
}

void append_json_escaped(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t run_end = plain_run_end(bytes, i, kJsonPlain);
    out.append(bytes.data() + i, run_end - i);
    i = run_end;
    if (i == bytes.size()) break;

    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out.append("\\\"", 2); break;
        case '\\': out.append("\\\\", 2); break;
        case '\b': out.append("\\b", 2); break;
        case '\f': out.append("\\f", 2); break;
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        case '\t': out.append("\\t", 2); break;
        default: append_json_u_escape(out, c); break;
      }
      ++i;
      continue;
    }
    const Utf8Step step = decode_utf8(bytes.substr(i));
    if (!step.valid) {
      out.append(kReplacement.data(), kReplacement.size());
    } else if (is_line_breaking_non_ascii(step.code_point)) {
      append_json_u_escape(out, step.code_point);
    } else {
      out.append(bytes.data() + i, step.length);
    }
    i += step.length;
  }
}

void append_decimal(std::string& out, std::int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

}  // namespace gw::formatting

// UTF-8 decoding, once for the toolkit: the formatters' escaping and the
// syslog and journal messages decide what is well-formed text by it.  Pure
// functions, safe from any thread; inline, since the escaping loops call
// them for every byte from 0x80 up.
#ifndef EKLOGGER_TOOLKIT_UTF8_H_
#define EKLOGGER_TOOLKIT_UTF8_H_

#include <cstddef>
#include <string_view>

namespace gw {

// One step of UTF-8 decoding at the start of bytes (not empty).  A valid
// sequence gives its length and code point; anything else gives the length
// of its maximal ill-formed subpart (overlong forms, surrogates, code points
// above U+10FFFF, stray continuation bytes, a sequence cut short), which is
// what one replacement character stands for.
struct Utf8Step {
  std::size_t length;
  bool valid;
  char32_t code_point;  // meaningful only when valid
};
inline Utf8Step decode_utf8(std::string_view bytes) {
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

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_UTF8_H_

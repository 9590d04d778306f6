// Code sets: converting catalog texts, which are UTF-8, to the caller's code
// set with iconv.  Ill-formed bytes in a catalog become U+FFFD before any
// conversion, and characters the code set cannot represent become its "?",
// so no ill-formed or unconverted byte reaches the caller.
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "catalog/lcs_internal.h"

namespace lcs {

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the well-formed UTF-8 sequence at text, or 0.
size_t utf8_sequence_length(const unsigned char* text) {
  const unsigned char lead = text[0];
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char min_second = 0x80, max_second = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) min_second = 0xA0;  // no overlong forms
    if (lead == 0xED) max_second = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) min_second = 0x90;
    if (lead == 0xF4) max_second = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (text[1] < min_second || text[1] > max_second) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  }
  return length;
}

// Code set names as iconv knows them; no "/", so no iconv suffixes that
// would change how failures are handled.
bool is_valid_codeset_name(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  for (const char* p = name; *p != '\0'; ++p) {
    const bool alnum =
        (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9');
    if (!alnum && std::strchr("_.:+-", *p) == nullptr) return false;
    if (p - name >= 64) return false;
  }
  return true;
}

// Runs the converter over input, starting from its initial state.  On an
// unrepresentable character appends `replacement` and goes on after that
// character.  Caller holds the code set's mutex.
std::string run_converter(iconv_t converter, const std::string& input,
                          const std::string& replacement, bool* failed) {
  std::string output;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(input.data());
  size_t in_left = input.size();
  std::string chunk(4 * input.size() + 16, '\0');
  bool flushing = false;
  for (;;) {
    char* out = &chunk[0];
    size_t out_left = chunk.size();
    const size_t result = flushing ? iconv(converter, nullptr, nullptr, &out, &out_left)
                                   : iconv(converter, &in, &in_left, &out, &out_left);
    const int error = errno;
    output.append(chunk.data(), chunk.size() - out_left);
    if (result != static_cast<size_t>(-1)) {
      if (flushing) return output;
      flushing = true;  // back to the initial shift state
      continue;
    }
    if (error == E2BIG) continue;
    if (error == EILSEQ && in_left > 0) {
      size_t skip = utf8_sequence_length(reinterpret_cast<const unsigned char*>(in));
      if (skip == 0 || skip > in_left) skip = 1;
      in += skip;
      in_left -= skip;
      output += replacement;
      continue;
    }
    *failed = true;
    return output;
  }
}

}  // namespace

std::string sanitize_utf8(const char* text) {
  std::string result;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != '\0') {
    // A NUL ends the text, so the lookahead never passes it.
    const size_t length = utf8_sequence_length(p);
    if (length == 0) {
      result += kReplacementCharacter;
      ++p;
    } else {
      result.append(reinterpret_cast<const char*>(p), length);
      p += length;
    }
  }
  return result;
}

std::string convert_text(lcs_cs* codeset, const std::string& utf8) {
  if (codeset == nullptr || codeset->to_utf8) return utf8;
  std::lock_guard<std::mutex> lock(codeset->mutex);
  bool failed = false;
  std::string result = run_converter(codeset->converter, utf8, codeset->replacement, &failed);
  return result;
}

}  // namespace lcs

extern "C" {

lcs_cs* lcs_cs_new(const char* codeset) {
  if (!lcs::is_valid_codeset_name(codeset)) return nullptr;
  lcs_cs* result = new lcs_cs;
  if (strcasecmp(codeset, "UTF8") == 0 || strcasecmp(codeset, "UTF-8") == 0) {
    result->to_utf8 = true;
    return result;
  }
  result->converter = iconv_open(codeset, "UTF-8");
  if (result->converter == reinterpret_cast<iconv_t>(-1)) {
    delete result;
    return nullptr;
  }
  lcs::hold_across_fork(result->mutex);
  // A code set whose texts cannot be NUL-terminated C strings (UTF-16 and
  // the like) cannot carry a message.
  bool failed = false;
  const std::string sample = lcs::run_converter(result->converter, "?A", std::string(), &failed);
  if (failed || sample.empty() || sample.find('\0') != std::string::npos) {
    lcs_cs_free(result);
    return nullptr;
  }
  result->replacement = lcs::run_converter(result->converter, "?", std::string(), &failed);
  return result;
}

void lcs_cs_free(lcs_cs* codeset) {
  if (codeset == nullptr) return;
  if (codeset->converter != reinterpret_cast<iconv_t>(-1)) {
    lcs::withdraw_from_fork(codeset->mutex);
    iconv_close(codeset->converter);
  }
  delete codeset;
}

}  // extern "C"

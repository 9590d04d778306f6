#include "record_parser.h"

#include <libxml/xmlreader.h>
#include <simdjson.h>

#include <cstring>
#include <string>

#include "toolkit/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace eklog {

namespace {

void ignore_xml_error(void*, const char*, ...) {}
void ignore_reader_error(void*, const char*, xmlParserSeverities, xmlTextReaderLocatorPtr) {}

// Where c first is in text from `from` on, or npos: 16 bytes a step while
// that many are left, without the call that memchr costs on the short
// fields of a record.
std::size_t find_byte(std::string_view text, std::size_t from, char c) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(c);
  while (text.size() - from >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + from));
    const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted));
    if (mask != 0)
      return from + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    from += 16;
  }
#endif
  for (; from < text.size(); ++from) {
    if (text[from] == c) return from;
  }
  return std::string_view::npos;
}

// The 8 bytes at text as one word, the first byte lowest.
std::uint64_t word_at(const char* text) {
  std::uint64_t word;
  std::memcpy(&word, text, 8);
  return word;
}

// Whether the 8 bytes of word are all decimal digits.
bool all_digits(std::uint64_t word) {
  // A byte below '0' borrows into its top bit when '0' is taken away; one
  // above '9' carries into it when 0x46 is added.
  return ((word - 0x3030303030303030ULL) | (word + 0x4646464646464646ULL)) & 0x8080808080808080ULL
             ? false
             : true;
}
bool all_digits(const char* text) { return all_digits(word_at(text)); }

// The number that 8 decimal digits (all_digits) write, in three steps of
// pairs: digits to numbers of two, of four, of eight.
std::uint64_t eight_digits(std::uint64_t word) {
  std::uint64_t value = word - 0x3030303030303030ULL;
  value = value * 10 + (value >> 8);
  return ((value & 0x000000ff000000ffULL) * (100 + (1000000ULL << 32)) +
          ((value >> 16) & 0x000000ff000000ffULL) * (1 + (10000ULL << 32))) >>
         32;
}

// The six digits of a record time's fraction at text[20], as a number;
// false if any is no digit.
bool fraction_of(const char* text, std::uint64_t& fraction) {
  // "00" before them makes the eight digits that eight_digits reads.
  const std::uint64_t word = (word_at(text + 20) << 16) | 0x3030;
  if (!all_digits(word)) return false;
  fraction = eight_digits(word);
  return true;
}

// parse_record_time for the lines of a file, which nearly all share their
// time but for the fraction with the line before: when one does, only its
// fraction is read.
class RecordTimes {
 public:
  // text: the 32 bytes of a time at the start of a line.
  bool parse(const char* text, std::int64_t& time_us) {
    if (same_but_fraction(text)) {
      std::uint64_t fraction;
      if (!fraction_of(text, fraction)) return false;
      time_us = second_us_ + static_cast<std::int64_t>(fraction);
      return true;
    }
    std::uint64_t fraction;
    if (!parse_record_time(std::string_view(text, 32), time_us) || !fraction_of(text, fraction))
      return false;
    std::memcpy(last_, text, 32);
    second_us_ = time_us - static_cast<std::int64_t>(fraction);
    return true;
  }

 private:
  bool same_but_fraction(const char* text) const {
#if defined(__SSE2__)
    const auto same = [&](std::size_t at) {
      return static_cast<unsigned>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(last_ + at)))));
    };
    // Bits 20 to 25: the fraction.
    return (same(0) | same(16) << 16 | 0x03f00000u) == 0xffffffffu;
#else
    return std::memcmp(text, last_, 20) == 0 && std::memcmp(text + 26, last_ + 26, 6) == 0;
#endif
  }

  char last_[32] = {};          // the last time read in full; no time at first
  std::int64_t second_us_ = 0;  // its time_us less its fraction
};

// Undoes the basic format's escapes (\n \r \t \\ \xHH); false on any other
// backslash sequence, which the formatter never writes.  A field without
// a backslash is its own view; the others are copied run by run.
bool unescape_basic(std::string_view field, std::string& scratch, std::string_view& out) {
  std::size_t backslash = find_byte(field, 0, '\\');
  if (backslash == std::string_view::npos) {
    out = field;
    return true;
  }
  // No escape is shorter than the byte it stands for.
  scratch.resize(field.size());
  char* to = scratch.data();
  std::size_t from = 0;
  while (backslash != std::string_view::npos) {
    std::memcpy(to, field.data() + from, backslash - from);
    to += backslash - from;
    std::size_t i = backslash + 1;
    if (i == field.size()) return false;
    switch (field[i]) {
      case 'n':
        *to++ = '\n';
        break;
      case 'r':
        *to++ = '\r';
        break;
      case 't':
        *to++ = '\t';
        break;
      case '\\':
        *to++ = '\\';
        break;
      case 'x': {
        if (i + 2 >= field.size()) return false;
        auto hex = [](char h) -> int {
          if (h >= '0' && h <= '9') return h - '0';
          if (h >= 'a' && h <= 'f') return h - 'a' + 10;
          return -1;
        };
        const int high = hex(field[i + 1]), low = hex(field[i + 2]);
        if (high < 0 || low < 0) return false;
        *to++ = static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        return false;
    }
    from = i + 1;
    backslash = find_byte(field, from, '\\');
  }
  std::memcpy(to, field.data() + from, field.size() - from);
  to += field.size() - from;
  scratch.resize(static_cast<std::size_t>(to - scratch.data()));
  out = scratch;
  return true;
}

bool parse_integer(std::string_view text, std::int64_t& value) {
  std::size_t at = 0;
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    at = 1;
  }
  if (at == text.size() || text.size() - at > 18) return false;
  std::int64_t number = 0;
  for (; at < text.size(); ++at) {
    const unsigned digit = static_cast<unsigned char>(text[at]) - '0';
    if (digit > 9) return false;
    number = number * 10 + digit;
  }
  value = negative ? -number : number;
  return true;
}

// Where the field that starts at line[from] ends: its ']', the first from
// there on; npos if none.  escaped says whether a '\\' comes before it,
// found in the same pass, so that the fields without one (nearly all) are
// read once.
std::size_t bracket_end(std::string_view line, std::size_t from, bool& escaped) {
  unsigned escapes = 0;
#if defined(__SSE2__)
  const __m128i bracket = _mm_set1_epi8(']'), backslash = _mm_set1_epi8('\\');
  for (; line.size() - from >= 16; from += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data() + from));
    const unsigned closes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, bracket)));
    const unsigned found =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, backslash)));
    // Only those before the first ']' count: all when there is none.
    escapes |= found & ((closes & (0u - closes)) - 1);
    if (closes != 0) {
      escaped = escapes != 0;
      return from + static_cast<std::size_t>(__builtin_ctz(closes));
    }
  }
#endif
  for (; from < line.size(); ++from) {
    if (line[from] == ']') {
      escaped = escapes != 0;
      return from;
    }
    escapes |= line[from] == '\\';
  }
  return std::string_view::npos;
}

// field as it is, or with its escapes undone when it holds any.
bool field_of(std::string_view field, bool escaped, std::string& scratch, std::string_view& out) {
  if (!escaped) {
    out = field;
    return true;
  }
  return unescape_basic(field, scratch, out);
}

bool finish_levels(RecordView& record) {
  if (record.level.empty()) return false;
  int value;
  if (!level_from_text(record.level, value)) return false;
  if (record.level_value == 0) record.level_value = value;
  return true;
}

// The XML reader is not asked about lines longer than this: below it, no
// value reaches libxml2's limit on a text or attribute (10,000,000 bytes
// without XML_PARSE_HUGE), so the two readers agree on every line.
constexpr std::size_t kXmlShapeMaxLine = 1u << 20;

// Bytes that end a plain run in an XML value: controls, DEL, '"', '&',
// '<', '>' and every byte of a multi-byte character.
struct XmlStops {
  bool stop[256];
  constexpr XmlStops() : stop() {
    for (int c = 0; c < 256; ++c)
      stop[c] = c < 0x20 || c >= 0x7f || c == '"' || c == '&' || c == '<' || c == '>';
  }
};
constexpr XmlStops kXmlStops;

// Where the plain run from `at` ends: at the first stop, or the line's end.
std::size_t skip_xml_plain(std::string_view line, std::size_t at) {
#if defined(__SSE2__)
  // As signed bytes, the controls and the bytes of multi-byte characters
  // are those below 0x20.
  const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7f), quote = _mm_set1_epi8('"'),
                amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
  const auto stops = [&](__m128i bytes) {
    return _mm_movemask_epi8(_mm_or_si128(
        _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(bytes, space), _mm_cmpeq_epi8(bytes, del)),
                     _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, amp))),
        _mm_or_si128(_mm_cmpeq_epi8(bytes, lt), _mm_cmpeq_epi8(bytes, gt))));
  };
  int mask = 0;
  while (line.size() - at >= 16) {
    mask = stops(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data() + at)));
    if (mask != 0) break;
    at += 16;
  }
  // Most values are short: 8 of their bytes in one step too.
  if (mask == 0 && line.size() - at >= 8) {
    mask = stops(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(line.data() + at))) & 0xff;
    if (mask == 0) at += 8;
  }
  if (mask != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
#endif
  while (at < line.size() && !kXmlStops.stop[static_cast<unsigned char>(line[at])]) ++at;
  return at;
}

// Whether text is at line[at]; the length known here lets the compiler
// compare in a few words instead of calling memcmp.
template <std::size_t N>
bool has_at(std::string_view line, std::size_t at, const char (&text)[N]) {
  return at <= line.size() && line.size() - at >= N - 1 &&
         std::memcmp(line.data() + at, text, N - 1) == 0;
}

void append_utf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
  }
}

// Length of the UTF-8 sequence at line[at] when it is an XML character
// that the formatter copies as it is (not a C1 control, U+FFFE or U+FFFF);
// 0 otherwise.
std::size_t xml_utf8_length(std::string_view line, std::size_t at) {
  const gw::Utf8Step step = gw::decode_utf8(line.substr(at));
  const char32_t code = step.code_point;
  if (!step.valid || (code >= 0x80 && code <= 0x9f) || code == 0xfffe || code == 0xffff) return 0;
  return step.length;
}

// The character or entity reference at line[at] ('&'): the predefined
// entities and decimal references to XML characters; false for any other.
bool xml_reference(std::string_view line, std::size_t& at, std::string& out) {
  const std::string_view rest = line.substr(at);
  static constexpr struct {
    const char* name;
    std::size_t size;
    char value;
  } kEntities[] = {{"&amp;", 5, '&'},
                   {"&lt;", 4, '<'},
                   {"&gt;", 4, '>'},
                   {"&quot;", 6, '"'},
                   {"&apos;", 6, '\''}};
  for (const auto& entity : kEntities) {
    if (rest.compare(0, entity.size, entity.name) == 0) {
      out.push_back(entity.value);
      at += entity.size;
      return true;
    }
  }
  if (rest.size() < 4 || rest[1] != '#') return false;
  std::uint32_t code = 0;
  std::size_t i = 2;
  for (; i < rest.size() && i < 9 && rest[i] >= '0' && rest[i] <= '9'; ++i)
    code = code * 10 + static_cast<std::uint32_t>(rest[i] - '0');
  if (i == 2 || i == rest.size() || rest[i] != ';') return false;
  const bool xml_char = code == 0x9 || code == 0xa || code == 0xd ||
                        (code >= 0x20 && code <= 0xd7ff) || (code >= 0xe000 && code <= 0xfffd) ||
                        (code >= 0x10000 && code <= 0x10ffff);
  if (!xml_char) return false;
  append_utf8(code, out);
  at += i + 1;
  return true;
}

// An XML value as the formatter writes it, from `at` up to `end` ('"' for
// an attribute, '<' for the content), undone into out (a view of the line
// when it holds no reference); at moves onto `end`.  False on anything
// else, which the full reader is left to judge: raw controls, '>',
// characters the formatter escapes, other references.
bool xml_value(std::string_view line, std::size_t& at, char end, std::string& scratch,
               std::string_view& out) {
  const std::size_t start = at;
  bool copied = false;
  for (;;) {
    const std::size_t plain = skip_xml_plain(line, at);
    if (copied) scratch.append(line.data() + at, plain - at);
    at = plain;
    if (at == line.size()) return false;
    const char c = line[at];
    if (c == end) break;
    if (c == '&') {
      if (!copied) {
        scratch.assign(line.data() + start, at - start);
        copied = true;
      }
      if (!xml_reference(line, at, scratch)) return false;
      continue;
    }
    if (static_cast<unsigned char>(c) < 0x80) return false;
    const std::size_t length = xml_utf8_length(line, at);
    if (length == 0) return false;
    if (copied) scratch.append(line.data() + at, length);
    at += length;
  }
  out = copied ? std::string_view(scratch) : line.substr(start, at - start);
  return true;
}

// ` name="` at `at`, then the value up to its '"'.
template <std::size_t N>
bool xml_attribute(std::string_view line, std::size_t& at, const char (&opening)[N],
                   std::string& scratch, std::string_view& value) {
  if (!has_at(line, at, opening)) return false;
  at += N - 1;
  if (!xml_value(line, at, '"', scratch, value)) return false;
  ++at;
  return true;
}

template <std::size_t N>
bool xml_number(std::string_view line, std::size_t& at, const char (&opening)[N],
                std::int64_t& value) {
  if (!has_at(line, at, opening)) return false;
  at += N - 1;
  const std::size_t quote = line.find('"', at);
  if (quote == std::string_view::npos || !parse_integer(line.substr(at, quote - at), value))
    return false;
  at = quote + 1;
  return true;
}

}  // namespace

Format detect_format(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t' || line.front() == '\r'))
    line.remove_prefix(1);
  if (line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xef &&
      static_cast<unsigned char>(line[1]) == 0xbb && static_cast<unsigned char>(line[2]) == 0xbf)
    line.remove_prefix(3);  // a byte order mark
  if (line.empty()) return Format::kUnknown;
  if (line.compare(0, 5, "<?xml") == 0 || line.compare(0, 4, "<log") == 0 ||
      line.compare(0, 7, "<record") == 0)
    return Format::kXml;
  if (line[0] == '{') return Format::kJson;
  std::int64_t ignored;
  if (line.size() > 32 && parse_record_time(line.substr(0, 32), ignored)) return Format::kBasic;
  return Format::kUnknown;
}

bool is_xml_frame(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  return has_at(line, 0, "<?xml") || line == "<log>" || line == "</log>" || line == "<log/>";
}

struct RecordParser::Impl {
  RecordTimes basic_times;
  std::string product, component, catalog, file, function, text;
  simdjson::dom::parser json;
  std::string json_copy;
  xmlTextReaderPtr xml = nullptr;
  std::string time, level, logger, xml_number_text;

  ~Impl() {
    if (xml != nullptr) xmlFreeTextReader(xml);
  }
};

RecordParser::RecordParser() : impl_(new Impl) {
  // Once, before any thread parses (parsers are made before the reading
  // threads start).
  xmlInitParser();
}

RecordParser::~RecordParser() = default;

bool RecordParser::parse(Format format, std::string_view line, RecordView& record,
                         std::size_t readable) {
  record = RecordView();
  switch (format) {
    case Format::kBasic:
      return parse_basic(line, record);
    case Format::kJson:
      return parse_json(line, record, readable);
    case Format::kXml:
      return parse_xml(line, record);
    case Format::kUnknown:
      break;
  }
  return false;
}

bool RecordParser::parse_basic(std::string_view line, RecordView& record) {
  // TIME SP LEVEL SP [PRODUCT] SP [COMPONENT] SP [ORIGIN] SP TEXT
  if (line.size() < 32 + 1 + 1 + 1 + 2 + 1 + 2 + 1 + 2 + 1) return false;
  Impl& s = *impl_;
  if (!s.basic_times.parse(line.data(), record.time_us) || line[32] != ' ') return false;
  record.time = std::string_view(line.data(), 32);
  std::size_t at = find_byte(line, 33, ' ');
  if (at == std::string_view::npos || at == 33) return false;
  record.level = std::string_view(line.data() + 33, at - 33);
  ++at;
  std::string_view fields[3];  // product, component, origin
  bool escaped[3];
  for (int i = 0; i < 3; ++i) {
    if (at >= line.size() || line[at] != '[') return false;
    const std::size_t close = bracket_end(line, at + 1, escaped[i]);
    if (close == std::string_view::npos || close + 1 >= line.size() || line[close + 1] != ' ')
      return false;
    fields[i] = std::string_view(line.data() + at + 1, close - at - 1);
    at = close + 2;
  }
  if (!field_of(fields[0], escaped[0], s.product, record.product) ||
      !field_of(fields[1], escaped[1], s.component, record.component) ||
      !unescape_basic(std::string_view(line.data() + at, line.size() - at), s.text, record.text)) {
    return false;
  }
  const std::string_view origin = fields[2];
  if (!origin.empty()) {
    // catalog:set:number or file:line function; neither name holds a raw ':'.
    const std::size_t colon = origin.find(':');
    if (colon == std::string_view::npos) return false;
    std::size_t end = colon + 1;
    if (end < origin.size() && origin[end] == '-') ++end;
    while (end < origin.size() && origin[end] >= '0' && origin[end] <= '9') ++end;
    std::int64_t first;
    if (!parse_integer(origin.substr(colon + 1, end - colon - 1), first)) return false;
    if (end < origin.size() && origin[end] == ':') {
      record.origin = Origin::kMessage;
      record.set = first;
      if (!parse_integer(origin.substr(end + 1), record.number)) return false;
      if (!field_of(origin.substr(0, colon), escaped[2], s.catalog, record.catalog)) return false;
    } else if (end < origin.size() && origin[end] == ' ') {
      record.origin = Origin::kTrace;
      record.line = first;
      if (!field_of(origin.substr(0, colon), escaped[2], s.file, record.file) ||
          !field_of(origin.substr(end + 1), escaped[2], s.function, record.function)) {
        return false;
      }
    } else {
      return false;
    }
  }
  parse_process_ids(record.product, record.pid, record.tid);
  return finish_levels(record);
}

namespace {

// Where a line's level value starts: at its place in a line the library
// wrote (start, 32 bytes of time, time_us's prefix and digits, level's
// prefix, a level name without a quote, the quote, then after_level and
// key), else (when anywhere) after key wherever it is; npos when the line
// has none.
template <std::size_t Start, std::size_t TimeUs, std::size_t Level, std::size_t AfterLevel,
          std::size_t Key>
std::size_t level_value_at(std::string_view line, const char (&start)[Start],
                           const char (&time_us)[TimeUs], const char (&level)[Level],
                           const char (&after_level)[AfterLevel], const char (&key)[Key],
                           bool anywhere) {
  std::size_t probe = Start - 1 + 32;
  if (line.size() > probe + 64 && has_at(line, 0, start) && has_at(line, probe, time_us)) {
    probe += TimeUs - 1;
    // time_us has 16 digits until 2286: tested as two words, then the loop
    // goes on from there should there be more.
    if (line.size() - probe > 16 && all_digits(line.data() + probe) &&
        all_digits(line.data() + probe + 8))
      probe += 16;
    while (probe < line.size() && line[probe] >= '0' && line[probe] <= '9') ++probe;
    if (has_at(line, probe, level)) {
      // The level's name is a short word: a loop costs less than a call.
      std::size_t quote = probe + Level - 1;
      while (quote < line.size() && line[quote] != '"') ++quote;
      if (quote == line.size()) quote = std::string_view::npos;
      const std::size_t at = quote + 1 + (AfterLevel - 1);
      if (quote != std::string_view::npos && has_at(line, quote + 1, after_level) &&
          has_at(line, at, key))
        return at + Key - 1;
    }
  }
  if (!anywhere) return std::string_view::npos;
  const void* found = memmem(line.data(), line.size(), key, Key - 1);
  if (found == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(found) - line.data()) + Key - 1;
}

}  // namespace

namespace {

constexpr char kJsonStart[] = "{\"time\":\"",
               kJsonTimeUs[] = "\",\"time_us\":", kJsonLevel[] = ",\"level\":\"",
               kJsonAfterLevel[] = ",", kJsonLevelValue[] = "\"level_value\":";
constexpr char kXmlStart[] = "<record time=\"", kXmlTimeUs[] = "\" time_us=\"",
               kXmlLevel[] = "\" level=\"", kXmlAfterLevel[] = "",
               kXmlLevelValue[] = " level_value=\"";

// The JSON level value at `at` (npos: none).
bool json_level_at(std::string_view line, std::size_t at, int& level_value) {
  if (at == std::string_view::npos) return false;
  bool negative = false;
  if (at < line.size() && line[at] == '-') {
    negative = true;
    ++at;
  }
  long long value = 0;
  const std::size_t start = at;
  while (at < line.size() && at - start < 11 && line[at] >= '0' && line[at] <= '9')
    value = value * 10 + (line[at++] - '0');
  if (at == start || at == line.size() || (line[at] != ',' && line[at] != '}')) return false;
  if (negative) value = -value;
  // 0 stands for no value: the record's level is then its name's.
  if (value == 0 || value > 2147483647LL || value < -2147483648LL) return false;
  level_value = static_cast<int>(value);
  return true;
}

// The XML level_value attribute's value at `at` (npos: none).
bool xml_level_at(std::string_view line, std::size_t at, int& level_value) {
  if (at == std::string_view::npos) return false;
  const std::size_t quote = line.find('"', at);
  return quote != std::string_view::npos && quote - at <= 11 &&
         level_from_text(line.substr(at, quote - at), level_value) && level_value != 0;
}

}  // namespace

bool RecordParser::quick_json_level(std::string_view line, int& level_value) {
  return json_level_at(line,
                       level_value_at(line, kJsonStart, kJsonTimeUs, kJsonLevel, kJsonAfterLevel,
                                      kJsonLevelValue, true),
                       level_value);
}

namespace {

// The digits of time_us at `at` (up to 18) and then `after`; false if not.
template <std::size_t N>
bool time_us_at(std::string_view line, std::size_t at, const char (&after)[N],
                std::int64_t& time_us) {
  const std::size_t start = at;
  std::int64_t value = 0;
  while (at < start + 18 && at < line.size() && line[at] >= '0' && line[at] <= '9')
    value = value * 10 + (line[at++] - '0');
  if (at == start || !has_at(line, at, after)) return false;
  time_us = value;
  return true;
}

}  // namespace

bool RecordParser::quick_time_level(Format format, std::string_view line, std::int64_t& time_us,
                                    int& level_value) {
  // Only at their places: a member or attribute found elsewhere in the line
  // may be part of a value, or one of two, and the record then not this one.
  switch (format) {
    case Format::kJson:
      // {"time":"<32 bytes>","time_us":<digits>,"level":"
      return line.size() > 9 + 32 + 12 + 64 && has_at(line, 41, kJsonTimeUs) &&
             time_us_at(line, 53, kJsonLevel, time_us) &&
             json_level_at(line,
                           level_value_at(line, kJsonStart, kJsonTimeUs, kJsonLevel,
                                          kJsonAfterLevel, kJsonLevelValue, false),
                           level_value);
    case Format::kXml:
      // <record time="<32 bytes>" time_us="<digits>" level="
      return line.size() > 14 + 32 + 11 + 64 && has_at(line, 46, kXmlTimeUs) &&
             time_us_at(line, 57, kXmlLevel, time_us) &&
             xml_level_at(line,
                          level_value_at(line, kXmlStart, kXmlTimeUs, kXmlLevel, kXmlAfterLevel,
                                         kXmlLevelValue, false),
                          level_value);
    case Format::kBasic:
      return line.size() > 40 && impl_->basic_times.parse(line.data(), time_us) &&
             quick_level(format, line, level_value);
    case Format::kUnknown:
      break;
  }
  return false;
}

bool RecordParser::quick_level(Format format, std::string_view line, int& level_value) {
  switch (format) {
    case Format::kJson:
      return quick_json_level(line, level_value);
    case Format::kBasic: {
      if (line.size() < 40 || line[32] != ' ') return false;
      const std::size_t space = find_byte(line, 33, ' ');
      return space != std::string_view::npos &&
             level_from_text(line.substr(33, space - 33), level_value);
    }
    case Format::kXml:
      return xml_level_at(line,
                          level_value_at(line, kXmlStart, kXmlTimeUs, kXmlLevel, kXmlAfterLevel,
                                         kXmlLevelValue, true),
                          level_value);
    case Format::kUnknown:
      break;
  }
  return false;
}

static_assert(RecordParser::kJsonPadding == simdjson::SIMDJSON_PADDING);

bool RecordParser::parse_json(std::string_view line, RecordView& record, std::size_t readable) {
  using namespace simdjson;
  Impl& s = *impl_;
  const char* data = line.data();
  std::size_t capacity = readable;
  if (capacity < line.size() + simdjson::SIMDJSON_PADDING) {
    s.json_copy.assign(line.data(), line.size());
    s.json_copy.append(simdjson::SIMDJSON_PADDING, ' ');
    data = s.json_copy.data();
    capacity = s.json_copy.size();
  }
  // The DOM parser picks the CPU's fastest kernel at run time (the
  // on-demand one is fixed at compile time, to the portable fallback).
  dom::element document;
  if (s.json.parse(reinterpret_cast<const std::uint8_t*>(data), line.size(), false).get(document))
    return false;
  dom::object object;
  if (document.get_object().get(object)) return false;
  // The members that place a record and filter it by level, each once: of
  // two, parsers differ on which counts.
  bool has_time = false, has_time_us = false, has_level = false, has_level_value = false;
  bool has_catalog = false, has_file = false;
  for (dom::key_value_pair member : object) {
    const std::string_view key = member.key;
    const dom::element value = member.value;
    auto string_of = [&](std::string_view& out) { return !value.get_string().get(out); };
    auto integer_of = [&](std::int64_t& out) { return !value.get_int64().get(out); };
    bool ok = true;
    if (key == "time") {
      ok = !has_time && string_of(record.time);
      has_time = ok;
    } else if (key == "time_us") {
      ok = !has_time_us && integer_of(record.time_us);
      has_time_us = ok;
    } else if (key == "level") {
      ok = !has_level && string_of(record.level);
      has_level = ok;
    } else if (key == "level_value") {
      std::int64_t level = 0;
      ok = !has_level_value && integer_of(level) && level >= -2147483648LL && level <= 2147483647LL;
      has_level_value = ok;
      record.level_value = static_cast<int>(level);
    } else if (key == "logger") {
      ok = string_of(record.logger);
      record.has_logger = true;
    } else if (key == "product") {
      ok = string_of(record.product);
    } else if (key == "component") {
      ok = string_of(record.component);
    } else if (key == "catalog") {
      ok = string_of(record.catalog);
      has_catalog = true;
    } else if (key == "set") {
      ok = integer_of(record.set);
    } else if (key == "number") {
      ok = integer_of(record.number);
    } else if (key == "file") {
      ok = string_of(record.file);
      has_file = true;
    } else if (key == "function") {
      ok = string_of(record.function);
    } else if (key == "line") {
      ok = integer_of(record.line);
    } else if (key == "text") {
      ok = string_of(record.text);
    }
    if (!ok) return false;
  }
  if (!has_time || !has_level) return false;
  if (!has_time_us && !parse_record_time(record.time, record.time_us)) return false;
  record.origin = has_catalog ? Origin::kMessage : has_file ? Origin::kTrace : Origin::kText;
  parse_process_ids(record.product, record.pid, record.tid);
  return finish_levels(record);
}

bool RecordParser::parse_xml_shape(std::string_view line, RecordView& record) {
  // <record time="T" time_us="N" level="L" level_value="N" logger="G"
  // product="P" component="C"[ catalog="K" set="N" number="N" | file="F"
  // function="U" line="N"]>TEXT</record>
  record = RecordView();
  if (line.size() > kXmlShapeMaxLine) return false;
  Impl& s = *impl_;
  std::size_t at = 7;
  if (!has_at(line, 0, "<record")) return false;
  std::int64_t level_value = 0;
  if (!xml_attribute(line, at, " time=\"", s.time, record.time) ||
      !xml_number(line, at, " time_us=\"", record.time_us) ||
      !xml_attribute(line, at, " level=\"", s.level, record.level) ||
      !xml_number(line, at, " level_value=\"", level_value) || level_value < -2147483648LL ||
      level_value > 2147483647LL ||
      !xml_attribute(line, at, " logger=\"", s.logger, record.logger) ||
      !xml_attribute(line, at, " product=\"", s.product, record.product) ||
      !xml_attribute(line, at, " component=\"", s.component, record.component))
    return false;
  record.level_value = static_cast<int>(level_value);
  record.has_logger = true;
  if (at < line.size() && line[at] == ' ') {
    if (has_at(line, at, " catalog=\"")) {
      if (!xml_attribute(line, at, " catalog=\"", s.catalog, record.catalog) ||
          !xml_number(line, at, " set=\"", record.set) ||
          !xml_number(line, at, " number=\"", record.number))
        return false;
      record.origin = Origin::kMessage;
    } else {
      if (!xml_attribute(line, at, " file=\"", s.file, record.file) ||
          !xml_attribute(line, at, " function=\"", s.function, record.function) ||
          !xml_number(line, at, " line=\"", record.line))
        return false;
      record.origin = Origin::kTrace;
    }
  }
  if (at == line.size() || line[at++] != '>') return false;
  if (!xml_value(line, at, '<', s.text, record.text)) return false;
  if (line.size() - at != 9 || !has_at(line, at, "</record>")) return false;
  if (record.time.empty()) return false;
  parse_process_ids(record.product, record.pid, record.tid);
  return finish_levels(record);
}

bool RecordParser::parse_xml(std::string_view line, RecordView& record) {
  Impl& s = *impl_;
  if (xml_shape_ && parse_xml_shape(line, record)) return true;
  record = RecordView();
  if (line.size() > 0x7fffffff) return false;
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  const int size = static_cast<int>(line.size());
  // The error function is the calling thread's (a reading thread's, or the
  // main thread's when following).
  xmlSetGenericErrorFunc(nullptr, ignore_xml_error);
  if (s.xml == nullptr) {
    s.xml = xmlReaderForMemory(line.data(), size, nullptr, "UTF-8", options);
    if (s.xml == nullptr) return false;
  } else if (xmlReaderNewMemory(s.xml, line.data(), size, nullptr, "UTF-8", options) != 0) {
    return false;
  }
  xmlTextReaderSetErrorHandler(s.xml, ignore_reader_error, nullptr);
  xmlTextReaderPtr reader = s.xml;
  if (xmlTextReaderRead(reader) != 1 || xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT)
    return false;
  const xmlChar* name = xmlTextReaderConstName(reader);
  if (name == nullptr || std::strcmp(reinterpret_cast<const char*>(name), "record") != 0)
    return false;
  const bool empty = xmlTextReaderIsEmptyElement(reader) == 1;
  bool has_time_us = false, has_catalog = false, has_file = false;
  bool numbers_ok = true;
  s.time.clear();
  s.level.clear();
  s.logger.clear();
  s.product.clear();
  s.component.clear();
  s.catalog.clear();
  s.file.clear();
  s.function.clear();
  s.text.clear();
  while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
    const char* key = reinterpret_cast<const char*>(xmlTextReaderConstName(reader));
    const char* value = reinterpret_cast<const char*>(xmlTextReaderConstValue(reader));
    if (key == nullptr || value == nullptr) return false;
    const std::string_view k(key);
    auto integer = [&](std::int64_t& out) {
      if (!parse_integer(value, out)) numbers_ok = false;
    };
    if (k == "time")
      s.time = value;
    else if (k == "time_us") {
      integer(record.time_us);
      has_time_us = true;
    } else if (k == "level")
      s.level = value;
    else if (k == "level_value") {
      std::int64_t level = 0;
      integer(level);
      if (level < -2147483648LL || level > 2147483647LL) numbers_ok = false;
      record.level_value = static_cast<int>(level);
    } else if (k == "logger") {
      s.logger = value;
      record.has_logger = true;
    } else if (k == "product")
      s.product = value;
    else if (k == "component")
      s.component = value;
    else if (k == "catalog") {
      s.catalog = value;
      has_catalog = true;
    } else if (k == "set")
      integer(record.set);
    else if (k == "number")
      integer(record.number);
    else if (k == "file") {
      s.file = value;
      has_file = true;
    } else if (k == "function")
      s.function = value;
    else if (k == "line")
      integer(record.line);
  }
  if (!numbers_ok) return false;
  if (!empty) {
    for (;;) {
      if (xmlTextReaderRead(reader) != 1) return false;
      const int type = xmlTextReaderNodeType(reader);
      if (type == XML_READER_TYPE_END_ELEMENT) break;
      if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
          type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE || type == XML_READER_TYPE_WHITESPACE) {
        const xmlChar* value = xmlTextReaderConstValue(reader);
        if (value != nullptr) s.text += reinterpret_cast<const char*>(value);
      } else {
        return false;  // a record holds text only
      }
    }
  }
  if (xmlTextReaderRead(reader) != 0) return false;  // trailing content or a late error
  record.time = s.time;
  record.level = s.level;
  record.logger = s.logger;
  record.product = s.product;
  record.component = s.component;
  record.catalog = s.catalog;
  record.file = s.file;
  record.function = s.function;
  record.text = s.text;
  if (record.time.empty()) return false;
  if (!has_time_us && !parse_record_time(record.time, record.time_us)) return false;
  record.origin = has_catalog ? Origin::kMessage : has_file ? Origin::kTrace : Origin::kText;
  parse_process_ids(record.product, record.pid, record.tid);
  return finish_levels(record);
}

}  // namespace eklog

// NxStringBuffPrintfA: printf-style formatting from a typed argument array.
//
// Formats come from message catalogs, so the format is never trusted: it is
// parsed here, every argument is taken from the array by index and checked
// against its conversion, and each conversion is then rendered by the C
// library's snprintf from a rebuilt single-conversion format with the one
// argument of the type that format reads, or, for the plain %d, %i, %u, %x,
// %c and %s, directly.  The output of a valid format is therefore exactly
// snprintf's, and no format can make snprintf read an argument it was not
// given or write through a pointer.
#include "runtime/printf_args.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "runtime/string_buffer.h"

namespace nxrt {

namespace {

constexpr long long kExactDoubleLimit = 1LL << 53;

using Tag = std::underlying_type_t<nxPrintfArgType>;

// The tag as the number stored, so that a value outside the enumeration
// (from C, or from a damaged array) is refused instead of misread.
Tag tag_of(const nxPrintfArgVal& arg) {
  Tag tag;
  std::memcpy(&tag, &arg.type, sizeof tag);
  return tag;
}

// One parsed conversion specification.
struct Conversion {
  char flags[8] = {};  // each of "-+ #0'" at most once, NUL-terminated
  int flag_count = 0;
  bool has_width = false;
  long long width = 0;
  int width_position = -1;  // -1: literal width; 0: next argument; n: argument n
  bool has_precision = false;
  long long precision = 0;
  int precision_position = -1;
  int value_position = 0;  // 0: next argument; n: argument n
  char conversion = '\0';
  bool field_overflow = false;  // a literal width or precision beyond int
};

class Formatter {
 public:
  Formatter(NxStringBuff* buffer, const nxPrintfArgVal* args) : buffer_(buffer), args_(args) {
    if (args != nullptr) {
      while (tag_of(args[count_]) != NX_ARG_END) ++count_;
    }
  }

  // False when memory ran out.
  bool run(const char* format);

 private:
  bool append(const char* bytes, size_t size) { return buffer_append(buffer_, bytes, size); }
  bool append_marker() { return append(kBadArgumentMarker, sizeof kBadArgumentMarker - 1); }
  // The argument at a 1-based position, or the next one in sequence for 0;
  // null when there is none.  Never looks at or past the NX_ARG_END element.
  const nxPrintfArgVal* fetch(int position);
  bool resolve_int(int position, long long* value);
  bool render(const Conversion& spec);
  template <typename T>
  bool render_one(const Conversion& spec, const char* length_modifier, T value);

  NxStringBuff* buffer_;
  const nxPrintfArgVal* args_;
  size_t count_ = 0;
  size_t next_ = 0;
};

// Reads decimal digits; saturates beyond int and says so through overflow.
long long read_number(const char** cursor, bool* overflow) {
  long long value = 0;
  while (**cursor >= '0' && **cursor <= '9') {
    if (value <= std::numeric_limits<int>::max()) value = value * 10 + (**cursor - '0');
    if (value > std::numeric_limits<int>::max()) *overflow = true;
    ++*cursor;
  }
  return value;
}

// Reads "n$" at the cursor and returns n, or returns 0 and leaves the cursor.
int read_position(const char** cursor) {
  const char* p = *cursor;
  if (*p < '1' || *p > '9') return 0;
  bool overflow = false;
  long long value = read_number(&p, &overflow);
  if (*p != '$') return 0;
  *cursor = p + 1;
  // A position beyond int cannot name an argument; it fetches nothing.
  return overflow ? std::numeric_limits<int>::max() : static_cast<int>(value);
}

// Parses a width or precision given as "*" or "*n$".
void read_star(const char** cursor, int* position) {
  ++*cursor;
  *position = read_position(cursor);
}

const nxPrintfArgVal* Formatter::fetch(int position) {
  if (position > 0) {
    return static_cast<size_t>(position) <= count_ ? &args_[position - 1] : nullptr;
  }
  if (next_ >= count_) return nullptr;
  return &args_[next_++];
}

bool Formatter::resolve_int(int position, long long* value) {
  const nxPrintfArgVal* arg = fetch(position);
  if (arg == nullptr) return false;
  switch (tag_of(*arg)) {
    case NX_ARG_INT:
      *value = arg->value.i;
      return arg->value.i >= std::numeric_limits<int>::min() &&
             arg->value.i <= std::numeric_limits<int>::max();
    case NX_ARG_UINT:
      *value = static_cast<long long>(arg->value.u);
      return arg->value.u <= static_cast<unsigned long long>(std::numeric_limits<int>::max());
    case NX_ARG_CHAR:
      *value = arg->value.c;
      return true;
    default:
      return false;
  }
}

template <typename T>
bool Formatter::render_one(const Conversion& spec, const char* length_modifier, T value) {
  // The plain conversions a message mostly has are rendered here, with the
  // same bytes as snprintf's (none of them depends on the locale).
  if (spec.flag_count == 0 && !spec.has_width && !spec.has_precision) {
    if constexpr (std::is_same_v<T, const char*>) {
      if (spec.conversion == 's') {
        // Beyond INT_MAX snprintf fails, and the conversion shows the marker.
        const size_t length = std::strlen(value);
        if (length > static_cast<size_t>(std::numeric_limits<int>::max())) return append_marker();
        return append(value, length);
      }
    } else if constexpr (std::is_integral_v<T>) {
      const bool decimal = std::is_signed_v<T> ? spec.conversion == 'd' || spec.conversion == 'i'
                                               : spec.conversion == 'u';
      if (decimal || (std::is_unsigned_v<T> && spec.conversion == 'x')) {
        char digits[24];
        const std::to_chars_result end =
            std::to_chars(digits, digits + sizeof digits, value, decimal ? 10 : 16);
        return append(digits, static_cast<size_t>(end.ptr - digits));
      }
      if (spec.conversion == 'c') {
        const char byte = static_cast<char>(value);
        return append(&byte, 1);
      }
    }
  }
  // "%" flags width "." precision length conversion: at most 52 bytes.
  char format[64];
  char* end = format;
  *end++ = '%';
  for (const char* flag = spec.flags; *flag != '\0'; ++flag) *end++ = *flag;
  if (spec.has_width) end = std::to_chars(end, format + sizeof format, spec.width).ptr;
  if (spec.has_precision) {
    *end++ = '.';
    end = std::to_chars(end, format + sizeof format, spec.precision).ptr;
  }
  for (const char* letter = length_modifier; *letter != '\0'; ++letter) *end++ = *letter;
  *end++ = spec.conversion;
  *end = '\0';

  if (!buffer_reserve(buffer_, 32)) return false;
  size_t room = buffer_->capacity - buffer_->length;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int written = std::snprintf(buffer_->text + buffer_->length, room, format, value);
  if (written >= 0 && static_cast<size_t>(written) >= room) {
    if (!buffer_reserve(buffer_, static_cast<size_t>(written))) return false;
    room = buffer_->capacity - buffer_->length;
    written = std::snprintf(buffer_->text + buffer_->length, room, format, value);
  }
#pragma GCC diagnostic pop
  if (written < 0) {
    buffer_->text[buffer_->length] = '\0';
    return append_marker();
  }
  buffer_->length += static_cast<size_t>(written);
  return true;
}

bool Formatter::render(const Conversion& given) {
  Conversion spec = given;
  bool usable = !spec.field_overflow;
  // Width and precision arguments come before the value, as C reads them.
  if (spec.width_position >= 0) {
    long long width = 0;
    if (resolve_int(spec.width_position, &width)) {
      spec.has_width = true;
      if (width < 0) {
        // A negative width is the "-" flag and its magnitude.
        if (std::strchr(spec.flags, '-') == nullptr) spec.flags[spec.flag_count++] = '-';
        width = -width;
      }
      spec.width = width;
    } else {
      usable = false;
    }
  }
  if (spec.precision_position >= 0) {
    long long precision = 0;
    if (resolve_int(spec.precision_position, &precision)) {
      // A negative precision is taken as if it were omitted.
      spec.has_precision = precision >= 0;
      spec.precision = precision;
    } else {
      usable = false;
    }
  }
  if ((spec.has_width && spec.width > kMaxFieldSize) ||
      (spec.has_precision && spec.precision > kMaxFieldSize)) {
    usable = false;
  }
  const nxPrintfArgVal* arg = fetch(spec.value_position);
  if (!usable || arg == nullptr) return append_marker();

  const Tag type = tag_of(*arg);
  switch (spec.conversion) {
    case 'd':
    case 'i': {
      if (type == NX_ARG_INT) return render_one(spec, "ll", arg->value.i);
      if (type == NX_ARG_CHAR) return render_one(spec, "ll", static_cast<long long>(arg->value.c));
      if (type == NX_ARG_UINT &&
          arg->value.u <= static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
        return render_one(spec, "ll", static_cast<long long>(arg->value.u));
      }
      break;
    }
    case 'o':
    case 'u':
    case 'x':
    case 'X': {
      if (type == NX_ARG_UINT) return render_one(spec, "ll", arg->value.u);
      if (type == NX_ARG_INT && arg->value.i >= 0) {
        return render_one(spec, "ll", static_cast<unsigned long long>(arg->value.i));
      }
      if (type == NX_ARG_CHAR && arg->value.c >= 0) {
        return render_one(spec, "ll", static_cast<unsigned long long>(arg->value.c));
      }
      break;
    }
    case 'c': {
      if (type == NX_ARG_CHAR) return render_one(spec, "", arg->value.c);
      if (type == NX_ARG_INT && arg->value.i >= 0 && arg->value.i <= 255) {
        return render_one(spec, "", static_cast<int>(arg->value.i));
      }
      if (type == NX_ARG_UINT && arg->value.u <= 255) {
        return render_one(spec, "", static_cast<int>(arg->value.u));
      }
      break;
    }
    case 's': {
      if (type == NX_ARG_STRING) {
        // The null string is shown as a text, with the field's width and
        // precision like any other.
        return render_one(spec, "", arg->value.s != nullptr ? arg->value.s : "(null)");
      }
      break;
    }
    case 'p': {
      if (type == NX_ARG_POINTER) return render_one(spec, "", arg->value.p);
      if (type == NX_ARG_STRING)
        return render_one(spec, "", static_cast<const void*>(arg->value.s));
      break;
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
      if (type == NX_ARG_DOUBLE) return render_one(spec, "", arg->value.d);
      // Integers convert to double exactly up to 2^53 in magnitude.
      if (type == NX_ARG_INT && arg->value.i >= -kExactDoubleLimit &&
          arg->value.i <= kExactDoubleLimit) {
        return render_one(spec, "", static_cast<double>(arg->value.i));
      }
      if (type == NX_ARG_UINT &&
          arg->value.u <= static_cast<unsigned long long>(kExactDoubleLimit)) {
        return render_one(spec, "", static_cast<double>(arg->value.u));
      }
      if (type == NX_ARG_CHAR) return render_one(spec, "", static_cast<double>(arg->value.c));
      break;
    }
    default:  // 'n': never performed; its argument is used up all the same.
      break;
  }
  return append_marker();
}

bool Formatter::run(const char* format) {
  const char* cursor = format;
  while (*cursor != '\0') {
    const char* percent = std::strchr(cursor, '%');
    if (percent == nullptr) return append(cursor, std::strlen(cursor));
    if (!append(cursor, static_cast<size_t>(percent - cursor))) return false;

    Conversion spec;
    const char* p = percent + 1;
    spec.value_position = read_position(&p);
    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
      if (std::strchr(spec.flags, *p) == nullptr) spec.flags[spec.flag_count++] = *p;
      ++p;
    }
    if (*p == '*') {
      read_star(&p, &spec.width_position);
    } else if (*p >= '1' && *p <= '9') {
      spec.has_width = true;
      spec.width = read_number(&p, &spec.field_overflow);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        read_star(&p, &spec.precision_position);
      } else {
        spec.has_precision = true;
        spec.precision = read_number(&p, &spec.field_overflow);
      }
    }
    // Length modifiers say nothing the argument's tag does not.
    while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) ++p;

    spec.conversion = *p;
    if (spec.conversion == '\0') {
      // A conversion cut off by the end of the format stays as written.
      return append(percent, static_cast<size_t>(p - percent));
    }
    cursor = p + 1;
    if (spec.conversion == '%') {
      if (!append("%", 1)) return false;
    } else if (std::strchr("diouxXcsfFeEgGaApn", spec.conversion) != nullptr) {
      if (!render(spec)) return false;
    } else {
      // An unknown conversion is copied as written and uses no argument.
      if (!append(percent, static_cast<size_t>(cursor - percent))) return false;
    }
  }
  return true;
}

}  // namespace

}  // namespace nxrt

extern "C" {

int NxStringBuffPrintfA(void*, NxStringBuff* buffer, const char* format,
                        const nxPrintfArgVal* args) {
  if (buffer == nullptr || format == nullptr) return -1;
  const size_t start = buffer->length;
  nxrt::Formatter formatter(buffer, args);
  const bool done = formatter.run(format);
  // The count must fit the int result; otherwise nothing is appended.
  if (!done || buffer->length - start > static_cast<size_t>(std::numeric_limits<int>::max())) {
    nxrt::buffer_truncate(buffer, start);
    return -1;
  }
  return static_cast<int>(buffer->length - start);
}

}  // extern "C"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "eklogger/platform/runtime.h"
#include "printf_args.h"

namespace {

const std::string kMarker = nxrt::kBadArgumentMarker;

nxPrintfArgVal int_arg(long long value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_INT;
  arg.value.i = value;
  return arg;
}
nxPrintfArgVal uint_arg(unsigned long long value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_UINT;
  arg.value.u = value;
  return arg;
}
nxPrintfArgVal double_arg(double value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_DOUBLE;
  arg.value.d = value;
  return arg;
}
nxPrintfArgVal char_arg(int value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_CHAR;
  arg.value.c = value;
  return arg;
}
nxPrintfArgVal string_arg(const char* value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_STRING;
  arg.value.s = value;
  return arg;
}
nxPrintfArgVal pointer_arg(const void* value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_POINTER;
  arg.value.p = value;
  return arg;
}

// The runtime's output for format and args (an NX_ARG_END is appended),
// embedded NULs included.
std::string nx_format(const char* format, std::vector<nxPrintfArgVal> args) {
  args.push_back(nxPrintfArgVal{NX_ARG_END, {0}});
  NxStringBuff buffer = {nullptr, 0, 0};
  const int appended = NxStringBuffPrintfA(nullptr, &buffer, format, args.data());
  EXPECT_EQ(appended, static_cast<int>(buffer.length)) << format;
  std::string result(buffer.text != nullptr ? buffer.text : "", buffer.length);
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
  return result;
}

// ---- Differential testing against the C library ----

// How an argument is passed to snprintf.  kStar is an INT passed as int,
// for "*" widths and precisions.
enum class Kind { kLongLong, kUnsigned, kDouble, kChar, kString, kPointer, kStar };

struct Slot {
  Kind kind;
  nxPrintfArgVal value;
};

constexpr size_t kMaxSlots = 3;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
// snprintf called with each slot as an argument of its C type.
template <typename... T>
std::string c_format(const std::string& format, const std::vector<Slot>& slots, size_t next,
                     T... values) {
  if (next == slots.size()) {
    const int size = std::snprintf(nullptr, 0, format.c_str(), values...);
    if (size < 0) return "snprintf failed";
    std::string result(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(&result[0], result.size(), format.c_str(), values...);
    result.resize(static_cast<size_t>(size));
    return result;
  }
  if constexpr (sizeof...(T) < kMaxSlots) {
    const auto& value = slots[next].value.value;
    switch (slots[next].kind) {
      case Kind::kLongLong: return c_format(format, slots, next + 1, values..., value.i);
      case Kind::kUnsigned: return c_format(format, slots, next + 1, values..., value.u);
      case Kind::kDouble: return c_format(format, slots, next + 1, values..., value.d);
      case Kind::kChar: return c_format(format, slots, next + 1, values..., value.c);
      case Kind::kString: return c_format(format, slots, next + 1, values..., value.s);
      case Kind::kPointer: return c_format(format, slots, next + 1, values..., value.p);
      case Kind::kStar:
        return c_format(format, slots, next + 1, values..., static_cast<int>(value.i));
    }
  }
  std::abort();
}
#pragma GCC diagnostic pop

std::string differential_failure(const std::string& format, const std::vector<Slot>& slots) {
  std::vector<nxPrintfArgVal> args;
  for (const Slot& slot : slots) args.push_back(slot.value);
  const std::string expected = c_format(format, slots, 0);
  const std::string actual = nx_format(format.c_str(), args);
  if (expected == actual) return std::string();
  return "format \"" + format + "\": snprintf gave \"" + expected + "\", runtime gave \"" +
         actual + "\"";
}

// Random valid formats: conversions with the flags, widths and precisions C
// defines for them, between literal texts, over at most kMaxSlots arguments.
class FormatGenerator {
 public:
  explicit FormatGenerator(unsigned seed) : random_(seed) {}

  void generate(bool positional, std::string* format, std::vector<Slot>* slots) {
    slots->clear();
    std::vector<std::string> pieces;
    const int conversions = pick(4);
    for (int i = 0; i < conversions && slots->size() < kMaxSlots; ++i) {
      pieces.push_back(conversion(positional, slots));
    }
    if (positional) std::shuffle(pieces.begin(), pieces.end(), random_);
    static const char* const kLiterals[] = {"", " ", "abc", "\xC3\xA9", "[", "] ", "%%"};
    *format = kLiterals[pick(7)];
    for (const std::string& piece : pieces) *format += piece + kLiterals[pick(7)];
  }

 private:
  int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }

  // Appends an argument and returns its "n$" reference.
  std::string add_slot(Kind kind, nxPrintfArgVal value, std::vector<Slot>* slots) {
    slots->push_back(Slot{kind, value});
    return std::to_string(slots->size()) + "$";
  }

  std::string conversion(bool positional, std::vector<Slot>* slots) {
    static const char kConversions[] = "diouxXcsfFeEgGaAp";
    const char conv = kConversions[pick(sizeof kConversions - 1)];
    std::string allowed = "-";
    if (std::strchr("di", conv)) allowed = "-+ 0'";
    if (std::strchr("u", conv)) allowed = "-0'";
    if (std::strchr("oxX", conv)) allowed = "-0#";
    if (std::strchr("fFeEgGaA", conv)) allowed = "-+ #0";
    if (std::strchr("fFgG", conv)) allowed += "'";
    std::string flags;
    for (char flag : allowed) {
      if (pick(4) == 0) flags += flag;
    }
    const bool precision_allowed = std::strchr("cp", conv) == nullptr;

    // Width and precision arguments come before the value in sequence.
    const size_t room = kMaxSlots - slots->size() - 1;
    size_t stars = 0;
    std::string width, precision;
    switch (pick(3)) {
      case 0: break;
      case 1: width = std::to_string(1 + pick(30)); break;
      default:
        if (stars < room) {
          ++stars;
          // The C library pads a left-justified positional field with the
          // "0" flag's zeros on the right, which C does not allow; that
          // case has its own test below.
          const int lowest = positional && flags.find('0') != std::string::npos ? 0 : -20;
          width = "*" + (positional ? add_slot(Kind::kStar, int_arg(lowest + pick(31 - lowest)), slots) : "");
          if (!positional) slots->push_back(Slot{Kind::kStar, int_arg(pick(51) - 20)});
        }
    }
    if (precision_allowed) {
      switch (pick(4)) {
        case 0: break;
        case 1: precision = "."; break;
        case 2: precision = "." + std::to_string(pick(21)); break;
        default:
          if (stars < room) {
            ++stars;
            precision =
                ".*" + (positional ? add_slot(Kind::kStar, int_arg(pick(24) - 3), slots) : "");
            if (!positional) slots->push_back(Slot{Kind::kStar, int_arg(pick(24) - 3)});
          }
      }
    }
    std::string length;
    std::string reference;
    if (std::strchr("di", conv)) {
      length = "ll";
      reference = add_slot(Kind::kLongLong, int_arg(some_integer()), slots);
    } else if (std::strchr("ouxX", conv)) {
      length = "ll";
      reference = add_slot(Kind::kUnsigned, uint_arg(static_cast<unsigned long long>(some_integer())), slots);
    } else if (conv == 'c') {
      static const int kChars[] = {'a', 'Z', ' ', '%', '0', 0, 200};
      reference = add_slot(Kind::kChar, char_arg(kChars[pick(7)]), slots);
    } else if (conv == 's') {
      static const char* const kStrings[] = {"", "x", "hello world", "\xE6\x97\xA5\xE6\x9C\xAC",
                                             "%d %s %n"};
      reference = add_slot(Kind::kString, string_arg(kStrings[pick(5)]), slots);
    } else if (conv == 'p') {
      static int object;
      static const void* const kPointers[] = {nullptr, &object,
                                              reinterpret_cast<const void*>(0x1234),
                                              reinterpret_cast<const void*>(UINTPTR_MAX)};
      reference = add_slot(Kind::kPointer, pointer_arg(kPointers[pick(4)]), slots);
    } else {
      reference = add_slot(Kind::kDouble, double_arg(some_double()), slots);
    }
    if (!positional) reference.clear();
    return "%" + reference + flags + width + precision + length + conv;
  }

  long long some_integer() {
    static const long long kValues[] = {0, 1, -1, 42, -42, 255, 65535, LLONG_MIN, LLONG_MAX};
    if (pick(2) == 0) return kValues[pick(9)];
    return static_cast<long long>(random_()) << (pick(2) == 0 ? 0 : 32);
  }

  double some_double() {
    static const double kValues[] = {0.0,     -0.0,  1.5,      -2.25,   1e300,     -1e-300,
                                     5e-324,  0.1,   123456.789, 1e15,  INFINITY,  -INFINITY,
                                     NAN,     0.5,   9.9999999, 2.5};
    if (pick(2) == 0) return kValues[pick(16)];
    return std::uniform_real_distribution<double>(-1, 1)(random_) * std::pow(10.0, pick(40) - 20);
  }

  std::mt19937 random_;
};

TEST(PrintfArgsTest, MatchesSnprintfForFixedFormats) {
  static int object;
  const struct {
    const char* format;
    std::vector<Slot> slots;
  } cases[] = {
      {"plain text", {}},
      {"%% and %%%%", {}},
      {"%1$lld|%1$5lld|%1$-5lld|%1$05lld|%1$+lld|%1$ lld|%1$.3lld|%1$.0lld",
       {{Kind::kLongLong, int_arg(0)}}},
      {"[%+.3lld]", {{Kind::kLongLong, int_arg(-7)}}},
      {"%1$llu %1$llo %1$llx %1$llX %1$#llo %1$#llx %1$#.0llo",
       {{Kind::kUnsigned, uint_arg(ULLONG_MAX)}}},
      {"%c%c", {{Kind::kChar, char_arg('o')}, {Kind::kChar, char_arg('k')}}},
      {"%-3c|%3c", {{Kind::kChar, char_arg('x')}, {Kind::kChar, char_arg('y')}}},
      {"%1$s|%1$.2s|%1$10s|%1$-10s|", {{Kind::kString, string_arg("abcdef")}}},
      {"%1$f %1$e %1$g", {{Kind::kDouble, double_arg(1234.5678)}}},
      {"%1$F %1$E %1$G %1$a %1$A", {{Kind::kDouble, double_arg(-0.000123)}}},
      {"%1$#.0f %1$#g %1$.0e %1$010.3f %1$-+12.4e", {{Kind::kDouble, double_arg(2.5)}}},
      {"%1$f %1$F %1$e %1$g", {{Kind::kDouble, double_arg(NAN)}}},
      {"%*lld|", {{Kind::kStar, int_arg(-6)}, {Kind::kLongLong, int_arg(12)}}},
      {"%2$*1$lld|%2$-*1$lld|", {{Kind::kStar, int_arg(-6)}, {Kind::kLongLong, int_arg(12)}}},
      {"%.*s", {{Kind::kStar, int_arg(-1)}, {Kind::kString, string_arg("negative precision")}}},
      {"%p %p", {{Kind::kPointer, pointer_arg(&object)}, {Kind::kPointer, pointer_arg(nullptr)}}},
      {"%2$s %1$lld", {{Kind::kLongLong, int_arg(5)}, {Kind::kString, string_arg("five")}}},
      {"%1$*2$.*3$f", {{Kind::kDouble, double_arg(3.14159)}, {Kind::kStar, int_arg(10)},
                       {Kind::kStar, int_arg(2)}}},
      {"%3$s %2$s %1$s",
       {{Kind::kString, string_arg("c")}, {Kind::kString, string_arg("b")},
        {Kind::kString, string_arg("a")}}},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(differential_failure(test.format, test.slots), "");
  }
}

TEST(PrintfArgsTest, MatchesSnprintfForGeneratedFormats) {
  FormatGenerator generator(20240611);
  std::string format;
  std::vector<Slot> slots;
  int failures = 0;
  for (int i = 0; i < 20000 && failures < 10; ++i) {
    generator.generate(i % 2 == 1, &format, &slots);
    const std::string failure = differential_failure(format, slots);
    if (!failure.empty()) {
      ++failures;
      ADD_FAILURE() << failure;
    }
  }
}

// ---- Formats that C leaves undefined: defined and safe here ----

TEST(PrintfArgsTest, PositionalArgumentsReorderAndRepeat) {
  EXPECT_EQ(nx_format("%2$s took %1$d ms", {int_arg(12), string_arg("GET")}), "GET took 12 ms");
  EXPECT_EQ(nx_format("%1$s-%1$s", {string_arg("again")}), "again-again");
  // Sequential conversions after positional ones take the next in order.
  EXPECT_EQ(nx_format("%2$d %d %d", {int_arg(1), int_arg(2)}), "2 1 2");
}

// A negative width from an argument is the "-" flag, which overrides "0".
// The C library's positional path pads with zeros on the right instead
// ("7000" for the first case), which reads as another number.
TEST(PrintfArgsTest, NegativeWidthOverridesZeroFlagInPositionalFormats) {
  EXPECT_EQ(nx_format("[%2$0*1$d]", {int_arg(-4), int_arg(7)}), "[7   ]");
  EXPECT_EQ(nx_format("[%2$0*1$.1f]", {int_arg(-6), double_arg(2.5)}), "[2.5   ]");
  EXPECT_EQ(nx_format("[%0*d]", {int_arg(-4), int_arg(7)}), "[7   ]");
}

TEST(PrintfArgsTest, MissingArgumentsGiveTheMarker) {
  EXPECT_EQ(nx_format("%d and %d", {int_arg(5)}), "5 and " + kMarker);
  EXPECT_EQ(nx_format("%3$d", {int_arg(1), int_arg(2)}), kMarker);
  EXPECT_EQ(nx_format("%99999999999$d", {int_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%*d", {int_arg(5)}), kMarker);
  NxStringBuff buffer = {nullptr, 0, 0};
  EXPECT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "[%s]", nullptr), 2 + static_cast<int>(kMarker.size()));
  EXPECT_EQ(std::string(buffer.text), "[" + kMarker + "]");
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
}

TEST(PrintfArgsTest, NeverReadsPastTheEndElement) {
  // Valid-looking values after the end element must stay unread.
  const nxPrintfArgVal args[] = {int_arg(1), {NX_ARG_END, {0}}, int_arg(2), string_arg("after")};
  NxStringBuff buffer = {nullptr, 0, 0};
  NxStringBuffPrintfA(nullptr, &buffer, "%d %d %3$d %4$s", args);
  EXPECT_EQ(std::string(buffer.text), "1 " + kMarker + " " + kMarker + " " + kMarker);
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
}

TEST(PrintfArgsTest, PercentNWritesNothing) {
  int target = 77;
  EXPECT_EQ(nx_format("ab%ncd", {pointer_arg(&target)}), "ab" + kMarker + "cd");
  EXPECT_EQ(nx_format("%hhn%s", {pointer_arg(&target), string_arg("x")}), kMarker + "x");
  EXPECT_EQ(target, 77);
}

TEST(PrintfArgsTest, StringsAreReadNoFurtherThanTheirPrecision) {
  // Not NUL-terminated: reading a byte more is caught by AddressSanitizer.
  char* bytes = static_cast<char*>(std::malloc(4));
  std::memcpy(bytes, "abcd", 4);
  EXPECT_EQ(nx_format("%.4s|%.2s|%6.3s", {string_arg(bytes), string_arg(bytes), string_arg(bytes)}),
            "abcd|ab|   abc");
  std::free(bytes);
}

TEST(PrintfArgsTest, NullStringIsShownAsNull) {
  EXPECT_EQ(nx_format("%s", {string_arg(nullptr)}), "(null)");
  EXPECT_EQ(nx_format("[%8s][%-7s]", {string_arg(nullptr), string_arg(nullptr)}),
            "[  (null)][(null) ]");
}

TEST(PrintfArgsTest, TagsConvertOnlyWhereExact) {
  // Exact conversions.
  EXPECT_EQ(nx_format("%u %x %o", {int_arg(255), int_arg(255), int_arg(8)}), "255 ff 10");
  EXPECT_EQ(nx_format("%d %i", {char_arg('A'), uint_arg(LLONG_MAX)}), "65 9223372036854775807");
  EXPECT_EQ(nx_format("%c%c", {int_arg('o'), uint_arg('k')}), "ok");
  EXPECT_EQ(nx_format("%.1f %g", {int_arg(3), uint_arg(1ULL << 53)}), "3.0 9.0072e+15");
  EXPECT_EQ(nx_format("%X", {char_arg(10)}), "A");
  EXPECT_FALSE(nx_format("%p", {string_arg("text")}).empty());
  // Everything else shows the marker and uses up its argument.
  EXPECT_EQ(nx_format("%u|%x", {int_arg(-1), char_arg(-3)}), kMarker + "|" + kMarker);
  EXPECT_EQ(nx_format("%d", {uint_arg(ULLONG_MAX)}), kMarker);
  EXPECT_EQ(nx_format("%c|%c", {int_arg(300), int_arg(-1)}), kMarker + "|" + kMarker);
  EXPECT_EQ(nx_format("%f", {int_arg((1LL << 53) + 1)}), kMarker);
  EXPECT_EQ(nx_format("%s|%d", {int_arg(5), string_arg("x")}), kMarker + "|" + kMarker);
  EXPECT_EQ(nx_format("%d|%f|%s", {double_arg(1.5), string_arg("x"), pointer_arg(nullptr)}),
            kMarker + "|" + kMarker + "|" + kMarker);
  EXPECT_EQ(nx_format("%p", {int_arg(0x1234)}), kMarker);
  nxPrintfArgVal unknown{};
  const std::underlying_type_t<nxPrintfArgType> bad_tag = 42;  // as C code may store it
  std::memcpy(&unknown.type, &bad_tag, sizeof bad_tag);
  EXPECT_EQ(nx_format("%d,%d", {unknown, int_arg(7)}), kMarker + ",7");
}

TEST(PrintfArgsTest, LengthModifiersAreIgnored) {
  EXPECT_EQ(nx_format("%hhd %hd %ld %lld %jd %zd %td %qd", {int_arg(300), int_arg(70000),
                      int_arg(1), int_arg(2), int_arg(3), int_arg(4), int_arg(5), int_arg(6)}),
            "300 70000 1 2 3 4 5 6");
  EXPECT_EQ(nx_format("%Lf %lc %ls", {double_arg(0.5), char_arg('w'), string_arg("wide")}),
            "0.500000 w wide");
}

TEST(PrintfArgsTest, BadFieldsGiveTheMarker) {
  // Width and precision arguments must be ints.
  EXPECT_EQ(nx_format("%*d", {string_arg("5"), int_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%.*f", {int_arg(1LL << 40), double_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%*d|", {int_arg(INT_MIN), int_arg(1)}), kMarker + "|");
  // Fields beyond int or beyond the bound are refused, not allocated.
  EXPECT_EQ(nx_format("%99999999999d", {int_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%.2000000000f", {double_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%*s", {int_arg(nxrt::kMaxFieldSize + 1), string_arg("")}), kMarker);
  EXPECT_EQ(nx_format("%*s", {int_arg(nxrt::kMaxFieldSize), string_arg("")}).size(),
            static_cast<size_t>(nxrt::kMaxFieldSize));
  // A negative width from an argument left-justifies.
  EXPECT_EQ(nx_format("[%*d]", {int_arg(-4), int_arg(7)}), "[7   ]");
}

TEST(PrintfArgsTest, MalformedSpecificationsStayAsWritten) {
  EXPECT_EQ(nx_format("100%", {}), "100%");
  EXPECT_EQ(nx_format("%-5", {int_arg(1)}), "%-5");
  EXPECT_EQ(nx_format("%y %k|%d", {int_arg(4)}), "%y %k|4");
  EXPECT_EQ(nx_format("%0$d", {int_arg(4)}), "%0$d");
}

TEST(PrintfArgsTest, CountsEmbeddedNulBytesAndAppends) {
  NxStringBuff buffer = {nullptr, 0, 0};
  const nxPrintfArgVal zero[] = {char_arg(0), {NX_ARG_END, {0}}};
  EXPECT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "a", zero), 1);
  EXPECT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "%cb", zero), 2);
  EXPECT_EQ(std::string(buffer.text, buffer.length), std::string("a\0b", 3));
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
}

}  // namespace

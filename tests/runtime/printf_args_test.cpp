#include "printf_args.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "eklogger/platform/runtime.h"

namespace {

const std::string kMarker = nxrt::kBadArgumentMarker;

#define DEFINE_ARG_MAKER(maker, c_type, tag, field) \
  nxPrintfArgVal maker(c_type value) {              \
    nxPrintfArgVal arg{};                           \
    arg.type = tag;                                 \
    arg.value.field = value;                        \
    return arg;                                     \
  }
DEFINE_ARG_MAKER(int_arg, long long, NX_ARG_INT, i)
DEFINE_ARG_MAKER(uint_arg, unsigned long long, NX_ARG_UINT, u)
DEFINE_ARG_MAKER(double_arg, double, NX_ARG_DOUBLE, d)
DEFINE_ARG_MAKER(char_arg, int, NX_ARG_CHAR, c)
DEFINE_ARG_MAKER(string_arg, const char*, NX_ARG_STRING, s)
DEFINE_ARG_MAKER(pointer_arg, const void*, NX_ARG_POINTER, p)

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

// How an argument is passed to snprintf; kStar is an INT passed as int.
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
    const auto& v = slots[next].value.value;
    switch (slots[next].kind) {
      case Kind::kLongLong:
        return c_format(format, slots, next + 1, values..., v.i);
      case Kind::kUnsigned:
        return c_format(format, slots, next + 1, values..., v.u);
      case Kind::kDouble:
        return c_format(format, slots, next + 1, values..., v.d);
      case Kind::kChar:
        return c_format(format, slots, next + 1, values..., v.c);
      case Kind::kString:
        return c_format(format, slots, next + 1, values..., v.s);
      case Kind::kPointer:
        return c_format(format, slots, next + 1, values..., v.p);
      case Kind::kStar:
        return c_format(format, slots, next + 1, values..., static_cast<int>(v.i));
    }
  }
  std::abort();
}
#pragma GCC diagnostic pop

// Empty when the runtime and snprintf agree, else both outputs.
std::string compare_with_snprintf(const std::string& format, const std::vector<Slot>& slots) {
  std::vector<nxPrintfArgVal> args;
  for (const Slot& slot : slots) args.push_back(slot.value);
  const std::string expected = c_format(format, slots, 0);
  const std::string actual = nx_format(format.c_str(), args);
  if (expected == actual) return std::string();
  return "\"" + format + "\": snprintf \"" + expected + "\", runtime \"" + actual + "\"";
}

// Random valid formats: conversions with the flags, widths and precisions C
// defines for them, between literal texts, over at most kMaxSlots arguments.
// Positional formats use every argument once, in shuffled order.
class FormatGenerator {
 public:
  void generate(bool positional, std::string* format, std::vector<Slot>* slots) {
    positional_ = positional;
    slots->clear();
    std::vector<std::string> pieces;
    for (int i = pick(4); i > 0 && slots->size() < kMaxSlots; --i) {
      pieces.push_back(conversion(slots));
    }
    if (positional) std::shuffle(pieces.begin(), pieces.end(), random_);
    static const char* const kLiterals[] = {"", " ", "abc", "\xC3\xA9", "[", "%%"};
    *format = kLiterals[pick(6)];
    for (const std::string& piece : pieces) *format += piece + kLiterals[pick(6)];
  }

 private:
  int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }

  // Adds an argument; returns its "n$" in positional formats.
  std::string add(Kind kind, nxPrintfArgVal value, std::vector<Slot>* slots) {
    slots->push_back(Slot{kind, value});
    return positional_ ? std::to_string(slots->size()) + "$" : "";
  }

  std::string conversion(std::vector<Slot>* slots) {
    static const char kConversions[] = "diouxXcsfFeEgGaAp";
    const char conv = kConversions[pick(sizeof kConversions - 1)];
    std::string allowed = "-";
    if (std::strchr("di", conv)) allowed = "-+ 0'";
    if (conv == 'u') allowed = "-0'";
    if (std::strchr("oxX", conv)) allowed = "-0#";
    if (std::strchr("fFeEgGaA", conv)) allowed = std::strchr("fFgG", conv) ? "-+ #0'" : "-+ #0";
    std::string flags;
    for (char flag : allowed) {
      if (pick(4) == 0) flags += flag;
    }
    // The C library pads a left-justified positional field with the "0"
    // flag's zeros on the right; that case has its own test below.
    const int lowest_width = positional_ && flags.find('0') != std::string::npos ? 0 : -20;
    std::string width, precision;
    const int width_kind = pick(3);
    if (width_kind == 1) width = std::to_string(1 + pick(30));
    if (width_kind == 2 && slots->size() + 1 < kMaxSlots) {
      width = "*" + add(Kind::kStar, int_arg(lowest_width + pick(31 - lowest_width)), slots);
    }
    const int precision_kind = std::strchr("cp", conv) ? 0 : pick(4);
    if (precision_kind == 1) precision = ".";
    if (precision_kind == 2) precision = "." + std::to_string(pick(21));
    if (precision_kind == 3 && slots->size() + 1 < kMaxSlots) {
      precision = ".*" + add(Kind::kStar, int_arg(pick(24) - 3), slots);
    }
    return "%" + value(conv, slots) + flags + width + precision +
           (std::strchr("diouxX", conv) ? "ll" : "") + conv;
  }

  // Adds the conversion's value.  Its "n$" goes first in the conversion,
  // its number after those of its width and precision.
  std::string value(char conv, std::vector<Slot>* slots) {
    static int object;
    static const long long kIntegers[] = {0, 1, -1, 42, 255, LLONG_MIN, LLONG_MAX};
    static const double kDoubles[] = {0.0, -0.0,       1.5,      -2.25,     1e300, -1e-300,  5e-324,
                                      0.1, 123456.789, INFINITY, -INFINITY, NAN,   9.9999999};
    static const int kChars[] = {'a', ' ', '%', 0, 200};
    static const char* const kStrings[] = {"", "x", "hello world", "\xE6\x97\xA5", "%d %n"};
    static const void* const kPointers[] = {nullptr, &object, reinterpret_cast<void*>(0x1234)};
    const long long integer =
        pick(2) ? kIntegers[pick(7)] : static_cast<long long>(random_()) << (pick(2) * 32);
    if (std::strchr("di", conv)) return add(Kind::kLongLong, int_arg(integer), slots);
    if (std::strchr("ouxX", conv)) return add(Kind::kUnsigned, uint_arg(integer), slots);
    if (conv == 'c') return add(Kind::kChar, char_arg(kChars[pick(5)]), slots);
    if (conv == 's') return add(Kind::kString, string_arg(kStrings[pick(5)]), slots);
    if (conv == 'p') return add(Kind::kPointer, pointer_arg(kPointers[pick(3)]), slots);
    const double number = pick(2) ? kDoubles[pick(13)]
                                  : std::uniform_real_distribution<double>(-1, 1)(random_) *
                                        std::pow(10.0, pick(40) - 20);
    return add(Kind::kDouble, double_arg(number), slots);
  }

  std::mt19937 random_{20240611};
  bool positional_ = false;
};

TEST(PrintfArgsTest, MatchesSnprintfForFixedFormats) {
  const struct {
    const char* format;
    std::vector<Slot> slots;
  } cases[] = {
      {"plain %% text", {}},
      {"%1$lld|%1$5lld|%1$-5lld|%1$05lld|%1$+lld|%1$ lld|%1$.3lld|%1$.0lld",
       {{Kind::kLongLong, int_arg(0)}}},
      {"%1$llu %1$llo %1$llx %1$llX %1$#llo %1$#llx", {{Kind::kUnsigned, uint_arg(ULLONG_MAX)}}},
      {"%1$s|%1$.2s|%1$10s|%1$-10s|", {{Kind::kString, string_arg("abcdef")}}},
      {"%1$f %1$e %1$g %1$a %1$#.0f %1$010.3f %1$-+12.4E", {{Kind::kDouble, double_arg(-2.5)}}},
      {"%*lld|", {{Kind::kStar, int_arg(-6)}, {Kind::kLongLong, int_arg(12)}}},
      {"%.*s", {{Kind::kStar, int_arg(-1)}, {Kind::kString, string_arg("negative precision")}}},
      {"%2$s %1$lld", {{Kind::kLongLong, int_arg(5)}, {Kind::kString, string_arg("five")}}},
      {"%1$*2$.*3$f",
       {{Kind::kDouble, double_arg(3.14159)},
        {Kind::kStar, int_arg(10)},
        {Kind::kStar, int_arg(2)}}},
  };
  for (const auto& test : cases) EXPECT_EQ(compare_with_snprintf(test.format, test.slots), "");
}

TEST(PrintfArgsTest, MatchesSnprintfForGeneratedFormats) {
  FormatGenerator generator;
  std::string format;
  std::vector<Slot> slots;
  int failures = 0;
  for (int i = 0; i < 20000 && failures < 10; ++i) {
    generator.generate(i % 2 == 1, &format, &slots);
    const std::string failure = compare_with_snprintf(format, slots);
    if (!failure.empty() && ++failures) ADD_FAILURE() << failure;
  }
}

// ---- Formats that C leaves undefined: defined and safe here ----

TEST(PrintfArgsTest, PositionalArgumentsReorderAndRepeat) {
  EXPECT_EQ(nx_format("%2$s took %1$d ms", {int_arg(12), string_arg("GET")}), "GET took 12 ms");
  EXPECT_EQ(nx_format("%1$s-%1$s", {string_arg("again")}), "again-again");
  // Sequential conversions after positional ones take the next in order.
  EXPECT_EQ(nx_format("%2$d %d %d", {int_arg(1), int_arg(2)}), "2 1 2");
  // A negative width from an argument is the "-" flag, which overrides
  // "0"; the C library's positional path would print "7000".
  EXPECT_EQ(nx_format("[%2$0*1$d]", {int_arg(-4), int_arg(7)}), "[7   ]");
}

TEST(PrintfArgsTest, MissingArgumentsGiveTheMarkerAndNothingPastTheEndIsRead) {
  EXPECT_EQ(nx_format("%d and %d", {int_arg(5)}), "5 and " + kMarker);
  EXPECT_EQ(nx_format("%3$d|%99999999999$d", {int_arg(1), int_arg(2)}), kMarker + "|" + kMarker);
  EXPECT_EQ(nx_format("%*d", {int_arg(5)}), kMarker);
  // Valid-looking values after the end element must stay unread.
  const nxPrintfArgVal args[] = {int_arg(1), {NX_ARG_END, {0}}, int_arg(2), string_arg("after")};
  NxStringBuff buffer = {nullptr, 0, 0};
  NxStringBuffPrintfA(nullptr, &buffer, "%d %d %3$d %4$s", args);
  NxStringBuffPrintfA(nullptr, &buffer, "[%s]", nullptr);
  EXPECT_EQ(std::string(buffer.text),
            "1 " + kMarker + " " + kMarker + " " + kMarker + "[" + kMarker + "]");
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
}

TEST(PrintfArgsTest, PercentNWritesNothing) {
  int target = 77;
  EXPECT_EQ(
      nx_format("ab%ncd%hhn%s", {pointer_arg(&target), pointer_arg(&target), string_arg("x")}),
      "ab" + kMarker + "cd" + kMarker + "x");
  EXPECT_EQ(target, 77);
}

TEST(PrintfArgsTest, StringsAreReadNoFurtherThanTheirPrecisionAndNullIsShown) {
  // Not NUL-terminated: reading a byte more is caught by AddressSanitizer.
  char* bytes = static_cast<char*>(std::malloc(4));
  std::memcpy(bytes, "abcd", 4);
  EXPECT_EQ(nx_format("%.4s|%6.3s", {string_arg(bytes), string_arg(bytes)}), "abcd|   abc");
  std::free(bytes);
  EXPECT_EQ(nx_format("%s|%8s", {string_arg(nullptr), string_arg(nullptr)}), "(null)|  (null)");
}

TEST(PrintfArgsTest, TagsConvertOnlyWhereExact) {
  EXPECT_EQ(nx_format("%u %x %o %X", {int_arg(255), int_arg(255), int_arg(8), char_arg(10)}),
            "255 ff 10 A");
  EXPECT_EQ(nx_format("%d %i", {char_arg('A'), uint_arg(LLONG_MAX)}), "65 9223372036854775807");
  EXPECT_EQ(nx_format("%c%c", {int_arg('o'), uint_arg('k')}), "ok");
  EXPECT_EQ(nx_format("%.1f %g", {int_arg(3), uint_arg(1ULL << 53)}), "3.0 9.0072e+15");
  EXPECT_NE(nx_format("%p", {string_arg("text")}), kMarker);
  // Everything else shows the marker and uses up its argument.
  nxPrintfArgVal unknown = int_arg(1);
  const std::underlying_type_t<nxPrintfArgType> bad_tag = 42;  // as C code may store it
  std::memcpy(&unknown.type, &bad_tag, sizeof bad_tag);
  const std::vector<std::pair<const char*, nxPrintfArgVal>> refused = {
      {"%u", int_arg(-1)},     {"%x", char_arg(-3)},         {"%d", uint_arg(ULLONG_MAX)},
      {"%c", int_arg(300)},    {"%c", int_arg(-1)},          {"%f", int_arg((1LL << 53) + 1)},
      {"%s", int_arg(5)},      {"%d", string_arg("x")},      {"%d", double_arg(1.5)},
      {"%f", string_arg("x")}, {"%s", pointer_arg(nullptr)}, {"%p", int_arg(0x1234)},
      {"%d", unknown}};
  for (const auto& [format, arg] : refused) {
    EXPECT_EQ(nx_format((std::string(format) + "|%d").c_str(), {arg, int_arg(7)}), kMarker + "|7")
        << format;
  }
}

TEST(PrintfArgsTest, LengthModifiersAreIgnored) {
  EXPECT_EQ(nx_format("%hhd %hd %ld %jd %zd %qd", {int_arg(300), int_arg(70000), int_arg(1),
                                                   int_arg(3), int_arg(4), int_arg(6)}),
            "300 70000 1 3 4 6");
  EXPECT_EQ(nx_format("%Lf %lc %ls", {double_arg(0.5), char_arg('w'), string_arg("wide")}),
            "0.500000 w wide");
}

TEST(PrintfArgsTest, BadFieldsGiveTheMarker) {
  EXPECT_EQ(nx_format("%*d", {string_arg("5"), int_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%.*f", {int_arg(1LL << 40), double_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%*d", {int_arg(INT_MIN), int_arg(1)}), kMarker);
  // Fields beyond int or beyond the bound are refused, not allocated.
  EXPECT_EQ(nx_format("%99999999999d", {int_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%.2000000000f", {double_arg(1)}), kMarker);
  EXPECT_EQ(nx_format("%*s", {int_arg(nxrt::kMaxFieldSize + 1), string_arg("")}), kMarker);
  EXPECT_EQ(nx_format("%*s", {int_arg(nxrt::kMaxFieldSize), string_arg("")}).size(),
            static_cast<size_t>(nxrt::kMaxFieldSize));
}

TEST(PrintfArgsTest, MalformedSpecificationsStayAsWritten) {
  EXPECT_EQ(nx_format("100%", {}), "100%");
  EXPECT_EQ(nx_format("%-5", {int_arg(1)}), "%-5");
  EXPECT_EQ(nx_format("%y %k|%0$d|%d", {int_arg(4)}), "%y %k|%0$d|4");
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

// Fuzz target: the runtime's NxStringBuffPrintfA.
//
// The first byte picks the mode.  Differential: the input describes a valid
// format (literal text and conversions with flags, width, precision and
// length modifiers, in sequence or by position) and the arguments of the
// types it reads; the result must equal what the C library's snprintf gives
// for the same conversions.  Safety: an arbitrary format and an arbitrary
// argument array (any tags, including ones outside the enumeration) must
// give a NUL-terminated buffer whose length the return value states.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "eklogger/platform/runtime.h"
#include "fuzz_input.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& format, const std::string& got,
                       const std::string& expected) {
  std::fprintf(stderr,
               "printf_fuzz: %s\n  format:   \"%s\"\n  got:      \"%s\"\n  expected: \"%s\"\n",
               what, format.c_str(), got.c_str(), expected.c_str());
  std::abort();
}

std::string run(const std::string& format, const nxPrintfArgVal* args, int* result) {
  NxStringBuff buffer = {nullptr, 0, 0};
  *result = NxStringBuffPrintfA(nullptr, &buffer, format.c_str(), args);
  if (buffer.text != nullptr && buffer.text[buffer.length] != '\0') {
    fail("buffer not NUL-terminated", format, "", "");
  }
  if (*result >= 0 && static_cast<std::size_t>(*result) != buffer.length) {
    fail("result is not the length appended", format, "", "");
  }
  std::string text(buffer.text != nullptr ? buffer.text : "", buffer.length);
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
  return text;
}

// One conversion of a valid format: its class decides the argument type.
enum class Kind { kSigned, kUnsigned, kChar, kDouble, kString, kPointer };

struct Piece {
  std::string literal;  // text before the conversion, without "%"
  Kind kind;
  std::string flags, width, precision, conversion;
  int argument;  // index into the argument array
};

const char* const kLengths[] = {"", "l", "ll", "j", "z", "t"};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
std::string snprintf_one(const std::string& format, T value) {
  const int size = std::snprintf(nullptr, 0, format.c_str(), value);
  if (size < 0) return "<?>";
  std::string out(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(out.data(), out.size(), format.c_str(), value);
  out.resize(static_cast<std::size_t>(size));
  return out;
}
#pragma GCC diagnostic pop

void differential(fuzz::FuzzInput& in) {
  const bool positional = in.byte() & 1;
  const int piece_count = static_cast<int>(in.below(6)) + 1;
  std::vector<Piece> pieces;
  std::vector<nxPrintfArgVal> args;
  std::vector<std::string> strings;  // the string arguments' texts
  strings.reserve(8);
  for (int i = 0; i < piece_count; ++i) {
    Piece piece;
    for (char c : in.field(16)) {
      if (c != '%' && c != '\0') piece.literal += c;
    }
    piece.kind = static_cast<Kind>(in.below(6));
    const std::uint8_t flag_bits = in.byte();
    const char* const flag_chars = "-+ #0";
    for (int bit = 0; bit < 5; ++bit) {
      if (flag_bits & (1 << bit)) piece.flags += flag_chars[bit];
    }
    if (in.byte() & 1) piece.width = std::to_string(in.below(64));
    if (piece.width == "0") piece.width.clear();  // "0" is the flag, not a width
    if (in.byte() & 1) piece.precision = "." + std::to_string(in.below(40));
    nxPrintfArgVal arg{};
    switch (piece.kind) {
      case Kind::kSigned:
        piece.conversion = in.byte() & 1 ? "d" : "i";
        arg.type = NX_ARG_INT;
        arg.value.i = static_cast<long long>(in.u64());
        break;
      case Kind::kUnsigned:
        piece.conversion = std::string(1, "ouxX"[in.below(4)]);
        arg.type = NX_ARG_UINT;
        arg.value.u = in.u64();
        break;
      case Kind::kChar:
        piece.conversion = "c";
        piece.precision.clear();
        piece.flags.clear();
        arg.type = NX_ARG_CHAR;
        arg.value.c = in.byte();
        break;
      case Kind::kDouble: {
        piece.conversion = std::string(1, "fFeEgGaA"[in.below(8)]);
        arg.type = NX_ARG_DOUBLE;
        const std::uint64_t bits = in.u64();
        std::memcpy(&arg.value.d, &bits, sizeof bits);
        break;
      }
      case Kind::kString: {
        piece.conversion = "s";
        piece.flags.clear();
        arg.type = NX_ARG_STRING;
        std::string text;
        for (char c : in.field(64)) {
          if (c != '\0') text += c;
        }
        strings.push_back(text);
        arg.value.s = strings.back().c_str();
        break;
      }
      case Kind::kPointer:
        piece.conversion = "p";
        piece.precision.clear();
        for (char unwanted : std::string("+ #0")) {
          const auto at = piece.flags.find(unwanted);
          if (at != std::string::npos) piece.flags.erase(at, 1);
        }
        arg.type = NX_ARG_POINTER;
        arg.value.p = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(in.u64()));
        break;
    }
    piece.argument = static_cast<int>(args.size());
    args.push_back(arg);
    pieces.push_back(piece);
  }
  // By position, the conversions may name their arguments in any order.
  if (positional) {
    for (std::size_t i = pieces.size(); i > 1; --i) {
      std::swap(pieces[i - 1], pieces[in.below(static_cast<std::uint32_t>(i))]);
    }
  }
  nxPrintfArgVal end{};
  end.type = NX_ARG_END;
  args.push_back(end);

  std::string format, expected;
  for (const Piece& piece : pieces) {
    const nxPrintfArgVal& arg = args[static_cast<std::size_t>(piece.argument)];
    const bool integer = piece.kind == Kind::kSigned || piece.kind == Kind::kUnsigned;
    const std::string length = integer ? kLengths[in.below(6)] : "";
    format += piece.literal + "%";
    if (positional) format += std::to_string(piece.argument + 1) + "$";
    format += piece.flags + piece.width + piece.precision + length + piece.conversion;
    expected += piece.literal;
    const std::string single = "%" + piece.flags + piece.width + piece.precision +
                               (integer ? "ll" : "") + piece.conversion;
    switch (piece.kind) {
      case Kind::kSigned:
        expected += snprintf_one(single, arg.value.i);
        break;
      case Kind::kUnsigned:
        expected += snprintf_one(single, arg.value.u);
        break;
      case Kind::kChar:
        expected += snprintf_one(single, arg.value.c);
        break;
      case Kind::kDouble:
        expected += snprintf_one(single, arg.value.d);
        break;
      case Kind::kString:
        expected += snprintf_one(single, arg.value.s);
        break;
      case Kind::kPointer:
        expected += snprintf_one(single, arg.value.p);
        break;
    }
  }
  if (in.byte() & 1) {
    format += "%%";
    expected += "%";
  }
  int result = 0;
  const std::string got = run(format, args.data(), &result);
  if (result < 0) fail("valid format refused", format, "", expected);
  if (got != expected) fail("differs from snprintf", format, got, expected);
}

void safety(fuzz::FuzzInput& in) {
  const std::string format_bytes = in.field(512);
  const std::string format(format_bytes.c_str());  // up to its first NUL
  std::vector<std::string> strings;
  strings.reserve(16);
  std::vector<nxPrintfArgVal> args;
  const int count = static_cast<int>(in.below(16));
  for (int i = 0; i < count; ++i) {
    nxPrintfArgVal arg{};
    const std::uint8_t tag = in.byte();
    // Mostly real tags; sometimes a value outside the enumeration.
    const int type = tag < 240 ? 1 + tag % 6 : tag;
    std::memcpy(&arg.type, &type, sizeof type);
    if (type == NX_ARG_STRING) {
      if (in.byte() & 1) {
        strings.push_back(in.field(64));
        arg.value.s = strings.back().c_str();
      } else {
        arg.value.s = nullptr;
      }
    } else {
      arg.value.u = in.u64();
    }
    args.push_back(arg);
  }
  nxPrintfArgVal end{};
  end.type = NX_ARG_END;
  args.push_back(end);
  int result = 0;
  run(format, args.data(), &result);
  if (result < 0) fail("a format was refused", format, "", "");
  run(format, nullptr, &result);
  if (result < 0) fail("a format without arguments was refused", format, "", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  if (in.byte() & 1) {
    differential(in);
  } else {
    safety(in);
  }
  return 0;
}

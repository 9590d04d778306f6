#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "eklogger/platform/runtime.h"

namespace {

nxPrintfArgVal int_arg(long long value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_INT;
  arg.value.i = value;
  return arg;
}

const nxPrintfArgVal kNoArgs[] = {{NX_ARG_END, {0}}};

TEST(StringBufferTest, EmptyBufferGivesAnEmptyFreeableText) {
  NxStringBuff buffer = {nullptr, 0, 0};
  char* text = NxStringBuffTakeStr(&buffer);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  OruMemoryFree(text);
  EXPECT_EQ(NxStringBuffTakeStr(nullptr), nullptr);
}

TEST(StringBufferTest, TakeHandsOverTheTextAndEmptiesTheBuffer) {
  NxStringBuff buffer = {nullptr, 0, 0};
  ASSERT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "first", kNoArgs), 5);
  char* first = NxStringBuffTakeStr(&buffer);
  EXPECT_EQ(buffer.text, nullptr);
  EXPECT_EQ(buffer.length, 0u);
  EXPECT_EQ(buffer.capacity, 0u);

  ASSERT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "second", kNoArgs), 6);
  char* second = NxStringBuffTakeStr(&buffer);
  EXPECT_STREQ(first, "first");
  EXPECT_STREQ(second, "second");
  OruMemoryFree(first);
  OruMemoryFree(second);
}

TEST(StringBufferTest, GrowsAcrossManyAppendsAndStaysTerminated) {
  NxStringBuff buffer = {nullptr, 0, 0};
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    const nxPrintfArgVal args[] = {int_arg(i), {NX_ARG_END, {0}}};
    const int appended = NxStringBuffPrintfA(nullptr, &buffer, "<%d>", args);
    const std::string piece = "<" + std::to_string(i) + ">";
    ASSERT_EQ(appended, static_cast<int>(piece.size()));
    expected += piece;
    ASSERT_EQ(buffer.length, expected.size());
    ASSERT_LT(buffer.length, buffer.capacity);
    ASSERT_EQ(buffer.text[buffer.length], '\0');
  }
  char* text = NxStringBuffTakeStr(&buffer);
  EXPECT_EQ(text, expected);
  OruMemoryFree(text);
}

TEST(StringBufferTest, NullBufferOrFormatFailsAndChangesNothing) {
  NxStringBuff buffer = {nullptr, 0, 0};
  EXPECT_EQ(NxStringBuffPrintfA(nullptr, nullptr, "x", kNoArgs), -1);
  EXPECT_EQ(NxStringBuffPrintfA(nullptr, &buffer, nullptr, kNoArgs), -1);
  EXPECT_EQ(buffer.text, nullptr);

  ASSERT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "kept", kNoArgs), 4);
  EXPECT_EQ(NxStringBuffPrintfA(nullptr, &buffer, nullptr, kNoArgs), -1);
  EXPECT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "", kNoArgs), 0);
  char* text = NxStringBuffTakeStr(&buffer);
  EXPECT_STREQ(text, "kept");
  OruMemoryFree(text);
}

}  // namespace

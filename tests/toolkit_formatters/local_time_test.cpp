// Local ISO 8601 times under fixed POSIX time zones (no zoneinfo files
// needed).  Each case uses its own second: the per-second cache notices a
// new zone only at the next second, and the formatter tests use
// kSampleTimeUs itself.
#include "toolkit/formatters/local_time.h"

#include <gtest/gtest.h>

#include <climits>

#include "formatter_test_support.h"

namespace gw::formatting {
namespace {

using gw::testing::kSampleTimeUs;
using gw::testing::use_time_zone;

std::string local_time(std::int64_t time_us) {
  char text[kLocalTimeLength];
  char* const end = write_local_time(text, time_us);
  EXPECT_EQ(end, text + kLocalTimeLength);
  return std::string(text, end);
}

constexpr std::int64_t kSecond = 1'000'000;

TEST(LocalTimeTest, OffsetsAndDaylightSavingTime) {
  use_time_zone("XST-5:45");
  EXPECT_EQ(local_time(kSampleTimeUs + 1 * kSecond), "2026-12-08T16:27:08.123456+05:45");
  use_time_zone("ABC+3:30");
  EXPECT_EQ(local_time(kSampleTimeUs + 2 * kSecond), "2026-12-08T07:12:09.123456-03:30");
  use_time_zone("LMT-0:09:21");  // seconds in the offset: cut, and the time agrees
  EXPECT_EQ(local_time(kSampleTimeUs + 3 * kSecond), "2026-12-08T10:51:10.123456+00:09");
  use_time_zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(local_time(kSampleTimeUs + 4 * kSecond), "2026-12-08T11:42:11.123456+01:00");
  // 2026-03-29T01:00:00Z starts summer time.
  EXPECT_EQ(local_time(1774746000 * kSecond - 1), "2026-03-29T01:59:59.999999+01:00");
  EXPECT_EQ(local_time(1774746000 * kSecond), "2026-03-29T03:00:00.000000+02:00");
}

TEST(LocalTimeTest, MicrosecondsAroundTheEpochAndClampedExtremes) {
  use_time_zone("UTC0");
  EXPECT_EQ(local_time(7), "1970-01-01T00:00:00.000007+00:00");
  EXPECT_EQ(local_time(kSecond), "1970-01-01T00:00:01.000000+00:00");
  EXPECT_EQ(local_time(kSecond + 123456), "1970-01-01T00:00:01.123456+00:00");
  EXPECT_EQ(local_time(-1), "1969-12-31T23:59:59.999999+00:00");
  EXPECT_EQ(local_time(-kSecond), "1969-12-31T23:59:59.000000+00:00");
  EXPECT_EQ(local_time(INT64_MIN), "0001-01-02T00:00:00.000000+00:00");
  EXPECT_EQ(local_time(INT64_MAX), "9999-12-30T23:59:59.999999+00:00");
}

TEST(LocalTimeTest, NewZoneSeenFromTheNextSecond) {
  use_time_zone("UTC0");
  EXPECT_EQ(local_time(kSampleTimeUs + 10 * kSecond), "2026-12-08T10:42:17.123456+00:00");
  use_time_zone("XST-5:45");
  EXPECT_EQ(local_time(kSampleTimeUs + 10 * kSecond + 1), "2026-12-08T10:42:17.123457+00:00");
  EXPECT_EQ(local_time(kSampleTimeUs + 11 * kSecond), "2026-12-08T16:27:18.123456+05:45");
}

}  // namespace
}  // namespace gw::formatting

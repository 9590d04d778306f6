// Local ISO 8601 times under fixed time zones (POSIX TZ values, so no
// zoneinfo files are needed).  Each case uses its own second, since the
// per-second cache only notices a new zone at the next second, and the
// tests of the formatters write kSampleTimeUs itself.
#include "local_time.h"

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "formatter_test_support.h"

namespace gw::formatting {
namespace {

using gw::testing::kSampleTimeUs;
using gw::testing::use_time_zone;

std::string local_time(std::int64_t time_us) {
  std::string out;
  append_local_time(time_us, out);
  return out;
}

TEST(LocalTimeTest, OffsetsEastWestAndWithMinutes) {
  use_time_zone("UTC0");
  EXPECT_EQ(local_time(kSampleTimeUs + 10'000'000), "2026-12-08T10:42:17.123456+00:00");
  use_time_zone("XST-5:45");
  EXPECT_EQ(local_time(kSampleTimeUs + 11'000'000), "2026-12-08T16:27:18.123456+05:45");
  use_time_zone("ABC+3:30");
  EXPECT_EQ(local_time(kSampleTimeUs + 12'000'000), "2026-12-08T07:12:19.123456-03:30");
}

TEST(LocalTimeTest, DaylightSavingTimeFollowsTheDate) {
  use_time_zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(local_time(kSampleTimeUs + 20'000'000), "2026-12-08T11:42:27.123456+01:00");
  EXPECT_EQ(local_time(1783000000'000001), "2026-07-02T15:46:40.000001+02:00");
  // 2026-03-29 01:00:00Z, the first second of summer time, and the one before.
  EXPECT_EQ(local_time(1774746000'000000), "2026-03-29T03:00:00.000000+02:00");
  EXPECT_EQ(local_time(1774745999'999999), "2026-03-29T01:59:59.999999+01:00");
}

TEST(LocalTimeTest, MicrosecondsZeroPaddedAndFloorDividedBeforeTheEpoch) {
  use_time_zone("UTC0");
  EXPECT_EQ(local_time(7), "1970-01-01T00:00:00.000007+00:00");
  EXPECT_EQ(local_time(999'999), "1970-01-01T00:00:00.999999+00:00");
  EXPECT_EQ(local_time(1'000'000), "1970-01-01T00:00:01.000000+00:00");
  EXPECT_EQ(local_time(-1), "1969-12-31T23:59:59.999999+00:00");
  EXPECT_EQ(local_time(-1'000'000), "1969-12-31T23:59:59.000000+00:00");
}

TEST(LocalTimeTest, OutOfRangeTimesClampedToFourDigitYears) {
  use_time_zone("XST-5:45");
  EXPECT_EQ(local_time(INT64_MIN), "0001-01-02T05:45:00.000000+05:45");
  EXPECT_EQ(local_time(INT64_MAX), "9999-12-31T05:44:59.999999+05:45");
}

TEST(LocalTimeTest, OffsetWithSecondsCutToTheMinuteConsistently) {
  // Like a historic local mean time: the offset shown and the local time
  // shown must still add up to the same instant.
  use_time_zone("LMT-0:09:21");
  EXPECT_EQ(local_time(kSampleTimeUs + 30'000'000), "2026-12-08T10:51:37.123456+00:09");
}

TEST(LocalTimeTest, NewZoneSeenFromTheNextSecond) {
  use_time_zone("UTC0");
  EXPECT_EQ(local_time(kSampleTimeUs + 40'000'000), "2026-12-08T10:42:47.123456+00:00");
  use_time_zone("XST-5:45");
  EXPECT_EQ(local_time(kSampleTimeUs + 40'000'001), "2026-12-08T10:42:47.123457+00:00");  // same second
  EXPECT_EQ(local_time(kSampleTimeUs + 41'000'000), "2026-12-08T16:27:48.123456+05:45");
}

// Threads that alternate between seconds never see each other's second.
TEST(LocalTimeTest, ThreadsKeepTheirOwnSecond) {
  use_time_zone("UTC0");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      const std::int64_t mine = (kSampleTimeUs / 1'000'000 + t * 3600) * 1'000'000;
      const std::string expected_mine = local_time(mine);
      const std::string expected_next = local_time(mine + 1'000'000);
      for (int i = 0; i < 2000; ++i) {
        const bool odd = (i % 2) != 0;
        if (local_time(odd ? mine + 1'000'000 : mine) != (odd ? expected_next : expected_mine)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(local_time(kSampleTimeUs / 1'000'000 * 1'000'000 + 3 * 3600'000'000LL),
            "2026-12-08T13:42:07.000000+00:00");
}

}  // namespace
}  // namespace gw::formatting

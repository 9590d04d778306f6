#include "toolkit/formatters/local_time.h"

#include <time.h>

#include <cstring>
#include <limits>

namespace gw::formatting {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
// 0001-01-02T00:00:00Z and 9999-12-30T23:59:59Z: a day inside the years a
// four-digit ISO 8601 year can show, whatever the offset.
constexpr std::int64_t kFirstSecond = -62135596800 + 86400;
constexpr std::int64_t kLastSecond = 253402300799 - 86400;

constexpr std::size_t kDateTimeLength = 19;  // YYYY-MM-DDTHH:MM:SS
constexpr std::size_t kOffsetLength = 6;     // +HH:MM
static_assert(kDateTimeLength + 7 + kOffsetLength == kLocalTimeLength);

struct SecondCache {
  std::int64_t second = std::numeric_limits<std::int64_t>::min();
  char date_time[kDateTimeLength];
  char offset[kOffsetLength];
};

// Per thread, so no lock; each thread pays the time-zone lookup once per
// second it writes in.
thread_local SecondCache t_cache;

void put_digits(char* at, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

void fill_cache(SecondCache& cache, std::int64_t second) {
  const auto when = static_cast<time_t>(second);
  long offset_seconds = 0;
  struct tm local;
  if (localtime_r(&when, &local) != nullptr) offset_seconds = local.tm_gmtoff;
  offset_seconds -= offset_seconds % 60;  // toward zero: ISO shows minutes

  // The civil time at that offset, so the text and its offset agree exactly.
  const auto shifted = static_cast<time_t>(second + offset_seconds);
  struct tm civil;
  if (gmtime_r(&shifted, &civil) == nullptr) std::memset(&civil, 0, sizeof civil);

  char* text = cache.date_time;
  put_digits(text, civil.tm_year + 1900, 4);
  text[4] = '-';
  put_digits(text + 5, civil.tm_mon + 1, 2);
  text[7] = '-';
  put_digits(text + 8, civil.tm_mday, 2);
  text[10] = 'T';
  put_digits(text + 11, civil.tm_hour, 2);
  text[13] = ':';
  put_digits(text + 14, civil.tm_min, 2);
  text[16] = ':';
  put_digits(text + 17, civil.tm_sec, 2);

  const long offset_minutes = offset_seconds < 0 ? -offset_seconds / 60 : offset_seconds / 60;
  cache.offset[0] = offset_seconds < 0 ? '-' : '+';
  put_digits(cache.offset + 1, static_cast<int>(offset_minutes / 60 % 100), 2);
  cache.offset[3] = ':';
  put_digits(cache.offset + 4, static_cast<int>(offset_minutes % 60), 2);

  cache.second = second;
}

}  // namespace

char* write_local_time(char* at, std::int64_t time_us) {
  // Floor division: a time before the epoch still has 0..999999 microseconds.
  std::int64_t second = time_us / kMicrosPerSecond;
  std::int64_t micros = time_us % kMicrosPerSecond;
  if (micros < 0) {
    micros += kMicrosPerSecond;
    --second;
  }
  if (second < kFirstSecond) {
    second = kFirstSecond;
    micros = 0;
  } else if (second > kLastSecond) {
    second = kLastSecond;
    micros = kMicrosPerSecond - 1;
  }

  SecondCache& cache = t_cache;
  if (cache.second != second) fill_cache(cache, second);

  std::memcpy(at, cache.date_time, kDateTimeLength);
  at += kDateTimeLength;
  *at++ = '.';
  put_digits(at, static_cast<int>(micros), 6);
  at += 6;
  std::memcpy(at, cache.offset, kOffsetLength);
  return at + kOffsetLength;
}

}  // namespace gw::formatting

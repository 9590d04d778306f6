// Local time of a record as ISO 8601 with microseconds and UTC offset, e.g.
// 2026-12-08T11:42:07.123456+01:00.
//
// The date, time of day and offset of the current second are cached per
// thread, so the time zone is consulted (localtime_r, which may stat
// /etc/localtime when TZ is unset) at most once per distinct second and
// thread.  Safe from any number of threads.
#ifndef EKLOGGER_TOOLKIT_FORMATTERS_LOCAL_TIME_H_
#define EKLOGGER_TOOLKIT_FORMATTERS_LOCAL_TIME_H_

#include <cstddef>
#include <cstdint>

namespace gw::formatting {

// Writes the local time of time_us (microseconds since the epoch, UTC),
// exactly kLocalTimeLength bytes at at, and returns their end.
// Times before 0001-01-02 or after 9999-12-30 UTC are written as those
// bounds, so the text always has a four-digit year.  The offset is whole
// minutes (historic offsets with seconds are cut to the minute, and the
// local time shown agrees with it).  A change of time zone is seen from the
// next distinct second on.
inline constexpr std::size_t kLocalTimeLength = 32;
char* write_local_time(char* at, std::int64_t time_us);

}  // namespace gw::formatting

#endif  // EKLOGGER_TOOLKIT_FORMATTERS_LOCAL_TIME_H_

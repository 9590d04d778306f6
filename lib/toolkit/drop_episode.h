// An episode of records that a sink without a file drops (syslog, the
// journal): its first drop is reported with the reason, its end with the
// number dropped, so a daemon that is away costs one line each way, never
// a line per record.  Safe from any thread.
#ifndef EKLOGGER_TOOLKIT_DROP_EPISODE_H_
#define EKLOGGER_TOOLKIT_DROP_EPISODE_H_

#include <atomic>
#include <cstdint>

namespace gw {

class DropEpisode {
 public:
  // Counts a drop; true for the first of an episode, which the caller
  // reports.
  bool drop() {
    drops_.fetch_add(1, std::memory_order_relaxed);
    return !failing_.load(std::memory_order_relaxed) && !failing_.exchange(true);
  }
  // After a record got through: true when that ended an episode, with the
  // number it dropped in dropped.
  bool end(std::uint64_t& dropped) {
    if (!failing_.load(std::memory_order_relaxed) || !failing_.exchange(false)) return false;
    dropped = drops_.exchange(0);
    return true;
  }

 private:
  std::atomic<bool> failing_{false};  // an episode is under way, reported
  std::atomic<std::uint64_t> drops_{0};
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_DROP_EPISODE_H_

// Re-reading the configuration file by itself (toolkit.reloadInterval): the
// watcher thread (config_watcher.h) and what it does at each look.  Members
// of Toolkit (toolkit_state.h).  A look takes config_mutex_, as
// GwOpenToolkit does, and re-reads through the same read_config_locked, so
// that a change applies as one swap.
#include <cerrno>
#include <ctime>

#include "toolkit/diagnostics.h"
#include "toolkit/fork_handlers.h"
#include "toolkit/os.h"
#include "toolkit/toolkit_state.h"

namespace gw {

namespace {

// A file written less than this long ago may still be being written: it is
// re-read once it has stayed unchanged so long.
constexpr std::chrono::milliseconds kSettleTime{1000};
// The shortest wait before looking again at an unsettled file.
constexpr std::chrono::milliseconds kShortestWait{20};

// Under ThreadSanitizer a forked child does not watch (fork_handlers.h).
constexpr bool kWatchInForkedChild = !kUnderThreadSanitizer;

ConfigWatcher::Wait seconds(unsigned long long interval) {
  return std::chrono::duration_cast<ConfigWatcher::Wait>(std::chrono::seconds(interval));
}

// How long ago the file was modified by the real-time clock, which its
// times follow; negative for a time in the future.
std::chrono::nanoseconds modified_ago(const FileIdentity& identity) {
  timespec now{};
  os().clock_gettime(CLOCK_REALTIME, &now);
  return std::chrono::seconds(now.tv_sec - identity.modified.tv_sec) +
         std::chrono::nanoseconds(now.tv_nsec - identity.modified.tv_nsec);
}

}  // namespace

void Toolkit::watch_locked(unsigned long long interval) {
  reload_interval_ = interval;
  if (interval == 0) {
    if (watcher_ != nullptr) watcher_->stop();
    watcher_.reset();
    return;
  }
  if (watcher_ != nullptr) {
    watcher_->set_interval(seconds(interval));
    return;
  }
  std::string reason;
  watcher_ = ConfigWatcher::start(
      seconds(interval),
      [](const ConfigWatcher& watcher) { return instance().check_watched_file(watcher); }, reason);
  if (watcher_ == nullptr) {
    report("cannot start the thread that re-reads " + watched_path_ + ": " + reason +
           ": it is read only when the process opens the toolkit again");
  }
}

std::optional<ConfigWatcher::Wait> Toolkit::check_watched_file(const ConfigWatcher& watcher) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  if (watcher_.get() != &watcher || watcher.stopped()) return std::nullopt;
  const ConfigWatcher::Wait interval = watcher.interval();
  struct stat status;
  const FileIdentity now = os().stat(watched_path_.c_str(), &status) == 0
                               ? FileIdentity::of(status)
                               : FileIdentity::missing(errno);
  if (now == read_identity_) {
    unsettled_.reset();
    return interval;
  }
  // Settled: written a second ago or more, or seen unchanged for a second
  // (a time in the future; a file gone, perhaps for a moment while an
  // editor replaces it).
  const auto steady_now = std::chrono::steady_clock::now();
  const std::chrono::nanoseconds ago =
      now.error == 0 ? modified_ago(now) : std::chrono::nanoseconds::zero();
  const bool settled =
      (now.error == 0 && ago >= kSettleTime) ||
      (unsettled_ && *unsettled_ == now && steady_now - unsettled_since_ >= kSettleTime);
  if (!settled) {
    if (!unsettled_ || *unsettled_ != now) {
      unsettled_ = now;
      unsettled_since_ = steady_now;
    }
    auto wait = std::chrono::duration_cast<ConfigWatcher::Wait>(kSettleTime - ago) + kShortestWait;
    if (wait > kSettleTime || wait < kShortestWait) wait = kSettleTime;
    return wait;
  }
  unsettled_.reset();
  const std::string path = watched_path_;
  read_config_locked(path.c_str(), Reading::kWatched);
  // The file may have set another interval, or none.
  if (watcher_.get() != &watcher) return std::nullopt;
  return watcher.interval();
}

void Toolkit::restart_watcher_in_child() {
  std::lock_guard<std::mutex> lock(config_mutex_);
  if (watcher_ == nullptr) return;
  // The parent's watcher has no thread here, and its lock may have been
  // held by it at the fork: left alone, never freed.
  new std::shared_ptr<ConfigWatcher>(std::move(watcher_));
  unsettled_.reset();
  if (kWatchInForkedChild) watch_locked(reload_interval_);
}

}  // namespace gw

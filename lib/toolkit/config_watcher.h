// The thread that looks at the configuration file once an interval, so that
// a process notices an edited or replaced eklogger.properties by itself.  It
// is detached: it keeps no process from exiting, and nothing joins it; it
// ends at its next wake once stopped (at once when it is waiting).  Shared
// by its thread and its owner, which keeps it until it stops it.  Every
// member is safe from any thread.
#ifndef EKLOGGER_TOOLKIT_CONFIG_WATCHER_H_
#define EKLOGGER_TOOLKIT_CONFIG_WATCHER_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace gw {

// Which file a path names and whether it changed, as stat(2) tells: a file
// replaced by rename has another inode, one edited in place another size or
// modification time.  error is the stat's errno when there is no file.
struct FileIdentity {
  int error = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  static FileIdentity of(const struct stat& status);
  static FileIdentity missing(int error_number);
  bool operator==(const FileIdentity& other) const;
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

class ConfigWatcher {
 public:
  using Wait = std::chrono::milliseconds;
  // Called on the thread after each wait: the wait before the next call, or
  // nullopt to end the thread.
  using Check = std::function<std::optional<Wait>(const ConfigWatcher&)>;

  // A watcher whose thread runs check after each wait, the first after
  // interval; null, with the reason, when no thread could be started.  The
  // thread takes no signals.
  static std::shared_ptr<ConfigWatcher> start(Wait interval, Check check, std::string& reason);

  ConfigWatcher(Wait interval, Check check) : interval_(interval), check_(std::move(check)) {}
  ConfigWatcher(const ConfigWatcher&) = delete;
  ConfigWatcher& operator=(const ConfigWatcher&) = delete;

  // A new interval; the waiting thread checks at once, then waits that.
  void set_interval(Wait interval);
  Wait interval() const;
  // The thread runs check no more.
  void stop();
  bool stopped() const;

 private:
  static void run(std::shared_ptr<ConfigWatcher> self);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Wait interval_;         // guarded by mutex_
  bool woken_ = false;    // guarded by mutex_: check before the wait ends
  bool stopped_ = false;  // guarded by mutex_
  const Check check_;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_CONFIG_WATCHER_H_

#include "toolkit/config_watcher.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>

namespace gw {

FileIdentity FileIdentity::of(const struct stat& status) {
  FileIdentity identity;
  identity.device = status.st_dev;
  identity.inode = status.st_ino;
  identity.size = status.st_size;
  identity.modified = status.st_mtim;
  return identity;
}

FileIdentity FileIdentity::missing(int error_number) {
  FileIdentity identity;
  identity.error = error_number;
  return identity;
}

bool FileIdentity::operator==(const FileIdentity& other) const {
  return error == other.error && device == other.device && inode == other.inode &&
         size == other.size && modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec;
}

std::shared_ptr<ConfigWatcher> ConfigWatcher::start(Wait interval, Check check,
                                                    std::string& reason) {
  auto watcher = std::make_shared<ConfigWatcher>(interval, std::move(check));
  // Signals go to the process's own threads: the new thread inherits a mask
  // that blocks them all.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    std::thread(run, watcher).detach();
  } catch (const std::system_error& error) {
    reason = error.what();
    watcher.reset();
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return watcher;
}

void ConfigWatcher::set_interval(Wait interval) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (interval == interval_) return;
    interval_ = interval;
    woken_ = true;
  }
  wake_.notify_all();
}

ConfigWatcher::Wait ConfigWatcher::interval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interval_;
}

void ConfigWatcher::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_all();
}

bool ConfigWatcher::stopped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopped_;
}

void ConfigWatcher::run(std::shared_ptr<ConfigWatcher> self) {
  Wait wait = self->interval();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(self->mutex_);
      const auto deadline = std::chrono::steady_clock::now() + wait;
      self->wake_.wait_until(lock, deadline, [&] { return self->stopped_ || self->woken_; });
      if (self->stopped_) return;
      self->woken_ = false;
    }
    const std::optional<Wait> next = self->check_(*self);
    if (!next) return;
    wait = *next;
  }
}

}  // namespace gw

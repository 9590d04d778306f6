#include "toolkit/syslog/syslog_sink.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "toolkit/clock.h"
#include "toolkit/diagnostics.h"
#include "toolkit/fork_handlers.h"
#include "toolkit/identifiers.h"
#include "toolkit/os.h"
#include "toolkit/syslog/rfc5424.h"

namespace gw {

namespace {

constexpr std::size_t kKeptDatagramCapacity = kSyslogMaxMessageSize + 1024;

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The peer socket is gone or was never there: worth connecting again.
bool daemon_lost(int error) {
  return error == ECONNREFUSED || error == ENOTCONN || error == ECONNRESET || error == EPIPE ||
         error == ENOENT || error == EDESTADDRREQ;
}

bool parse_size(std::string_view text, std::size_t& size) {
  if (text.empty() || text.size() > 9 || !all_digits(text)) return false;
  size = static_cast<std::size_t>(std::strtoul(std::string(text).c_str(), nullptr, 10));
  return size >= kSyslogMinMessageSize && size <= kSyslogMaxMessageSize;
}

}  // namespace

bool is_syslog_property(std::string_view property) {
  return property == "socketPath" || property == "facility" || property == "appName" ||
         property == "maxMessageSize";
}

std::string check_syslog_property(std::string_view property, std::string_view value) {
  const std::string quoted = "\"" + std::string(value) + "\"";
  if (property == "socketPath") {
    if (value.empty()) return "no socket path given";
    if (value.size() >= sizeof(sockaddr_un::sun_path)) {
      return "a socket path is at most " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
             " bytes long: " + quoted;
    }
    if (value.find('\0') != std::string_view::npos) return "a NUL in the socket path";
  } else if (property == "facility") {
    if (syslog_facility(value) < 0) {
      return "unknown facility " + quoted +
             " (kern, user, mail, daemon, auth, syslog, lpr, news, uucp, cron, authpriv, ftp, "
             "local0 ... local7)";
    }
  } else if (property == "maxMessageSize") {
    std::size_t size = 0;
    if (!parse_size(value, size)) {
      return "not a decimal number of bytes from " + std::to_string(kSyslogMinMessageSize) +
             " to " + std::to_string(kSyslogMaxMessageSize) + ": " + quoted;
    }
  }
  return {};
}

SyslogSettings syslog_settings(
    const std::function<std::optional<std::string_view>(std::string_view)>& value) {
  SyslogSettings settings;
  if (const auto path = value("socketPath")) {
    if (check_syslog_property("socketPath", *path).empty()) settings.socket_path = *path;
  }
  if (const auto facility = value("facility")) {
    const int number = syslog_facility(*facility);
    if (number >= 0) settings.facility = number;
  }
  if (const auto app_name = value("appName")) settings.app_name = *app_name;
  if (const auto size = value("maxMessageSize")) {
    std::size_t parsed = 0;
    if (parse_size(*size, parsed)) settings.max_message_size = parsed;
  }
  return settings;
}

std::string_view undecorated_product(std::string_view product) {
  for (std::string_view label : {std::string_view(" tid="), std::string_view(" pid=")}) {
    const std::size_t at = product.rfind(label);
    if (at != std::string_view::npos && all_digits(product.substr(at + label.size()))) {
      product = product.substr(0, at);
    }
  }
  return product;
}

SyslogSink::SyslogSink(std::string owner, SyslogSettings settings)
    : owner_(std::move(owner)), settings_(std::move(settings)) {
  hold_across_fork(connect_mutex_);  // else a child could never connect again
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) == 0) hostname_ = name;
  fd_ = os().socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    report(owner_ + ": cannot make a socket: " + error_text(errno) + ": records are dropped");
  }
}

SyslogSink::~SyslogSink() {
  withdraw_from_fork(connect_mutex_);
  if (fd_ >= 0) os().close(fd_);
}

bool SyslogSink::write(std::string_view, const char*) { return false; }

bool SyslogSink::write_record(const Record& record, std::string_view text, const char*,
                              const char*) {
  thread_local std::string datagram;
  SyslogHeader header;
  header.facility = settings_.facility;
  header.hostname = hostname_;
  header.app_name =
      settings_.app_name.empty() ? undecorated_product(record.product) : settings_.app_name;
  header.process_id = static_cast<std::uint64_t>(process_id());
  header.thread_id = static_cast<std::uint64_t>(thread_id());
  build_syslog_message(record, header, text, settings_.max_message_size, datagram);
  const bool sent = send_datagram(datagram);
  if (datagram.capacity() > kKeptDatagramCapacity) {
    datagram.clear();
    datagram.shrink_to_fit();
  }
  return sent;
}

bool SyslogSink::send_datagram(const std::string& datagram) {
  if (fd_ < 0) return false;
  if (!connected_.load(std::memory_order_acquire) && !reconnect_if_due()) {
    note_drop(connect_error_.load(std::memory_order_relaxed));
    return false;
  }
  for (int attempt = 0;; ++attempt) {
    const ssize_t sent =
        os().send(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) break;
    const int error = errno;
    if (error == EINTR) continue;
    // A daemon that restarted has a new socket under the same path: the
    // record goes there when reconnecting is due now.
    if (daemon_lost(error)) {
      connected_.store(false, std::memory_order_release);
      if (attempt == 0 && reconnect_if_due()) continue;
    }
    note_drop(error);
    return false;
  }
  std::uint64_t dropped = 0;
  if (drops_.end(dropped)) {
    report(owner_ + ": " + settings_.socket_path + " takes records again; " +
           std::to_string(dropped) + " were dropped");
  }
  return true;
}

bool SyslogSink::reconnect_if_due() {
  const std::int64_t now = monotonic_ms();
  if (now < next_attempt_ms_.load(std::memory_order_relaxed)) return false;
  std::unique_lock<std::mutex> lock(connect_mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return false;  // another thread is connecting
  if (connected_.load(std::memory_order_acquire)) return true;
  if (now < next_attempt_ms_.load(std::memory_order_relaxed)) return false;
  next_attempt_ms_.store(now + kSyslogRetryIntervalMs, std::memory_order_relaxed);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, settings_.socket_path.data(),
              std::min(settings_.socket_path.size(), sizeof address.sun_path - 1));
  if (os().connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    connect_error_.store(errno, std::memory_order_relaxed);
    return false;
  }
  connected_.store(true, std::memory_order_release);
  return true;
}

void SyslogSink::note_drop(int error) {
  if (!drops_.drop()) return;
  std::string reason;
  if (error == EAGAIN || error == EWOULDBLOCK) {
    reason = "the socket is full";
  } else if (daemon_lost(error)) {
    reason = "no syslog daemon receives there (" + error_text(error) + ")";
  } else {
    reason = error_text(error);
  }
  report(owner_ + ": cannot send to " + settings_.socket_path + ": " + reason +
         ": records are dropped until it takes them again");
}

}  // namespace gw

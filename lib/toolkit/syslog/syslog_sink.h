// The syslog handler's output: each record as one RFC 5424 datagram on the
// local syslog daemon's Unix socket.  A record never waits: the socket is
// non-blocking, and a record that cannot be sent (no daemon, socket full)
// is dropped; the sink reconnects by itself, trying at most once a second.
// A SyslogSink is shared by the handler's object and the Worlds that use it,
// and closed when the last of them lets go; write is safe from any thread.
#ifndef EKLOGGER_TOOLKIT_SYSLOG_SYSLOG_SINK_H_
#define EKLOGGER_TOOLKIT_SYSLOG_SYSLOG_SINK_H_

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "toolkit/drop_episode.h"
#include "toolkit/record.h"
#include "toolkit/sink.h"

namespace gw {

constexpr std::size_t kSyslogMinMessageSize = 480;    // what every receiver takes
constexpr std::size_t kSyslogMaxMessageSize = 65536;  // well inside a socket's buffer
constexpr std::int64_t kSyslogRetryIntervalMs = 1000;

struct SyslogSettings {
  std::string socket_path = "/dev/log";
  int facility = 1;                     // user
  std::string app_name;                 // empty: the record's product without " pid=N tid=M"
  std::size_t max_message_size = 8192;  // the whole datagram, in bytes

  bool operator==(const SyslogSettings& other) const {
    return socket_path == other.socket_path && facility == other.facility &&
           app_name == other.app_name && max_message_size == other.max_message_size;
  }
  bool operator!=(const SyslogSettings& other) const { return !(*this == other); }
};

// The handler properties the settings come from.
bool is_syslog_property(std::string_view property);
// What is wrong with a value of one of them; empty when nothing is (or for
// any other property).
std::string check_syslog_property(std::string_view property, std::string_view value);
// The settings from a handler's effective values (value(property) answers
// nullopt when unset); a wrong value gives way to the default.
SyslogSettings syslog_settings(
    const std::function<std::optional<std::string_view>(std::string_view)>& value);

// A product text without the process and thread identifiers the library
// appends for trace records: "srv pid=12 tid=34" -> "srv".
std::string_view undecorated_product(std::string_view product);

class SyslogSink final : public Sink {
 public:
  SyslogSink(std::string owner, SyslogSettings settings);
  ~SyslogSink() override;
  SyslogSink(const SyslogSink&) = delete;
  SyslogSink& operator=(const SyslogSink&) = delete;

  // text is the formatted message part; header is not used.
  bool write_record(const Record& record, std::string_view text, const char* header,
                    const char* trailer) override;
  // Text without its record is dropped (false): a datagram's priority,
  // message identifier and structured data come from the record's fields,
  // and the record path always calls write_record.
  bool write(std::string_view text, const char* header) override;
  const SyslogSettings& settings() const { return settings_; }

 private:
  // One send(2); on a lost daemon one reconnection (when due) and one more.
  bool send_datagram(const std::string& datagram);
  // connect(2) when disconnected and due; never waits for another thread.
  bool reconnect_if_due();
  void note_drop(int error);

  const std::string owner_;  // the handler's name, for reports
  const SyslogSettings settings_;
  std::string hostname_;  // read once
  int fd_ = -1;           // from the constructor to the destructor
  std::atomic<bool> connected_{false};
  std::atomic<std::int64_t> next_attempt_ms_{0};  // monotonic clock
  std::atomic<int> connect_error_{ENOTCONN};      // why the last connect(2) failed
  std::mutex connect_mutex_;                      // only try_lock'ed: serialises connect(2)
  DropEpisode drops_;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_SYSLOG_SYSLOG_SINK_H_

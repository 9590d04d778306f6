// The journal handler's output: each record as one entry of the journal's
// native protocol, one sendmsg(2) of one datagram addressed to the journal's
// socket.  A record never waits: the socket is non-blocking, and a record
// the journal does not take (no daemon, its queue full) is dropped, counted
// and reported once per episode.  Each datagram names the socket's path, so
// a journal that restarted is reached at the next record with no
// reconnection.  An entry larger than a datagram goes, as the protocol
// allows, in a sealed memory file passed over the socket.
// A JournalSink is shared by the handler's object and the Worlds that use
// it, and closed when the last of them lets go; write is safe from any
// thread.
#ifndef EKLOGGER_TOOLKIT_JOURNAL_JOURNAL_SINK_H_
#define EKLOGGER_TOOLKIT_JOURNAL_JOURNAL_SINK_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "toolkit/drop_episode.h"
#include "toolkit/formatters/formatter.h"
#include "toolkit/record.h"
#include "toolkit/sink.h"

namespace gw {

inline constexpr std::string_view kJournalSocketPath = "/run/systemd/journal/socket";

struct JournalSettings {
  std::string socket_path = std::string(kJournalSocketPath);
  std::string app_name;  // SYSLOG_IDENTIFIER; empty: the record's undecorated product
  int facility = -1;     // SYSLOG_FACILITY; -1: not sent

  bool operator==(const JournalSettings& other) const {
    return socket_path == other.socket_path && app_name == other.app_name &&
           facility == other.facility;
  }
  bool operator!=(const JournalSettings& other) const { return !(*this == other); }
};

// The settings from a handler's effective values ("socketPath", "appName",
// "facility"; value(property) answers nullopt when unset), checked as the
// syslog handler's same properties are; a wrong value gives way to the
// default.
JournalSettings journal_settings(
    const std::function<std::optional<std::string_view>(std::string_view)>& value);

// The message of a journal handler without a formatter: the record's text
// alone, as given (the entry's other fields carry the rest).
const RecordFormatter* journal_message_formatter();

class JournalSink final : public Sink {
 public:
  JournalSink(std::string owner, JournalSettings settings);
  ~JournalSink() override;
  JournalSink(const JournalSink&) = delete;
  JournalSink& operator=(const JournalSink&) = delete;

  // text is the formatted message; header and trailer are not used.
  bool write_record(const Record& record, std::string_view text, const char* header,
                    const char* trailer) override;
  // Text without its record is dropped (false): an entry's priority and
  // fields come from the record, and the record path always calls
  // write_record.
  bool write(std::string_view text, const char* header) override;
  const JournalSettings& settings() const { return settings_; }

 private:
  bool send_entry(const std::string& entry);
  // The entry in a sealed memfd, for one too large for a datagram.
  bool send_as_memfd(const std::string& entry, int& error);
  void note_drop(int error);

  const std::string owner_;  // the handler's name, for reports
  const JournalSettings settings_;
  sockaddr_un address_{};
  socklen_t address_size_ = 0;
  int fd_ = -1;  // from the constructor to the destructor
  DropEpisode drops_;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_JOURNAL_JOURNAL_SINK_H_

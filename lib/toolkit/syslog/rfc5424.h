// Builds RFC 5424 syslog messages from toolkit records, for the syslog
// handler: header fields within the RFC's lengths and character sets, a
// structured-data element with the record's component, identifier or source
// position and the process and thread identifiers, and the message part
// truncated at a character boundary to fit one datagram.
//
// Pure functions of their arguments (the timestamp cache is per thread):
// safe from any thread.
#ifndef EKLOGGER_TOOLKIT_SYSLOG_RFC5424_H_
#define EKLOGGER_TOOLKIT_SYSLOG_RFC5424_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "toolkit/record.h"

namespace gw {

// The structured-data identifier of our element ("name@enterprise number";
// 32473 is the number set aside for documentation and examples).
inline constexpr std::string_view kSyslogSdId = "eklogger@32473";
// Appended to a message part that had to be cut.
inline constexpr std::string_view kSyslogTruncatedMarker = "...[truncated]";

struct SyslogHeader {
  int facility = 1;              // user
  std::string_view hostname;     // "-" when empty
  std::string_view app_name;     // "-" when empty
  std::uint64_t process_id = 0;  // the PROCID field; 0 gives "-"
  std::uint64_t thread_id = 0;   // carried in the structured data; 0 leaves it out
};

// Syslog severity of a record level: SEVERE and above err (3), WARNING
// warning (4), INFO info (6), anything finer debug (7).
int syslog_severity(int level);

// The facility number of a name (kern, user, mail, daemon, auth, syslog,
// lpr, news, uucp, cron, authpriv, ftp, local0 ... local7), or -1.
int syslog_facility(std::string_view name);

// The APP-NAME field as a message carries text: at most 48 bytes, any byte
// that is not printable ASCII written "_", "-" for none.
std::string syslog_app_name(std::string_view text);

// Replaces out with the whole datagram, at most max_size bytes long (the
// message part is cut at a UTF-8 character boundary and marked when it does
// not fit).  A trailing newline of the message is dropped; control
// characters and invalid UTF-8 left in it are written as \xHH, so a datagram
// is always one line of valid UTF-8.
void build_syslog_message(const Record& record, const SyslogHeader& header,
                          std::string_view message, std::size_t max_size, std::string& out);

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_SYSLOG_RFC5424_H_

#include "toolkit/journal/journal_sink.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "toolkit/diagnostics.h"
#include "toolkit/identifiers.h"
#include "toolkit/journal/journal_entry.h"
#include "toolkit/os.h"
#include "toolkit/syslog/rfc5424.h"
#include "toolkit/syslog/syslog_sink.h"

namespace gw {

namespace {

constexpr std::size_t kKeptEntryCapacity = 64 * 1024;
// What the socket's send buffer is raised to, so that most long entries
// still go in one datagram (the kernel caps it at net.core.wmem_max).
constexpr int kSendBufferSize = 8 * 1024 * 1024;

// The journal is not there: nothing at the path, or nobody bound to it.
bool journal_away(int error) {
  return error == ECONNREFUSED || error == ENOENT || error == ENOTDIR || error == ENOTCONN;
}

class JournalMessageFormatter final : public RecordFormatter {
 public:
  void format(const Record& record, std::string& out) const override {
    out.append(record.text);
    out += '\n';
  }
  const char* header() const override { return nullptr; }
  const char* trailer() const override { return nullptr; }
};

}  // namespace

JournalSettings journal_settings(
    const std::function<std::optional<std::string_view>(std::string_view)>& value) {
  JournalSettings settings;
  if (const auto path = value("socketPath")) {
    if (check_syslog_property("socketPath", *path).empty()) settings.socket_path = *path;
  }
  if (const auto app_name = value("appName")) settings.app_name = *app_name;
  if (const auto facility = value("facility")) settings.facility = syslog_facility(*facility);
  return settings;
}

const RecordFormatter* journal_message_formatter() {
  static const JournalMessageFormatter formatter;
  return &formatter;
}

JournalSink::JournalSink(std::string owner, JournalSettings settings)
    : owner_(std::move(owner)), settings_(std::move(settings)) {
  address_.sun_family = AF_UNIX;
  const std::size_t length = std::min(settings_.socket_path.size(), sizeof address_.sun_path - 1);
  std::memcpy(address_.sun_path, settings_.socket_path.data(), length);
  address_size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
  fd_ = os().socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    report(owner_ + ": cannot make a socket: " + error_text(errno) + ": records are dropped");
    return;
  }
  int size = kSendBufferSize;
  (void)os().setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

JournalSink::~JournalSink() {
  if (fd_ >= 0) os().close(fd_);
}

bool JournalSink::write(std::string_view, const char*) { return false; }

bool JournalSink::write_record(const Record& record, std::string_view text, const char*,
                               const char*) {
  thread_local std::string entry;
  JournalIdentity identity;
  identity.identifier =
      settings_.app_name.empty() ? undecorated_product(record.product) : settings_.app_name;
  identity.facility = settings_.facility;
  identity.process_id = static_cast<std::uint64_t>(process_id());
  identity.thread_id = static_cast<std::uint64_t>(thread_id());
  build_journal_entry(record, identity, text, entry);
  const bool sent = send_entry(entry);
  if (entry.capacity() > kKeptEntryCapacity) {
    entry.clear();
    entry.shrink_to_fit();
  }
  return sent;
}

bool JournalSink::send_entry(const std::string& entry) {
  if (fd_ < 0) return false;
  iovec part{const_cast<char*>(entry.data()), entry.size()};
  msghdr message{};
  message.msg_name = &address_;
  message.msg_namelen = address_size_;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  int error = 0;
  for (;;) {
    if (os().sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) break;
    error = errno;
    if (error == EINTR) continue;
    break;
  }
  // Too large for one datagram: the protocol's way for long entries.
  if ((error == EMSGSIZE || error == ENOBUFS) && send_as_memfd(entry, error)) error = 0;
  if (error != 0) {
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

bool JournalSink::send_as_memfd(const std::string& entry, int& error) {
  const int file = os().memfd_create("eklogger-journal", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (file < 0) {
    error = errno;
    return false;
  }
  bool sent =
      write_all(file, entry.data(), entry.size()) &&
      os().fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0;
  if (sent) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_name = &address_;
    message.msg_namelen = address_size_;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &file, sizeof(int));
    ssize_t result;
    do {
      result = os().sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    sent = result >= 0;
  }
  if (!sent) error = errno;
  os().close(file);
  return sent;
}

void JournalSink::note_drop(int error) {
  if (!drops_.drop()) return;
  std::string reason;
  if (error == EAGAIN || error == EWOULDBLOCK) {
    reason = "the journal's queue is full";
  } else if (journal_away(error)) {
    reason = "no journal receives there (" + error_text(error) + ")";
  } else {
    reason = error_text(error);
  }
  report(owner_ + ": cannot send to " + settings_.socket_path + ": " + reason +
         ": records are dropped until it takes them again");
}

}  // namespace gw

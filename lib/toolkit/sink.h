// Where a handler's records go: the interface every output implements
// (files, standard error, syslog, the journal), and standard error itself.
// write may be called from any thread; a sink is destroyed only once no
// thread can still be writing through it.
#ifndef EKLOGGER_TOOLKIT_SINK_H_
#define EKLOGGER_TOOLKIT_SINK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "toolkit/record.h"

namespace gw {

// Writes all of data to fd, retrying short writes and EINTR; false with
// errno set on any other failure.
bool write_all(int fd, const char* data, std::size_t size);

class Sink {
 public:
  virtual ~Sink() = default;
  // Writes one whole record; header is written first into a file that is
  // new or empty (null for none).  False when the record was dropped.
  virtual bool write(std::string_view record, const char* header) = 0;
  // The same; trailer (null for none) closes a file that is rotated away.
  virtual bool write_framed(std::string_view record, const char* header, const char*) {
    return write(record, header);
  }
  // What the record path calls, with text the record as formatted: sinks
  // that need the record's fields as well (syslog) override it.
  virtual bool write_record(const Record& record, std::string_view text, const char* header,
                            const char* trailer) {
    (void)record;
    return write_framed(text, header, trailer);
  }
  // Records accepted and then lost (a staged record its file refused).
  virtual std::uint64_t dropped_after_return() const { return 0; }
};

// The process's standard error, shared by every console handler.
std::shared_ptr<Sink> console_sink();

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_SINK_H_

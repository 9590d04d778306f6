#include "toolkit/sink.h"

#include <unistd.h>

#include <cerrno>

#include "toolkit/os.h"

namespace gw {

namespace {

class ConsoleSink final : public Sink {
 public:
  bool write(std::string_view record, const char*) override {
    return write_all(STDERR_FILENO, record.data(), record.size());
  }
};

}  // namespace

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = os_write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

std::shared_ptr<Sink> console_sink() {
  static std::shared_ptr<Sink>* sink = new std::shared_ptr<Sink>(std::make_shared<ConsoleSink>());
  return *sink;
}

}  // namespace gw

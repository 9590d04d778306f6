#include "toolkit/diagnostics.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "toolkit/os.h"

namespace gw {

void report_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t done = os_write(STDERR_FILENO, data, left);
    if (done < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report to
    }
    data += done;
    left -= static_cast<std::size_t>(done);
  }
}

void report(std::string_view text) {
  std::string line = "gwtoolkit: ";
  line.append(text);
  report_line(line);
}

void report_at(std::string_view path, int line_number, std::string_view text) {
  std::string line(path);
  line.push_back(':');
  line.append(std::to_string(line_number));
  line.append(": ");
  line.append(text);
  report_line(line);
}

std::string error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in buffer.
  return strerror_r(error_number, buffer, sizeof buffer);
}

}  // namespace gw

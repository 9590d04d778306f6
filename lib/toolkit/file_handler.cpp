#include "file_handler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diagnostics.h"

namespace gw {

namespace {

// Creates every missing directory above path; false with errno set.
bool make_parent_directories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (::mkdir(directory.c_str(), kDirectoryPermissions) != 0 && errno != EEXIST) return false;
  }
  return true;
}

constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW;

class ConsoleSink final : public Sink {
 public:
  bool write(std::string_view record, const char*) override {
    return write_all(STDERR_FILENO, record.data(), record.size());
  }
};

}  // namespace

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = ::write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

FileSink::FileSink(std::string owner, std::string path, mode_t permissions)
    : owner_(std::move(owner)), path_(std::move(path)), permissions_(permissions) {}

FileSink::~FileSink() {
  const int fd = fd_.load();
  if (fd >= 0) ::close(fd);
}

bool FileSink::write(std::string_view record, const char* header) {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0) {
    if (failed_.load(std::memory_order_relaxed)) return false;
    fd = open_file(header);
    if (fd < 0) return false;
  }
  if (write_all(fd, record.data(), record.size())) return true;
  const int error = errno;
  if (!write_reported_.exchange(true)) {
    report(owner_ + ": cannot write " + path_ + ": " + error_text(error) +
           ": records that cannot be written are dropped");
  }
  return false;
}

int FileSink::open_file(const char* header) {
  std::lock_guard<std::mutex> lock(open_mutex_);
  int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0 || failed_.load()) return fd;
  if (path_.empty()) {
    failed_.store(true);
    report(owner_ + ": no fileName is configured: records are dropped");
    return -1;
  }
  fd = ::open(path_.c_str(), kOpenFlags);
  bool created = false;
  if (fd < 0 && errno == ENOENT) {
    if (make_parent_directories(path_)) {
      fd = ::open(path_.c_str(), kOpenFlags | O_CREAT | O_EXCL, permissions_);
      if (fd >= 0) {
        created = true;
      } else if (errno == EEXIST) {
        fd = ::open(path_.c_str(), kOpenFlags);  // another process created it first
      }
    }
  }
  if (fd < 0) {
    const int error = errno;
    failed_.store(true);
    report(owner_ + ": cannot open " + path_ + ": " + error_text(error) +
           ": records are dropped");
    return -1;
  }
  // The permissions are the configured ones, whatever the umask.
  if (created) (void)::fchmod(fd, permissions_);
  struct stat status;
  if (header != nullptr && *header != '\0' && ::fstat(fd, &status) == 0 &&
      S_ISREG(status.st_mode) && status.st_size == 0) {
    (void)write_all(fd, header, std::strlen(header));
  }
  fd_.store(fd, std::memory_order_release);
  return fd;
}

std::shared_ptr<Sink> console_sink() {
  static std::shared_ptr<Sink>* sink = new std::shared_ptr<Sink>(std::make_shared<ConsoleSink>());
  return *sink;
}

}  // namespace gw

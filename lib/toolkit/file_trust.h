// What the toolkit trusts on the file system and in IPC: objects of the
// process's own effective user or of root, closed to others where they are
// shared, and paths walked without following another user's links.  Any
// local user can plant a file, link, lock file, semaphore set or segment
// where a server will look; these checks decide what is used.  Every
// function is safe from any thread.
#ifndef EKLOGGER_TOOLKIT_FILE_TRUST_H_
#define EKLOGGER_TOOLKIT_FILE_TRUST_H_

#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "toolkit/os.h"

namespace gw {

// The mode of the directories the toolkit makes (less the umask).
constexpr mode_t kDirectoryPermissions = 0750;

// Root can do anything to this process's objects anyway; anyone else is an
// outsider whose file, link or IPC object must not be used.
inline bool trusted_owner(uid_t owner) { return owner == os().geteuid() || owner == 0; }

// "0644": the permission bits of mode, for reports.
std::string octal_mode(mode_t mode);

// Why an IPC object or lock file of owner uid and mode must not be used
// ("it belongs to uid N", "it is open to other users (mode 0NNN)"); empty
// if it may.
std::string ownership_problem(uid_t uid, mode_t mode);

// Why a log file of owner must not be used, for reports.
std::string owner_text(uid_t owner);

// Closes a descriptor when the scope ends.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) os().close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) os().close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Opens (O_PATH) the directory that holds path and names the last
// component in leaf, making missing directories on the way when create is
// set.  Walks one component at a time, so that nothing can swap a part of
// the path between a check and its use, and follows a symbolic link only
// when it belongs to this process's user or root, as the kernel's
// protected_symlinks does in sticky directories.  -1 with why set when it
// cannot.
int open_directory_of(const std::string& path, bool create, std::string& leaf, std::string& why);

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_FILE_TRUST_H_

#include "toolkit/file_trust.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "toolkit/diagnostics.h"
#include "toolkit/os.h"

namespace gw {

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(mode & 0777));
  return text;
}

std::string ownership_problem(uid_t uid, mode_t mode) {
  if (!trusted_owner(uid)) return "it belongs to uid " + std::to_string(uid);
  if ((mode & 077) != 0) return "it is open to other users (mode " + octal_mode(mode) + ")";
  return std::string();
}

std::string owner_text(uid_t owner) {
  return "it belongs to user " + std::to_string(owner) + ", not to this process's user or root";
}

int open_directory_of(const std::string& path, bool create, std::string& leaf, std::string& why) {
  const std::size_t last = path.rfind('/');
  leaf = last == std::string::npos ? path : path.substr(last + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") {
    why = error_text(EISDIR);
    return -1;
  }
  Descriptor directory(
      os().open(!path.empty() && path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0 || last == std::string::npos) {
    if (directory.get() < 0) why = error_text(errno);
    return directory.release();
  }
  std::size_t begin = 0;
  while (begin < last) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos || end > last) end = last;
    const std::string part = path.substr(begin, end - begin);
    begin = end + 1;
    if (part.empty() || part == ".") continue;
    int next =
        os().openat(directory.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      if (os().mkdirat(directory.get(), part.c_str(), kDirectoryPermissions) != 0 &&
          errno != EEXIST) {
        why = error_text(errno);
        return -1;
      }
      next =
          os().openat(directory.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0 && (errno == ELOOP || errno == ENOTDIR)) {
      const int error = errno;
      struct stat status;
      if (os().fstatat(directory.get(), part.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(status.st_mode)) {
        if (!trusted_owner(status.st_uid)) {
          why = "the symbolic link " + path.substr(0, end) +
                " on its way: " + owner_text(status.st_uid);
          return -1;
        }
        next = os().openat(directory.get(), part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      } else {
        errno = error;
      }
    }
    if (next < 0) {
      why = error_text(errno);
      return -1;
    }
    directory.reset(next);
  }
  return directory.release();
}

}  // namespace gw

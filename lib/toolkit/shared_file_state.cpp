#include "toolkit/shared_file_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "toolkit/diagnostics.h"
#include "toolkit/file_trust.h"
#include "toolkit/os.h"

namespace gw {

namespace {

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

}  // namespace

std::string SharedSegment::name_for(key_t key, const std::string& path) {
  char name[64];
  std::snprintf(name, sizeof name, "/gwtoolkit-%08x-%016llx", static_cast<unsigned>(key),
                static_cast<unsigned long long>(fnv1a(path)));
  return name;
}

std::string SharedSegment::own_name_for(key_t key, const std::string& path) {
  return name_for(key, path) + "-u" + std::to_string(os().geteuid());
}

namespace {

// Maps the segment name for path, with the process lock held: an existing
// one only if it is this user's, closed to others, long enough, and holds
// path's state or none yet; with create, one made here if there is none.
// Null with why set (empty when there is none and create is false).
SharedFileState* map_segment(const std::string& name, const std::string& path, bool create,
                             std::string& why) {
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
  constexpr auto kSize = static_cast<off_t>(sizeof(SharedFileState));
  int fd = -1;
  bool created = false;
  for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
    if (create) {
      // Made exclusively: then it is known to be ours and new.
      fd = os().shm_open(name.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
      created = fd >= 0;
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) fd = os().shm_open(name.c_str(), kFlags, 0);
    if (fd < 0 && (errno != ENOENT || !create)) break;  // ENOENT: removed meanwhile
  }
  if (fd < 0) {
    if (create || errno != ENOENT) why = error_text(errno);
    return nullptr;
  }
  struct stat status;
  if (os().fstat(fd, &status) != 0) {
    why = error_text(errno);
  } else if (!created) {
    why = ownership_problem(status.st_uid, status.st_mode);
  }
  if (why.empty() && status.st_size < kSize && os().ftruncate(fd, kSize) != 0) {
    // Ours, so ours to grow: a creator that died before it did.
    why = "it is too small (" + error_text(errno) + ")";
  }
  // Never mapped past its end, which would raise SIGBUS at the first access.
  void* memory = why.empty() ? os().mmap(nullptr, sizeof(SharedFileState), PROT_READ | PROT_WRITE,
                                         MAP_SHARED, fd, 0)
                             : MAP_FAILED;
  if (why.empty() && memory == MAP_FAILED) why = error_text(errno);
  os().close(fd);
  if (memory == MAP_FAILED) return nullptr;
  auto state = static_cast<SharedFileState*>(memory);
  const std::uint64_t magic = state->magic.load();
  if (magic == 0 && !create) {
    why = "it is not set up yet";
  } else if (magic == 0) {
    // New, or its creator died before setting it up; the lock is held, so
    // nobody else sets it up meanwhile.
    std::strncpy(state->path, path.c_str(), sizeof state->path - 1);
    state->generation.store(1);
    state->magic.store(SharedFileState::kMagic);
  } else if (magic != SharedFileState::kMagic) {
    why = "it holds something else";
  } else if (std::strncmp(state->path, path.c_str(), sizeof state->path - 1) != 0) {
    why = "it is another file's";
  }
  if (why.empty()) return state;
  os().munmap(memory, sizeof(SharedFileState));
  return nullptr;
}

}  // namespace

SharedSegment::SharedSegment(key_t key, const std::string& path) {
  static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared atomics");
  const std::string name = name_for(key, path);
  const std::string own_name = own_name_for(key, path);
  std::string why, own_why;
  // Once this user's processes have taken their own name, they keep to it
  // even after the other user's segment is gone.
  if ((state_ = map_segment(own_name, path, false, own_why)) != nullptr) {
    name_ = own_name;
    return;
  }
  if ((state_ = map_segment(name, path, true, why)) != nullptr) {
    name_ = name;
    return;
  }
  if ((state_ = map_segment(own_name, path, true, own_why)) != nullptr) {
    name_ = own_name;
    problem_ = "the shared memory " + name + " cannot be used (" + why + "): using " + own_name +
               " instead";
    return;
  }
  problem_ = "the shared memory " + name + " cannot be used (" + why + "), nor " + own_name + " (" +
             own_why + "): this process counts the size of " + path + " alone";
  private_ = std::make_unique<SharedFileState>();
  state_ = private_.get();
  state_->generation.store(1);
  std::strncpy(state_->path, path.c_str(), sizeof state_->path - 1);
}

std::unique_ptr<SharedSegment> SharedSegment::existing(key_t key, const std::string& path) {
  std::unique_ptr<SharedSegment> segment(new SharedSegment);
  std::string why;
  for (const std::string& name : {own_name_for(key, path), name_for(key, path)}) {
    if ((segment->state_ = map_segment(name, path, false, why)) != nullptr) {
      segment->name_ = name;
      return segment;
    }
  }
  return nullptr;
}

SharedSegment::~SharedSegment() {
  if (!name_.empty()) os().munmap(state_, sizeof(SharedFileState));
}

namespace {

// /dev/shm is sticky: a name found to be ours stays ours until we remove it.
void unlink_if_ours(const std::string& name) {
  struct stat status;
  // glibc keeps POSIX shared memory in /dev/shm.
  if (os().lstat(("/dev/shm" + name).c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
      status.st_uid == os().geteuid()) {
    (void)os().shm_unlink(name.c_str());
  }
}

}  // namespace

void SharedSegment::unlink() {
  if (!name_.empty()) unlink_if_ours(name_);
}

void SharedSegment::unlink_all(key_t key) {
  const std::string prefix = name_for(key, std::string()).substr(1, 19);  // "gwtoolkit-<key>-"
  DIR* directory = os().opendir("/dev/shm");
  if (directory == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = os().readdir(directory)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      names.push_back("/" + std::string(entry->d_name));
    }
  }
  os().closedir(directory);
  for (const std::string& name : names) unlink_if_ours(name);
}

}  // namespace gw

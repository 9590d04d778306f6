#include "toolkit/os.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

namespace gw {

int Os::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int Os::openat(int directory, const char* path, int flags, mode_t mode) {
  return ::openat(directory, path, flags, mode);
}
int Os::close(int fd) { return ::close(fd); }
ssize_t Os::read(int fd, void* data, std::size_t size) { return ::read(fd, data, size); }
ssize_t Os::pread(int fd, void* data, std::size_t size, off_t offset) {
  return ::pread(fd, data, size, offset);
}
ssize_t Os::write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }
ssize_t Os::writev(int fd, const struct iovec* parts, int count) {
  return ::writev(fd, parts, count);
}
int Os::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }
int Os::fstatat(int directory, const char* path, struct stat* status, int flags) {
  return ::fstatat(directory, path, status, flags);
}
int Os::stat(const char* path, struct stat* status) { return ::stat(path, status); }
int Os::lstat(const char* path, struct stat* status) { return ::lstat(path, status); }
int Os::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int Os::ftruncate(int fd, off_t size) { return ::ftruncate(fd, size); }
int Os::fsync(int fd) { return ::fsync(fd); }
int Os::futimens(int fd, const struct timespec times[2]) { return ::futimens(fd, times); }
int Os::fcntl(int fd, int command, long argument) { return ::fcntl(fd, command, argument); }
int Os::fcntl_lock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }
int Os::mkdirat(int directory, const char* path, mode_t mode) {
  return ::mkdirat(directory, path, mode);
}
int Os::renameat(int from_directory, const char* from, int to_directory, const char* to) {
  return ::renameat(from_directory, from, to_directory, to);
}
int Os::renameat2(int from_directory, const char* from, int to_directory, const char* to,
                  unsigned int flags) {
  return ::renameat2(from_directory, from, to_directory, to, flags);
}
int Os::linkat(int from_directory, const char* from, int to_directory, const char* to, int flags) {
  return ::linkat(from_directory, from, to_directory, to, flags);
}
int Os::unlinkat(int directory, const char* path, int flags) {
  return ::unlinkat(directory, path, flags);
}

int Os::semget(key_t key, int count, int flags) { return ::semget(key, count, flags); }
int Os::semop(int id, struct sembuf* operations, std::size_t count) {
  return ::semop(id, operations, count);
}
int Os::semtimedop(int id, struct sembuf* operations, std::size_t count,
                   const struct timespec* timeout) {
  return ::semtimedop(id, operations, count, timeout);
}
int Os::semctl(int id, int number, int command, struct semid_ds* status) {
  return status == nullptr ? ::semctl(id, number, command) : ::semctl(id, number, command, status);
}

int Os::shm_open(const char* name, int flags, mode_t mode) { return ::shm_open(name, flags, mode); }
int Os::shm_unlink(const char* name) { return ::shm_unlink(name); }
void* Os::mmap(void* address, std::size_t size, int protection, int flags, int fd, off_t offset) {
  return ::mmap(address, size, protection, flags, fd, offset);
}
int Os::munmap(void* address, std::size_t size) { return ::munmap(address, size); }

int Os::socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }
int Os::connect(int fd, const struct sockaddr* address, socklen_t size) {
  return ::connect(fd, address, size);
}
ssize_t Os::send(int fd, const void* data, std::size_t size, int flags) {
  return ::send(fd, data, size, flags);
}
ssize_t Os::sendmsg(int fd, const struct msghdr* message, int flags) {
  return ::sendmsg(fd, message, flags);
}

int Os::clock_gettime(clockid_t clock, struct timespec* now) { return ::clock_gettime(clock, now); }
int Os::nanosleep(const struct timespec* pause, struct timespec* left) {
  return ::nanosleep(pause, left);
}
pid_t Os::getpid() { return ::getpid(); }
uid_t Os::geteuid() { return ::geteuid(); }
int Os::getrlimit(int resource, struct rlimit* limit) {
  return ::getrlimit(static_cast<__rlimit_resource_t>(resource), limit);
}
int Os::getpriority(int which, id_t who) {
  return ::getpriority(static_cast<__priority_which_t>(which), who);
}
int Os::setpriority(int which, id_t who, int priority) {
  return ::setpriority(static_cast<__priority_which_t>(which), who, priority);
}
int Os::memfd_create(const char* name, unsigned int flags) { return ::memfd_create(name, flags); }
int Os::setsockopt(int fd, int level, int option, const void* value, socklen_t size) {
  return ::setsockopt(fd, level, option, value, size);
}
DIR* Os::opendir(const char* path) { return ::opendir(path); }
struct dirent* Os::readdir(DIR* directory) {
  return ::readdir(directory);
}
int Os::closedir(DIR* directory) { return ::closedir(directory); }

Os& real_os() {
  static Os* const real = new Os;  // never destroyed: records may be written at exit
  return *real;
}

void set_os(Os* os) { g_installed_os.store(os); }

}  // namespace gw

// The toolkit's one seam to the operating system: the files, directories,
// locks, shared memory, sockets, clocks and identifiers it uses are reached
// through the Os in effect, so that a test can make any call fail (a short
// write, EIO, ENOSPC, EINTR, a rename, fstat or semop that fails) without
// touching the C library.  The real Os calls the system and is the one in
// effect unless a test installs another.  Every call is safe from any
// thread; set_os is for a test's set-up, before and after it logs.
#ifndef EKLOGGER_TOOLKIT_OS_H_
#define EKLOGGER_TOOLKIT_OS_H_

#include <dirent.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

struct flock;

namespace gw {

// Each function has the system call's meaning, result and errno.
class Os {
 public:
  virtual ~Os() = default;

  virtual int open(const char* path, int flags, mode_t mode = 0);
  virtual int openat(int directory, const char* path, int flags, mode_t mode = 0);
  virtual int close(int fd);
  virtual ssize_t read(int fd, void* data, std::size_t size);
  virtual ssize_t pread(int fd, void* data, std::size_t size, off_t offset);
  virtual ssize_t write(int fd, const void* data, std::size_t size);
  virtual ssize_t writev(int fd, const struct iovec* parts, int count);
  virtual int fstat(int fd, struct stat* status);
  virtual int fstatat(int directory, const char* path, struct stat* status, int flags);
  virtual int stat(const char* path, struct stat* status);
  virtual int lstat(const char* path, struct stat* status);
  virtual int fchmod(int fd, mode_t mode);
  virtual int ftruncate(int fd, off_t size);
  virtual int fsync(int fd);
  virtual int futimens(int fd, const struct timespec times[2]);
  virtual int fcntl(int fd, int command, long argument);
  virtual int fcntl_lock(int fd, int command, struct flock* lock);
  virtual int mkdirat(int directory, const char* path, mode_t mode);
  virtual int renameat(int from_directory, const char* from, int to_directory, const char* to);
  virtual int renameat2(int from_directory, const char* from, int to_directory, const char* to,
                        unsigned int flags);
  virtual int linkat(int from_directory, const char* from, int to_directory, const char* to,
                     int flags);
  virtual int unlinkat(int directory, const char* path, int flags);
  virtual DIR* opendir(const char* path);
  virtual struct dirent* readdir(DIR* directory);
  virtual int closedir(DIR* directory);

  virtual int semget(key_t key, int count, int flags);
  virtual int semop(int id, struct sembuf* operations, std::size_t count);
  virtual int semtimedop(int id, struct sembuf* operations, std::size_t count,
                         const struct timespec* timeout);
  // semctl with no argument (GETVAL, IPC_RMID) or with status (IPC_STAT).
  virtual int semctl(int id, int number, int command, struct semid_ds* status = nullptr);

  virtual int shm_open(const char* name, int flags, mode_t mode);
  virtual int shm_unlink(const char* name);
  virtual void* mmap(void* address, std::size_t size, int protection, int flags, int fd,
                     off_t offset);
  virtual int munmap(void* address, std::size_t size);

  virtual int memfd_create(const char* name, unsigned int flags);
  virtual int socket(int domain, int type, int protocol);
  virtual int setsockopt(int fd, int level, int option, const void* value, socklen_t size);
  virtual int connect(int fd, const struct sockaddr* address, socklen_t size);
  virtual ssize_t send(int fd, const void* data, std::size_t size, int flags);
  virtual ssize_t sendmsg(int fd, const struct msghdr* message, int flags);

  virtual int clock_gettime(clockid_t clock, struct timespec* now);
  virtual int nanosleep(const struct timespec* pause, struct timespec* left);
  virtual pid_t getpid();
  virtual uid_t geteuid();
  virtual int getrlimit(int resource, struct rlimit* limit);
  // Of the calling thread for PRIO_PROCESS and who 0 (Linux keeps a nice
  // value per thread).
  virtual int getpriority(int which, id_t who);
  virtual int setpriority(int which, id_t who, int priority);
};

// The Os a test installed; null while the real system is in effect.
inline std::atomic<Os*> g_installed_os{nullptr};

// The one that calls the system.
Os& real_os();

// The Os in effect.
inline Os& os() {
  Os* installed = g_installed_os.load(std::memory_order_relaxed);
  return installed != nullptr ? *installed : real_os();
}

// What a record calls: a load and a branch around the system call, no
// virtual call, while no test has installed an Os.
inline ssize_t os_write(int fd, const void* data, std::size_t size) {
  Os* installed = g_installed_os.load(std::memory_order_relaxed);
  return __builtin_expect(installed == nullptr, 1) ? ::write(fd, data, size)
                                                   : installed->write(fd, data, size);
}
inline ssize_t os_writev(int fd, const struct iovec* parts, int count) {
  Os* installed = g_installed_os.load(std::memory_order_relaxed);
  return __builtin_expect(installed == nullptr, 1) ? ::writev(fd, parts, count)
                                                   : installed->writev(fd, parts, count);
}
inline int os_clock_gettime(clockid_t clock, struct timespec* now) {
  Os* installed = g_installed_os.load(std::memory_order_relaxed);
  return __builtin_expect(installed == nullptr, 1) ? ::clock_gettime(clock, now)
                                                   : installed->clock_gettime(clock, now);
}

// Makes os the one in effect, or the real system again for null; the
// caller keeps os alive while it is in effect.
void set_os(Os* os);

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_OS_H_

#include "reliability_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "child_process.h"
#include "ipc_key.h"

namespace reliability {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kSanitizerDivisor = 10;
#else
constexpr long kSanitizerDivisor = 1;
#endif

}  // namespace

long scaled(long records) {
  long divisor = kSanitizerDivisor;
  if (const char* scale = std::getenv("RELIABILITY_SCALE")) {
    const long value = std::atol(scale);
    if (value > 0) divisor = value;
  }
  return records / divisor > 0 ? records / divisor : 1;
}

WriterSet::WriterSet(long long limit, int count, bool with_key, long staging) {
  if (std::getenv("RELIABILITY_KEEP") != nullptr) dir_.keep();
  ::mkdir(dir_.file("bin").c_str(), 0700);
  std::ofstream properties(dir_.file("bin/eklogger.properties"));
  properties << "logger.dc.msg.level = INFO\n"
                "logger.dc.msg.handlers = handler.file.dc.msg\n"
                "handler.file.dc.msg.className = gw_filehandler\n"
                "handler.file.dc.msg.fileName = msg.log\n"
                "handler.file.dc.msg.formatter = formatter.basic\n"
                "handler.file.dc.msg.limit = "
             << limit
             << "\n"
                "handler.file.dc.msg.count = "
             << count
             << "\n"
                "formatter.basic.className = gw_basicformatter\n"
                "logger.dc.err.level = OFF\n"
                "logger.dc.trace.level = OFF\n";
  if (staging > 0) properties << "handler.file.dc.msg.staging = " << staging << "\n";
  if (with_key) key_ = unused_key(dir_.file("bin/writer"), 0x61);
}

WriterSet::Writer WriterSet::start(int threads, long records, long pause_us) {
  Writer writer;
  writer.threads = threads;
  writer.progress = dir_.file("progress." + std::to_string(started_++));
  const std::string bin = dir_.file("bin");
  const std::string logs = dir_.file("logs");
  const std::string threads_text = std::to_string(threads);
  const std::string records_text = std::to_string(records);
  const std::string pause_text = std::to_string(pause_us);
  writer.errors = dir_.file("stderr." + std::to_string(started_ - 1));
  writer.pid = ::fork();
  if (writer.pid == 0) {
    const int errors =
        ::open(writer.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errors >= 0) ::dup2(errors, STDERR_FILENO);
    ::execl(RELIABILITY_WRITER, RELIABILITY_WRITER, bin.c_str(), logs.c_str(), threads_text.c_str(),
            records_text.c_str(), writer.progress.c_str(), pause_text.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return writer;
}

int WriterSet::wait(Writer& writer) { return exit_status(writer.pid); }

void WriterSet::progress_of(const Writer& writer, std::map<std::pair<int, int>, long>& last,
                            long long& longest_us) const {
  const int fd = ::open(writer.progress.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const std::size_t bytes = sizeof(Progress) * static_cast<std::size_t>(writer.threads);
  struct stat status;
  if (::fstat(fd, &status) != 0 || static_cast<std::size_t>(status.st_size) < bytes) {
    ::close(fd);
    return;  // killed before it set up its slots: it wrote nothing
  }
  void* memory = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (memory == MAP_FAILED) return;
  const auto* progress = static_cast<const Progress*>(memory);
  for (int t = 0; t < writer.threads; ++t) {
    last[{static_cast<int>(writer.pid), t}] = progress[t].returned.load() - 1;
    if (progress[t].longest_us.load() > longest_us) longest_us = progress[t].longest_us.load();
  }
  ::munmap(memory, bytes);
}

std::string WriterSet::errors_of(const Writer& writer) const { return read_file(writer.errors); }

bool WriterSet::semaphore_left() const { return ::semget(key_, 0, 0) >= 0; }

std::vector<std::string> WriterSet::segments_left() const {
  char segment[32], area[32];
  std::snprintf(segment, sizeof segment, "gwtoolkit-%08x-", static_cast<unsigned>(key_));
  std::snprintf(area, sizeof area, "gwstage-%08x-", static_cast<unsigned>(key_));
  std::vector<std::string> left;
  if (DIR* shm = ::opendir("/dev/shm")) {
    while (const dirent* entry = ::readdir(shm)) {
      const std::string name = entry->d_name;
      if (name.rfind(segment, 0) == 0 || name.rfind(area, 0) == 0) left.push_back(name);
    }
    ::closedir(shm);
  }
  return left;
}

}  // namespace reliability

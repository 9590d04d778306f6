// A writer process of the reliability tests: initialises the library for
// the program "writer" in a test's program directory and writes records
// "p<pid> t<thread> n<seq> <padding>" from several threads through one
// group's message logger (the basic formatter, one line per record).
//
//   reliability_writer <program dir> <log dir> <threads> <records> <progress file> [pause us]
//
// After each record call returns, the thread stores its sequence number in
// the progress file (shared memory that outlives a SIGKILL), with the
// longest time one call took.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"
#include "reliability_records.h"

namespace {

std::int64_t now_us() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s program_dir log_dir threads records progress [pause_us]\n",
                 argv[0]);
    return 2;
  }
  const std::string program_dir = argv[1];
  const std::string log_dir = argv[2];
  const int threads = std::atoi(argv[3]);
  const long records = std::atol(argv[4]);
  const long pause_us = argc > 6 ? std::atol(argv[6]) : 0;
  const int fd = ::open(argv[5], O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  const std::size_t bytes = sizeof(reliability::Progress) * static_cast<std::size_t>(threads);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(bytes)) != 0) return 3;
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) return 3;
  auto* progress = static_cast<reliability::Progress*>(memory);

  Log::LogManager* manager = Log::EkLogManager::initialize("writer", program_dir, 0, log_dir);
  Log::LoggerGroup* group = manager->get_logger("load");
  if (group == nullptr) return 4;
  const int pid = static_cast<int>(::getpid());
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::string text;
      for (long n = 0; n < records; ++n) {
        reliability::record_text(pid, t, n, text);
        const std::int64_t start = now_us();
        group->info(text.c_str(), 1);
        const std::int64_t took = now_us() - start;
        progress[t].returned.store(n + 1, std::memory_order_release);
        if (took > progress[t].longest_us.load(std::memory_order_relaxed)) {
          progress[t].longest_us.store(took, std::memory_order_relaxed);
        }
        if (pause_us > 0) ::usleep(static_cast<useconds_t>(pause_us));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  delete manager;  // closes the toolkit: the last user removes the lock
  return 0;
}

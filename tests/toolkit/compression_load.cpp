// What the background compression of a rotated file costs the records
// written meanwhile: compression_load <directory> [MiB] [threads] puts a
// rotated file of that size (default 100 MiB of log-like lines) at
// <directory>/msg.log.1, opens the toolkit with compress = gzip, which
// compresses it at once, and writes records from the threads while it runs
// and for as long afterwards.  Prints the record rate and the longest record
// call of each phase.  Not a test: its numbers depend on the machine.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "eklogger/platform/toolkit.h"

namespace {

using Clock = std::chrono::steady_clock;

bool exists(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

void write_rotated_file(const std::string& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  std::uint64_t state = 88172645463325252ULL;
  std::string line;
  for (std::size_t written = 0, n = 0; written < size; written += line.size(), ++n) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    line = "2026-12-09 10:00:" + std::to_string(10 + n % 50) + "." +
           std::to_string(100000 + state % 900000) + " INFO orders p4711 t" +
           std::to_string(state % 16) + " order " + std::to_string(n) + " of customer " +
           std::to_string(state % 100000) + " accepted, " + std::to_string(state % 997) +
           " items\n";
    out << line;
  }
}

struct Phase {
  long long records = 0;
  double seconds = 0;
  long long longest_us = 0;
};

// Writes from threads until stop says so.
Phase run(int threads, const std::function<bool(double)>& stop) {
  std::atomic<long long> records{0}, longest{0};
  std::atomic<bool> done{false};
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      GwHandle logger = GwGetObject("logger.f", nullptr);
      const std::string text = "thread " + std::to_string(t) + " writes an order record";
      long long mine = 0, worst = 0;
      while (!done.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 1000; ++i) {
          const auto before = Clock::now();
          GwLogInfo(logger, "c", 1, 1, text.c_str(), nullptr);
          const long long us =
              std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before).count();
          worst = std::max(worst, us);
        }
        mine += 1000;
      }
      records += mine;
      long long seen = longest.load();
      while (worst > seen && !longest.compare_exchange_weak(seen, worst)) {
      }
      GwReleaseObject(logger);
    });
  }
  while (!stop(std::chrono::duration<double>(Clock::now() - start).count())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  done.store(true);
  for (std::thread& worker : workers) worker.join();
  Phase phase;
  phase.records = records.load();
  phase.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  phase.longest_us = longest.load();
  return phase;
}

void print(const char* name, const Phase& phase) {
  std::printf("%-28s %8.2f s %12lld records %12.0f records/s  longest call %lld us\n", name,
              phase.seconds, phase.records, static_cast<double>(phase.records) / phase.seconds,
              phase.longest_us);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: compression_load <directory> [MiB] [threads]\n");
    return 2;
  }
  const std::string directory = argv[1];
  const std::size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100;
  const int threads = argc > 3 ? std::atoi(argv[3]) : 1;
  const std::string log = directory + "/msg.log";
  write_rotated_file(log + ".1", mib << 20);
  const std::string properties = directory + "/eklogger.properties";
  std::ofstream(properties) << "logger.f.handlers = handler.f\nhandler.f.fileName = " << log
                            << "\nhandler.f.count = 3\n"
                               "handler.f.compress = gzip\n";
  if (GwOpenToolkit(properties.c_str()) != 1) return 1;
  // The first record opens the file, which asks for msg.log.1's compression.
  const Phase during = run(threads, [&](double) { return exists(log + ".1.gz"); });
  const Phase after = run(threads, [&](double seconds) { return seconds >= during.seconds; });
  std::printf("%zu MiB compressed to %s.1.gz, %d writing thread(s)\n", mib, log.c_str(), threads);
  print("during the compression", during);
  print("after it (as long)", after);
  struct stat status;
  if (::stat((log + ".1.gz").c_str(), &status) == 0) {
    std::printf("archive %lld bytes, %.1f MB/s of original compressed\n",
                static_cast<long long>(status.st_size),
                static_cast<double>(mib << 20) / 1e6 / during.seconds);
  }
  GwCloseToolkit();
  return 0;
}

// Our library under sustained load: writes records through one group for a
// long time and prints, after each tenth of them, the resident set size and
// the heap allocations per record made during that tenth, by every thread of
// the process (a staged handler's flusher included; the counting allocator
// is linked in).
//
//   eklogger_sustained [--records N] [--dir D] [--staged] [--info-only]
//
// Without --info-only info and decorated finer records alternate; --staged
// gives the message and trace handlers their staging areas.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_config.h"
#include "compare_cases.h"
#include "counting_allocator.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"

namespace {

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t records = 10000000;
  std::string dir = "sustained-files";
  bool staged = false;
  bool info_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--records" && i + 1 < argc) {
      records = std::strtoull(argv[++i], nullptr, 10);
    } else if (word == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (word == "--staged") {
      staged = true;
    } else if (word == "--info-only") {
      info_only = true;
    } else {
      std::fprintf(stderr,
                   "usage: eklogger_sustained [--records N] [--dir D] [--staged] [--info-only]\n");
      return 2;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  ::mkdir(dir.c_str(), 0755);
  std::string reason;
  if (!bench::write_program_dir(dir + "/program", reason,
                                staged ? bench::kStagingProperties : "")) {
    std::fprintf(stderr, "eklogger_sustained: %s\n", reason.c_str());
    return 1;
  }
  Log::LogManager* manager =
      Log::EkLogManager::initialize(bench::kProgramName, dir + "/program", 0, dir);
  Log::LoggerGroup* group = manager->get_logger("orders");
  if (group == nullptr) {
    std::printf("eklogger_sustained: toolkit not available\n");
    delete manager;
    return 0;
  }
  const std::string text = bench::record_text(80);
  const std::string message_file = dir + "/msg.log";
  const std::string trace_file = dir + "/trace.log";
  const std::size_t step = std::max<std::size_t>(2, records / 10);
  std::printf("records      VmRSS KiB   allocations per record in the tenth before (%s%s)\n",
              info_only ? "info records" : "info and decorated finer records, alternating",
              staged ? ", staged" : "");
  std::printf("%-12d %-11ld -\n", 0, resident_kib());
  for (std::size_t done = 0; done < records; done += step) {
    const std::uint64_t before = bench::allocation_count();
    for (std::size_t i = 0; i < step; i += 2) {
      group->info(text.c_str(), 42);
      if (info_only) {
        group->info(text.c_str(), 42);
      } else {
        group->finer(text.c_str(), "orders.cpp", "submit", 42);
      }
    }
    // The files are emptied as they go: only the process's memory is of
    // interest here, and appending continues at the new end.
    ::truncate(message_file.c_str(), 0);
    ::truncate(trace_file.c_str(), 0);
    const std::uint64_t made = bench::allocation_count() - before;
    std::printf("%-12zu %-11ld %.6f\n", done + step, resident_kib(),
                static_cast<double>(made) / static_cast<double>(step));
    std::fflush(stdout);
  }
  delete manager;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}

// A program on the library whose configuration the reload test edits while
// it writes: it initialises the library for the program "writer" and writes
// through the group "orders" an info record "i <n>" and a fine (trace)
// record "f <n>" each millisecond until the stop file exists.
// Usage: reload_library_writer <program dir> <log dir> <stop file>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <string>

#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <program dir> <log dir> <stop file>\n", argv[0]);
    return 2;
  }
  Log::LogManager* manager = Log::EkLogManager::initialize("writer", argv[1], 0, argv[2]);
  Log::LoggerGroup* orders = manager->get_logger("orders");
  if (orders == nullptr) return 1;
  struct stat status;
  for (long n = 0; stat(argv[3], &status) != 0; ++n) {
    orders->info(("i " + std::to_string(n)).c_str(), 1);
    orders->fine(("f " + std::to_string(n)).c_str(), __FILE__, __func__, __LINE__);
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  delete manager;
  return 0;
}

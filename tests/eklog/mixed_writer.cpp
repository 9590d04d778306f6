// A server-like writer for eklog's tests: writes catalogued messages of
// every level and trace records from two groups and two threads through the
// library, to whatever handlers the program directory's properties name.
//
//   eklog_mixed_writer <program dir> <log dir> <records per thread> [pause us]
//
// Record i of a thread: i % 10 == 0 severe (number 100 + i % 3), 1-2
// warning (200 + i % 5), 3-5 info (300 + i % 7), else a fine or finer trace
// record; every 13th text holds a tab, a line feed, quotes and markup.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s program_dir log_dir records [pause_us]\n", argv[0]);
    return 2;
  }
  const long records = std::atol(argv[3]);
  const long pause_us = argc > 4 ? std::atol(argv[4]) : 0;
  Log::LogManager* manager = Log::EkLogManager::initialize("server", argv[1], 9000, argv[2]);
  Log::LoggerGroup* groups[2] = {manager->get_logger("orders"), manager->get_logger("billing")};
  if (groups[0] == nullptr || groups[1] == nullptr) return 4;
  const int pid = static_cast<int>(::getpid());
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      Log::LoggerGroup* group = groups[t];
      for (long i = 0; i < records; ++i) {
        std::string text =
            "rec p" + std::to_string(pid) + " t" + std::to_string(t) + " n" + std::to_string(i);
        if (i % 13 == 0) text += " disk full:\t100% used\nretry \"x\" & <y> \\ end";
        const int kind = static_cast<int>(i % 10);
        if (kind == 0)
          group->severe(text.c_str(), 100 + static_cast<int>(i % 3));
        else if (kind <= 2)
          group->warning(text.c_str(), 200 + static_cast<int>(i % 5));
        else if (kind <= 5)
          group->info(text.c_str(), 300 + static_cast<int>(i % 7));
        else if (kind <= 7)
          group->fine(text.c_str(), "src/order.cpp", "Order::step", static_cast<int>(i % 500));
        else
          group->finer(text.c_str(), "src/bill.cpp", "Bill::add", static_cast<int>(i % 500));
        if (pause_us > 0) ::usleep(static_cast<useconds_t>(pause_us));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  delete manager;
  return 0;
}

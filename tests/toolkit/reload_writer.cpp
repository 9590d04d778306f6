// One process of a program whose configuration the reload test edits while
// it writes: it opens the toolkit with the file given, forks the number of
// children given (which write as well), and writes to "logger.app" until
// the stop file exists: an INFO record "i <n> <µs>" and a FINE record
// "f <n> <µs>" each millisecond, n counting from 0 in each process, µs the
// real-time clock.  Each process sets "product" to "pid=<its pid>" at run
// time.  It returns from main without closing the toolkit, so that a
// watcher thread that kept it alive would show.
// Usage: reload_writer <configuration> <stop file> <children>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "eklogger/platform/toolkit.h"

namespace {

long long realtime_us() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

void write_until_stopped(const char* stop_file) {
  GwHandle logger = GwGetObject("logger.app", nullptr);
  GwSetObjProp(logger, "product", ("pid=" + std::to_string(getpid())).c_str());
  struct stat status;
  for (long long n = 0; stat(stop_file, &status) != 0; ++n) {
    GwLogInfo(logger, "c", 1, 1,
              ("i " + std::to_string(n) + " " + std::to_string(realtime_us())).c_str(), nullptr);
    GwLogDebugMin(logger, "w.cpp", "main", 1,
                  ("f " + std::to_string(n) + " " + std::to_string(realtime_us())).c_str(),
                  nullptr);
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  GwReleaseObject(logger);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <configuration> <stop file> <children>\n", argv[0]);
    return 2;
  }
  if (GwOpenToolkit(argv[1]) != 1) return 1;
  std::vector<pid_t> children;
  for (int i = 0; i < std::atoi(argv[3]); ++i) {
    const pid_t child = fork();
    if (child == 0) {
      // A child whose parent the test had to kill ends too, instead of
      // holding the test's output open for ever.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      write_until_stopped(argv[2]);
      return 0;
    }
    if (child > 0) children.push_back(child);
  }
  write_until_stopped(argv[2]);
  int failed = 0;
  for (pid_t child : children) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failed;
    }
  }
  return failed == 0 ? 0 : 3;
}

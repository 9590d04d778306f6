// Waits for a test's child process a bounded time, so that a child that
// hangs fails the test instead of holding it until ctest's timeout.
#ifndef EKLOGGER_TESTS_COMMON_CHILD_PROCESS_H_
#define EKLOGGER_TESTS_COMMON_CHILD_PROCESS_H_

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

// True when pid ended within seconds; otherwise it is killed (and reaped)
// and the answer is false.
inline bool ended_within(pid_t pid, int seconds) {
  int status = 0;
  for (int waited = 0; waited < seconds * 100; ++waited) {
    if (::waitpid(pid, &status, WNOHANG) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return false;
}

#endif  // EKLOGGER_TESTS_COMMON_CHILD_PROCESS_H_

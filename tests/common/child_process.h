// Waits for a test's child processes: a bounded wait, so that a child that
// hangs fails the test instead of holding it until ctest's timeout, and a
// wait for how a child ended.  Safe from any thread, for children of this
// process that nobody else waits for.
#ifndef EKLOGGER_TESTS_COMMON_CHILD_PROCESS_H_
#define EKLOGGER_TESTS_COMMON_CHILD_PROCESS_H_

#include <sys/types.h>

// True when pid ended within seconds; otherwise it is killed (and reaped)
// and the answer is false.
bool ended_within(pid_t pid, int seconds);

// Waits for pid: its exit status, minus the signal that ended it, or -1000
// when it is not a child to wait for.
int exit_status(pid_t pid);

#endif  // EKLOGGER_TESTS_COMMON_CHILD_PROCESS_H_

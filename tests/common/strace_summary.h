// Reads the table that "strace -c" prints: how often each system call was
// made, for tests that count a record's system calls by comparing a run of
// a program with few records and one with many.  Pure functions.
#ifndef EKLOGGER_TESTS_COMMON_STRACE_SUMMARY_H_
#define EKLOGGER_TESTS_COMMON_STRACE_SUMMARY_H_

#include <map>
#include <string>

// Calls per system call from a "strace -c" summary.
std::map<std::string, long> strace_calls(const std::string& summary);

// The calls whose number differs from before to after, with the
// difference; a call that after no longer makes counts as minus its number.
std::map<std::string, long> strace_added(const std::map<std::string, long>& before,
                                         const std::map<std::string, long>& after);

#endif  // EKLOGGER_TESTS_COMMON_STRACE_SUMMARY_H_

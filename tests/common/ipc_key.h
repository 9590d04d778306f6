// System V IPC keys for tests.  ftok keeps sixteen bits of a file's inode,
// and a machine's IPC space is shared by every run on it, so a set another
// run left behind may sit at the key a new file gets.
#ifndef EKLOGGER_TESTS_COMMON_IPC_KEY_H_
#define EKLOGGER_TESTS_COMMON_IPC_KEY_H_

#include <sys/types.h>

#include <string>

// Writes bytes to the file at path and returns ftok(path, project), making
// the file anew at another inode while a semaphore set holds that key (the
// taken inodes are kept as path.takenN, so that they are not handed out
// again).  -1 when ftok fails.
key_t unused_key(const std::string& path, int project, const std::string& bytes = "program\n");

#endif  // EKLOGGER_TESTS_COMMON_IPC_KEY_H_

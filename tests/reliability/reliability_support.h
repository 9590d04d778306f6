// The drivers' side of the reliability tests: a program directory with a
// properties file, writer processes started and stopped, the IPC objects of
// a key, and the load scaled down under the sanitizers.
#ifndef EKLOGGER_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_
#define EKLOGGER_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_

#include <sys/ipc.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "reliability_records.h"
#include "test_files.h"

namespace reliability {

// Records per thread, divided by 10 under the sanitizers and by
// RELIABILITY_SCALE (a divisor) when set.
long scaled(long records);

class WriterSet {
 public:
  // limit and count of the message handler.  With with_key the program
  // file exists, so its key is a real ftok key; without, ftok fails (-1).
  // The directory is kept when RELIABILITY_KEEP is set.  staging stages
  // the handler's records in an area of that many bytes.
  WriterSet(long long limit, int count, bool with_key = true, long staging = 0);
  const std::string& dir() const { return dir_.path(); }
  std::string log_file() const { return dir_.file("logs/msg.log"); }
  key_t key() const { return key_; }

  struct Writer {
    pid_t pid = -1;
    int threads = 0;
    std::string progress;
    std::string errors;  // its standard error
  };
  Writer start(int threads, long records, long pause_us = 0);
  // Waits for it; its exit status (-signal when killed).
  int wait(Writer& writer);
  // (pid, thread) -> last record whose call returned, and the longest call.
  void progress_of(const Writer& writer, std::map<std::pair<int, int>, long>& last,
                   long long& longest_us) const;

  // What the writer wrote on standard error (the toolkit's reports).
  std::string errors_of(const Writer& writer) const;
  // Semaphore sets, shared-memory segments and staging areas left for the key.
  bool semaphore_left() const;
  std::vector<std::string> segments_left() const;

 private:
  TempDir dir_{"reliability"};
  key_t key_ = -1;
  int started_ = 0;
};

}  // namespace reliability

#endif  // EKLOGGER_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_

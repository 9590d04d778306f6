// What the reliability tests' writers write and how the tests read it back:
// the text of record n of a thread, a writer's progress slots, and a parse
// of a set of rotated log files.  Used by the writer and the test drivers.
#ifndef EKLOGGER_TESTS_RELIABILITY_RELIABILITY_RECORDS_H_
#define EKLOGGER_TESTS_RELIABILITY_RELIABILITY_RECORDS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace reliability {

// One per writer thread, in a file the writer maps shared.
struct Progress {
  // Records whose call returned: a new file's zeroes read as none.
  std::atomic<long> returned{0};
  std::atomic<std::int64_t> longest_us{0};
};

// "p<pid> t<thread> n<seq> " and a padding whose length and letters
// depend on all three, so that a torn or glued record cannot pass.
inline void record_text(int pid, int thread, long seq, std::string& text) {
  text =
      "p" + std::to_string(pid) + " t" + std::to_string(thread) + " n" + std::to_string(seq) + " ";
  const std::size_t pad = 20 + static_cast<std::size_t>((seq * 7 + thread) % 61);
  for (std::size_t i = 0; i < pad; ++i) {
    text.push_back(static_cast<char>('a' + (seq + pid + static_cast<long>(i)) % 26));
  }
  text.push_back('.');
}

struct Parsed {
  // (pid, thread) -> sequence numbers in the order found
  std::map<std::pair<int, int>, std::vector<long>> found;
  long records = 0;
  long bad_lines = 0;  // neither a whole record nor a header/trailer
  std::vector<std::string> bad_samples;
  long nul_bytes = 0;
  long cut_copies = 0;  // see parse_files
};

// Reads the files in order (oldest first) and checks every line.  With
// copies_may_end_cut, a file's last line without its newline is a record
// that was being written while the file was copied (logrotate's
// copytruncate reads while writers append): counted in cut_copies, not as
// a bad line.
Parsed parse_files(const std::vector<std::string>& files, bool copies_may_end_cut = false);

// base.N ... base.1, base: those that exist, oldest first.
std::vector<std::string> rotated_set(const std::string& base, int max_index);

struct Check {
  long expected = 0, found = 0, lost = 0, duplicated = 0, out_of_order = 0, unexpected = 0;
};
// Every record 0..last[k] of each (pid, thread) key found exactly once and
// in order; records past last (a killed writer's call in progress) may be
// there once.
Check check_records(const Parsed& parsed, const std::map<std::pair<int, int>, long>& last);

}  // namespace reliability

#endif  // EKLOGGER_TESTS_RELIABILITY_RELIABILITY_RECORDS_H_

// eklog's input side: a log file read line by line (plain or gzip), the
// rotated sets named on the command line (name.N ... name.1, name, with .gz
// members), and a set read as one stream of records in time order through
// a bounded reorder window.  A SetReader owns its files and is used by one
// thread at a time (its set's reading thread, then the main thread that
// follows the files); ReadStats is counted by all of them.
#ifndef EKLOG_INPUT_H_
#define EKLOG_INPUT_H_

#include <sys/types.h>
#include <zlib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filters.h"
#include "output.h"
#include "record.h"
#include "record_parser.h"

namespace eklog {

// How many records of one set may come before an earlier one: records of
// several processes and threads reach a file in batches, each in its own
// order, so a record is never further from its place than the records the
// others wrote meanwhile.  Two threads on a loaded two-core machine put
// records up to 3,081 places late (bench/eklog-compare's data); 8192 leaves
// room for more writers.  The memory is bounded by that many records per set.
constexpr std::size_t kReorderWindow = 8192;
// A line longer than this is cut and reported as no record.
constexpr std::size_t kMaxLine = 16u << 20;

class LineFile {
 public:
  LineFile() = default;
  ~LineFile();
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  // False, with the reason, if the file cannot be read.  A .gz name or the
  // gzip magic bytes make it read through zlib.
  bool open(const std::string& path, std::string& reason);
  // The next whole line, without its line feed, and how many bytes from its
  // start may be read (for simdjson's padding).  False at the end of what
  // the file holds now; with final, a last line that has no line feed is
  // returned first, with torn set.
  bool next_line(std::string_view& line, std::size_t& readable, bool final, bool& torn);
  // Damage found on the way (a cut or corrupt gzip stream); empty if none.
  const std::string& damage() const { return damage_; }
  long line_number() const { return line_number_; }
  const std::string& path() const { return path_; }
  bool compressed() const { return gz_ != nullptr; }
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }
  // Bytes of the file consumed so far (plain files).
  off_t offset() const { return offset_; }
  // Starts again at the file's beginning (a copytruncate emptied it).
  void rewind();

 private:
  bool fill();

  std::string path_;
  int fd_ = -1;
  gzFile gz_ = nullptr;
  std::vector<char> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  off_t offset_ = 0;
  long line_number_ = 0;
  std::string damage_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// One rotated set: its members oldest first; the base name last when it
// exists.
struct LogSet {
  std::string base;
  std::vector<std::string> members;
  bool explicit_file = false;  // a member named on its own: read just that
};

// The sets named by files and directories.  A directory gives one set per
// base name found in it (files whose first line is no log format are left
// out); a file gives its set.  Names that do not exist are reported in
// missing.
std::vector<LogSet> find_sets(const std::vector<std::string>& paths,
                              std::vector<std::string>& missing);
// The members of base's set that exist now, oldest first.
std::vector<std::string> set_members(const std::string& base);
// base name of a rotated member: "msg.log.3.gz" -> "msg.log".
std::string base_of(const std::string& name);

// What the reading found, for the summary on standard error and the exit
// status; counted by the reading threads of every set at once.
struct ReadStats {
  std::atomic<long> bad_lines{0};    // lines that are no record
  std::atomic<long> skipped_bad{0};  // of those, not shown
  std::atomic<long> file_errors{0};  // files that could not be read, or were damaged
  std::atomic<bool> strict_failed{false};
};

struct ReadOptions {
  bool show_bad = true;         // a line that is no record is passed on as such
  bool strict = false;          // a line that is no record stops the reading
  bool keep_json_line = false;  // keep only each record's -o json line (Record::json_line)
  // With keep_json_line: a basic or XML record read for the window keeps
  // its line as read (Record::json_later), and whoever takes it from the
  // window writes its JSON.  Under a filter of the level alone, so does a
  // JSON Lines record that begins as the library writes it: it is read only
  // up to its level, and whoever takes it parses it, to leave it out (a
  // line that is no record, counted in ReadStats) or pass it on.  For one
  // set, whose merging thread has little else to do than write.
  bool json_later = false;
  bool follow = false;  // keep the base file open at its end
};

class SetReader {
 public:
  SetReader(LogSet set, int index, const Filter& filter, const ReadOptions& options,
            ReadStats& stats);

  // The set's next record in time order, valid until the next call; null
  // when all are read.
  const Record* next();
  ReadStats& stats() const { return stats_; }
  // Following: reads what was added since, across a rename or a copy and
  // truncate of the base file, into out (in file order).
  void follow(std::vector<Record>& out);
  const LogSet& set() const { return set_; }
  int index() const { return index_; }

 private:
  struct Open {
    LineFile file;
    Format format = Format::kUnknown;
    std::int64_t last_time_us = 0;
    std::int64_t quiet_since_us = 0;  // retired: last time it grew
  };
  std::unique_ptr<Open> open_member(const std::string& path);
  // Reads one line into the window; false when every member is read.
  bool advance();
  // Reads what the file holds now into out; true if there was any.
  bool read_some(Open& open, bool final, std::vector<Record>* out);
  // False when --strict stops the reading.
  bool take_line(Open& open, std::string_view line, std::size_t readable, bool torn,
                 std::vector<Record>* out);
  // Where the next record read goes: a slot of the window (whose strings
  // keep their room from record to record), or the end of out.
  Record& new_record(std::vector<Record>* out);
  void commit(std::vector<Record>* out);
  void report_end(Open& open);

  LogSet set_;
  int index_;
  const Filter& filter_;
  ReadOptions options_;
  ReadStats& stats_;
  RecordParser parser_;
  RecordView view_;
  JsonWriter json_writer_;
  std::size_t member_ = 0;
  bool stopped_ = false;
  std::unique_ptr<Open> current_;
  bool current_is_base_ = false;
  bool followed_base_ = false;                  // the base file was open once
  std::vector<std::unique_ptr<Open>> retired_;  // renamed away, still read a while
  struct Held {
    std::int64_t time_us;
    std::uint64_t sequence;
    std::uint32_t slot;
  };
  // By time, then file order: the heap keeps the earliest on top.
  static bool later_than(const Held& a, const Held& b) {
    return a.time_us != b.time_us ? a.time_us > b.time_us : a.sequence > b.sequence;
  }
  std::vector<Record> slots_;        // the window's records
  std::vector<std::uint32_t> free_;  // slots not in use
  // The window is the records of in_order_ and late_ together.  Nearly all
  // records come no earlier than the last one in_order_ took: those queue
  // there, in order without a heap; only the others go through late_.
  std::vector<Held> in_order_;  // a ring of kRingSize, from in_order_head_
  std::size_t in_order_head_ = 0, in_order_size_ = 0;
  std::vector<Held> late_;        // a min-heap by time, then file order
  std::uint32_t filling_ = 0;     // the slot new_record gave out
  std::uint32_t handed_out_ = 0;  // the slot next returned, freed at the next call
  bool has_handed_out_ = false;
  std::uint64_t sequence_ = 0;
};

std::int64_t now_us();

}  // namespace eklog

#endif  // EKLOG_INPUT_H_

// eklog: reads, merges, filters and follows the log files that libeklogger's
// toolkit writes (docs/eklog.md).  Each named file brings its rotated set;
// the sets are merged by record time, filtered and printed.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "filters.h"
#include "input.h"
#include "output.h"
#include "reading_thread.h"
#include "record.h"

namespace {

using namespace eklog;

const char kDescription[] =
    "eklog - read, merge, filter and follow libeklogger's log files\n\n"
    "SYNOPSIS\n"
    "  eklog [OPTIONS] FILE|DIRECTORY...\n\n"
    "DESCRIPTION\n"
    "  Reads log files in any of the toolkit's three formats (basic, XML, JSON Lines),\n"
    "  found out for each file from its first line.  A file name brings its whole\n"
    "  rotated set, oldest first: name.N ... name.1, name, members compressed as\n"
    "  name.N.gz included; a directory brings every set in it.  The sets are merged\n"
    "  into one stream in record time, and each record is printed as a short line,\n"
    "  as JSON Lines or as its text.\n";

const char kFooter[] =
    "\nRECOVER\n"
    "  eklog recover [--list] [LOGFILE...] runs eklog-recover: it writes what processes\n"
    "  that ended without closing left staged into their log files (eklog-recover --help).\n"
    "\nTIMES\n"
    "  --since and --until take an ISO 8601 time (2026-12-08T10:02:00, 2026-12-08 10:02,\n"
    "  with Z or +01:00, or local), a time of day (10:02, today), now, today, yesterday,\n"
    "  tomorrow, @SECONDS, or a time relative to now: -15min, -2h, -1d, +30s.\n"
    "  --since is inclusive, --until exclusive.\n\n"
    "LINES THAT ARE NO RECORD\n"
    "  A torn or foreign line is shown as such (\"?? file:line: ...\", or\n"
    "  {\"unparsed\":...,\"source\":...} with -o json) unless a filter is given or\n"
    "  --skip-bad; skipped lines are counted on standard error.  --strict stops at\n"
    "  the first one.  A cut .gz or XML file gives the records before the damage.\n\n"
    "ORDER\n"
    "  Within one set, a record may come up to 8192 records after a later one (writers\n"
    "  append in batches) and is still put in its place; the memory used is bounded\n"
    "  by that window per set, whatever the size of the files.\n\n"
    "COLOUR\n"
    "  The short line is coloured by level when standard output is a terminal, unless\n"
    "  --no-color is given or NO_COLOR is set to a non-empty value.\n\n"
    "EXIT STATUS\n"
    "  0 all read; 1 a usage error, or --strict met a line that is no record;\n"
    "  2 a file could not be read or was damaged (what could be read is printed).\n\n"
    "EXAMPLES\n"
    "  eklog logs/server1/ekserver                   all sets, merged\n"
    "  eklog -p WARNING --since -15min logs/...      warnings and up, last 15 minutes\n"
    "  eklog --pid 4711 -S 10:02 -U 10:05 trace.log  one process's records\n"
    "  eklog -f -n 20 msg.log err.log                follow, like tail -F\n"
    "  eklog -o json -g 'disk (full|error)' msg.log | jq .\n";

class Output {
 public:
  explicit Output(std::size_t last) : last_(last) {}
  ~Output() { flush(); }
  // Records read only to reach the files' ends (-f -n 0).
  void set_discard(bool discard) { discard_ = discard; }
  void add(const Printer& printer, const Record& record) {
    if (discard_) return;
    if (last_ == 0) {
      printer.format(record, buffer_);
      if (buffer_.size() >= (1u << 20)) flush();
      return;
    }
    std::string line;
    printer.format(record, line);
    keep(std::move(line));
  }
  // A line formatted already, with its line feed.
  void add(std::string_view line) {
    if (discard_) return;
    if (last_ == 0) {
      buffer_.append(line);
      if (buffer_.size() >= (1u << 20)) flush();
      return;
    }
    keep(std::string(line));
  }
  // -n: from now on every record is written.
  void release_last() {
    for (const std::string& line : kept_) buffer_ += line;
    kept_.clear();
    last_ = 0;
    flush();
  }
  void flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
      const ssize_t wrote = ::write(STDOUT_FILENO, buffer_.data() + done, buffer_.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      // The reader went away.  The reading threads may be at work: end
      // without running the destructors of what they use.
      if (wrote <= 0) std::_Exit(2);
      done += static_cast<std::size_t>(wrote);
    }
    buffer_.clear();
  }

 private:
  void keep(std::string line) {
    kept_.push_back(std::move(line));
    if (kept_.size() > last_) kept_.pop_front();
  }

  std::size_t last_;
  bool discard_ = false;
  std::deque<std::string> kept_;
  std::string buffer_;
};

// The k-way merge: one head record per set in a heap by time, then set.
// Each set is read, filtered and formatted on a thread of its own.
void merge(std::vector<std::unique_ptr<SetReader>>& readers, const OutputMode mode,
           const bool color, Output& output) {
  std::vector<std::unique_ptr<ReadingThread>> threads;
  for (auto& reader : readers) threads.emplace_back(new ReadingThread(*reader, mode, color));
  struct Head {
    std::int64_t time_us;
    std::size_t reader;
    std::string_view line;
  };
  std::vector<Head> heads;
  auto later = [](const Head& a, const Head& b) {
    return a.time_us != b.time_us ? a.time_us > b.time_us : a.reader > b.reader;
  };
  for (std::size_t i = 0; i < threads.size(); ++i) {
    Head head{0, i, {}};
    if (threads[i]->next(head.time_us, head.line)) heads.push_back(head);
  }
  std::make_heap(heads.begin(), heads.end(), later);
  while (!heads.empty()) {
    std::pop_heap(heads.begin(), heads.end(), later);
    Head& head = heads.back();
    output.add(head.line);
    if (threads[head.reader]->next(head.time_us, head.line)) {
      std::push_heap(heads.begin(), heads.end(), later);
    } else {
      heads.pop_back();
    }
  }
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows the sets until interrupted: woken by inotify on their
// directories, and once a second at most while a renamed file is still read.
void follow(std::vector<std::unique_ptr<SetReader>>& readers,
            const std::vector<std::string>& directories, const Filter& filter,
            const ReadOptions& options, ReadStats& stats, const Printer& printer, Output& output) {
  const int notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  std::set<std::string> watched, wanted;
  // A directory that is not there yet: its nearest parent, until it is.
  auto watch = [&](const std::string& dir) {
    for (std::string at = dir; notify >= 0;) {
      if (watched.count(at) != 0) return;
      if (inotify_add_watch(notify, at.c_str(),
                            IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                IN_CLOSE_WRITE | IN_ATTRIB) >= 0) {
        watched.insert(at);
        return;
      }
      if (at == "/" || at == ".") return;
      at = directory_of(at);
    }
  };
  std::set<std::string> bases;
  for (const auto& reader : readers) {
    wanted.insert(directory_of(reader->set().base));
    bases.insert(reader->set().base);
  }
  for (const std::string& dir : directories) wanted.insert(dir);
  std::vector<Record> batch;
  for (;;) {
    for (const std::string& dir : wanted) watch(dir);
    struct pollfd wait = {notify, POLLIN, 0};
    // Without inotify (or on file systems it cannot see), a look each second.
    ::poll(&wait, notify < 0 ? 0 : 1, 1000);
    if (notify >= 0) {
      alignas(struct inotify_event) char events[16384];
      while (::read(notify, events, sizeof events) > 0) {
      }
    }
    for (const std::string& dir : directories) {
      std::vector<std::string> missing;
      for (LogSet& set : find_sets({dir}, missing)) {
        if (!bases.insert(set.base).second) continue;
        set.members.clear();  // a set new since the start: from its first record on
        readers.emplace_back(new SetReader(std::move(set), static_cast<int>(readers.size()), filter,
                                           options, stats));
      }
    }
    batch.clear();
    for (auto& reader : readers) reader->follow(batch);
    std::stable_sort(batch.begin(), batch.end(),
                     [](const Record& a, const Record& b) { return a.time_us < b.time_us; });
    for (const Record& record : batch) output.add(printer, record);
    output.flush();
    if (stats.strict_failed) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // "eklog recover ..." is eklog-recover, installed beside eklog: it writes
  // what ended processes left staged into their files (a file of that name
  // is read as ./recover).
  if (argc > 1 && std::strcmp(argv[1], "recover") == 0) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string command = "eklog-recover";
    if (length > 0) {
      const std::string path(self, static_cast<std::size_t>(length));
      command = path.substr(0, path.rfind('/') + 1) + "eklog-recover";
    }
    argv[1] = const_cast<char*>(command.c_str());
    execv(command.c_str(), argv + 1);
    execvp("eklog-recover", argv + 1);
    std::fprintf(stderr, "eklog: recover: cannot run eklog-recover: %s\n", std::strerror(errno));
    return 1;
  }
  CLI::App app{kDescription, "eklog"};
  app.footer(kFooter);
  app.get_formatter()->column_width(32);

  std::vector<std::string> paths;
  std::string level, since, until, output_name = "short", pattern;
  FilterOptions filters;
  std::size_t last = 0;
  bool follow_mode = false, no_color = false, skip_bad = false, strict = false;
  app.add_option("paths", paths, "log files and directories (a file brings its rotated set)")
      ->required();
  app.add_option(
         "-p,--priority", level,
         "records at LEVEL or above: SEVERE, WARNING, INFO, FINE, FINER, FINEST or a number")
      ->type_name("LEVEL");
  app.add_option("-l,--logger", filters.loggers, "logger name, exact or glob (repeatable)")
      ->type_name("GLOB");
  app.add_option("-c,--component", filters.components, "component, exact or glob (repeatable)")
      ->type_name("GLOB");
  app.add_option("--product", filters.products, "product text, exact or glob (repeatable)")
      ->type_name("GLOB");
  app.add_option("--pid", filters.pids,
                 "process id, of the records whose product carries pid= (trace records)")
      ->type_name("PID");
  app.add_option("--tid", filters.tids, "thread id, likewise")->type_name("TID");
  app.add_option("-S,--since", since, "records at or after TIME (see TIMES)")->type_name("TIME");
  app.add_option("-U,--until", until, "records before TIME")->type_name("TIME");
  app.add_option("--catalog", filters.catalogs, "catalogued messages of this catalog (glob)")
      ->type_name("NAME");
  app.add_option("-m,--message", filters.numbers, "catalogued messages with this number")
      ->type_name("NUMBER");
  app.add_option("-g,--grep", pattern, "records whose text matches this PCRE2 pattern")
      ->type_name("PATTERN");
  app.add_option("-o,--output", output_name,
                 "short (default), json (JSON Lines) or cat (text only)")
      ->check(CLI::IsMember({"short", "json", "cat"}))
      ->type_name("MODE");
  app.add_option("-n,--lines", last, "only the last N records (with -f: 10 unless given)")
      ->type_name("N");
  app.add_flag("-f,--follow", follow_mode,
               "after the records there, print new ones as they come, across rotation");
  app.add_flag("--no-color", no_color, "no colour, even on a terminal");
  app.add_flag("--skip-bad", skip_bad, "leave out lines that are no record (counted on stderr)");
  app.add_flag("--strict", strict, "stop with status 1 at the first line that is no record");
  app.set_version_flag("--version", "eklog 1.0");
  CLI11_PARSE(app, argc, argv);

  if (!level.empty()) {
    if (!level_from_text(level, filters.min_level)) {
      std::fprintf(
          stderr,
          "eklog: -p %s: not a level (SEVERE, WARNING, INFO, FINE, FINER, FINEST or a number)\n",
          level.c_str());
      return 1;
    }
    filters.has_min_level = true;
  }
  const std::int64_t now = now_us();
  if (!since.empty()) {
    if (!parse_time_spec(since, now, filters.since_us)) {
      std::fprintf(stderr, "eklog: --since %s: not a time (see eklog --help, TIMES)\n",
                   since.c_str());
      return 1;
    }
    filters.has_since = true;
  }
  if (!until.empty()) {
    if (!parse_time_spec(until, now, filters.until_us)) {
      std::fprintf(stderr, "eklog: --until %s: not a time (see eklog --help, TIMES)\n",
                   until.c_str());
      return 1;
    }
    filters.has_until = true;
  }
  filters.pattern = pattern;
  Filter filter;
  std::string error;
  if (!filter.init(filters, error)) {
    std::fprintf(stderr, "eklog: -g %s: %s\n", pattern.c_str(), error.c_str());
    return 1;
  }

  const OutputMode mode = output_name == "json"  ? OutputMode::kJson
                          : output_name == "cat" ? OutputMode::kCat
                                                 : OutputMode::kShort;
  const char* no_color_env = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  const bool color = mode == OutputMode::kShort && !no_color && ::isatty(STDOUT_FILENO) == 1 &&
                     (no_color_env == nullptr || no_color_env[0] == '\0') &&
                     !(term != nullptr && std::string(term) == "dumb");
  const Printer printer(mode, color);

  ReadOptions options;
  options.show_bad = !skip_bad;
  options.strict = strict;
  options.keep_json_line = mode == OutputMode::kJson;
  options.follow = follow_mode;
  ReadStats stats;
  std::vector<std::string> missing;
  std::vector<LogSet> sets = find_sets(paths, missing);
  // One set: its reading thread is the one at work, and the merging thread
  // takes over writing the JSON of basic and XML lines, parsing them again.
  // Several sets keep the merging thread free.
  options.json_later = options.keep_json_line && sets.size() == 1;
  for (const std::string& path : missing) {
    if (follow_mode) {
      std::fprintf(stderr, "eklog: %s: no such file yet; waiting for it\n", path.c_str());
    } else {
      std::fprintf(stderr, "eklog: %s: %s\n", path.c_str(), std::strerror(ENOENT));
      ++stats.file_errors;
    }
  }
  std::vector<std::string> directories;
  for (const std::string& path : paths) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) directories.push_back(path);
  }
  // A filter's pattern keeps its match space: one filter per reading thread.
  std::vector<std::unique_ptr<Filter>> set_filters;
  std::vector<std::unique_ptr<SetReader>> readers;
  for (LogSet& set : sets) {
    set_filters.emplace_back(new Filter);
    set_filters.back()->init(filters, error);
    readers.emplace_back(new SetReader(std::move(set), static_cast<int>(readers.size()),
                                       *set_filters.back(), options, stats));
  }

  if (follow_mode && last == 0 && app.count("--lines") == 0) last = 10;
  Output output(last);
  output.set_discard(follow_mode && app.count("--lines") != 0 && last == 0);
  merge(readers, mode, color, output);
  output.set_discard(false);
  output.release_last();
  if (follow_mode && !stats.strict_failed) {
    follow(readers, directories, filter, options, stats, printer, output);
  }
  output.flush();
  if (stats.skipped_bad > 0) {
    const long skipped = stats.skipped_bad;
    std::fprintf(stderr, "eklog: %ld line%s that %s no record left out\n", skipped,
                 skipped == 1 ? "" : "s", skipped == 1 ? "is" : "are");
  }
  if (stats.strict_failed) return 1;
  return stats.file_errors > 0 ? 2 : 0;
}

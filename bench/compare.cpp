// The side-by-side comparison: writes the same records through our library,
// through each peer and through the raw write(2) loop, each run in a fresh
// process (or two), interleaved over several rounds, and reports medians,
// ranges and the ratios of ours to each peer within the same run.
//
//   eklogger_compare drive --records N --rounds R --dir D --out O
//                          [--only CASE,CASE] [--against PROGRAM --against-tag TAG]
//   eklogger_compare run-case NAME --threads T --records N --dir D --text-length L
//
// "drive" is what bench/compare runs; "run-case" is one timed run (the
// driver starts it; by hand it runs at once).  --only keeps the runs of the
// cases named; --against adds our write-through cases as another build's
// eklogger_compare runs them (PROGRAM), labelled "@TAG", to the same rounds.
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "compare_cases.h"

extern char** environ;

namespace bench {
namespace {

const std::size_t kTargetLineLength = 120;
const std::size_t kProbeTextLength = 40;

std::int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Command-line options as name/value pairs after the positional words.
struct Arguments {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;

  Arguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
      std::string word = argv[i];
      if (word.rfind("--", 0) == 0 && i + 1 < argc) {
        options[word.substr(2)] = argv[++i];
      } else {
        words.push_back(word);
      }
    }
  }
  std::string text(const std::string& name, const std::string& fallback) const {
    auto found = options.find(name);
    return found == options.end() ? fallback : found->second;
  }
  long number(const std::string& name, long fallback) const {
    auto found = options.find(name);
    if (found == options.end()) return fallback;
    char* end = nullptr;
    const long value = std::strtol(found->second.c_str(), &end, 10);
    if (end == found->second.c_str() || *end != '\0' || value < 0) {
      std::fprintf(stderr, "eklogger_compare: --%s wants a number, not '%s'\n", name.c_str(),
                   found->second.c_str());
      std::exit(2);
    }
    return value;
  }
};

// ---- one timed run, in this process ------------------------------------

int run_case(const Arguments& arguments) {
  if (arguments.words.size() < 2) {
    std::fprintf(stderr, "eklogger_compare run-case: which case?\n");
    return 2;
  }
  const std::string name = arguments.words[1];
  const long threads = std::max(1L, arguments.number("threads", 1));
  const std::size_t records = arguments.number("records", 100000);
  const int ready_fd = static_cast<int>(arguments.number("ready-fd", 0));
  const int go_fd = static_cast<int>(arguments.number("go-fd", 0));
  CaseOptions options;
  options.directory = arguments.text("dir", ".");
  options.text_length = arguments.number("text-length", 80);

  std::unique_ptr<WriteCase> write_case = make_case(name);
  if (!write_case) {
    std::fprintf(stderr, "eklogger_compare: no case named '%s'\n", name.c_str());
    return 2;
  }
  std::string reason;
  const bool ready = write_case->set_up(options, reason);
  if (ready_fd > 0) {
    const char signal = ready ? 'r' : 'u';
    if (::write(ready_fd, &signal, 1) != 1) return 1;
  }
  if (!ready) {
    std::printf("unavailable %s\n", reason.c_str());
    return 0;
  }

  pthread_barrier_t start;
  pthread_barrier_init(&start, nullptr, static_cast<unsigned>(threads + 1));
  std::vector<std::thread> writers;
  const std::size_t per_thread = records / threads;
  for (long i = 0; i < threads; ++i) {
    writers.emplace_back([&] {
      pthread_barrier_wait(&start);
      write_case->write_records(per_thread);
    });
  }
  if (go_fd > 0) {
    char signal;
    if (::read(go_fd, &signal, 1) != 1) return 1;
  }
  const std::int64_t began = monotonic_ns();
  pthread_barrier_wait(&start);
  for (std::thread& writer : writers) writer.join();
  write_case->flush();
  const std::int64_t ended = monotonic_ns();
  pthread_barrier_destroy(&start);
  std::printf("ok %" PRId64 " %" PRId64 "\n", began, ended);
  std::fflush(stdout);
  write_case->tear_down();
  return 0;
}

// ---- the driver ---------------------------------------------------------

struct Run {
  std::string case_name;
  int threads;
  int processes;
  std::string program = "";  // another build's eklogger_compare; empty: this one
  std::string tag = "";      // that build's name in the label

  std::string label() const {
    std::string text = case_name;
    if (!tag.empty()) text += " @" + tag;
    if (threads > 1) text += ", " + std::to_string(threads) + " threads";
    if (processes > 1) text += ", " + std::to_string(processes) + " processes";
    return text;
  }
  // Ours write one line a record, which the driver counts after the run.
  bool lines_checked() const { return case_name.rfind("ours", 0) == 0; }
};

struct Outcome {
  bool available = false;
  std::string reason;
  double seconds = 0;
  std::uint64_t bytes = 0;
  std::uint64_t lines = 0;  // when counted
};

std::string self_path() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return "eklogger_compare";
  path[length] = '\0';
  return path;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

void remove_tree(const std::string& path) {
  ::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// The length of the directory being walked, for is_log_file.
std::size_t walked_length = 0;

// Whether path, below the directory walked, is a log file, not one of a
// program directory ("program", "program-staged").
bool is_log_file(const char* path, int type) {
  return type == FTW_F && std::strstr(path + walked_length, "/program") == nullptr;
}

// Bytes of the log files in dir.
std::uint64_t log_bytes(const std::string& dir) {
  static std::uint64_t total;
  total = 0;
  walked_length = dir.size();
  ::nftw(
      dir.c_str(),
      [](const char* path, const struct stat* status, int type, FTW*) {
        if (is_log_file(path, type)) total += status->st_size;
        return 0;
      },
      16, FTW_PHYS);
  return total;
}

// Lines of the log files in dir.
std::uint64_t log_lines(const std::string& dir) {
  static std::uint64_t total;
  total = 0;
  walked_length = dir.size();
  ::nftw(
      dir.c_str(),
      [](const char* path, const struct stat*, int type, FTW*) {
        if (!is_log_file(path, type)) return 0;
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return 0;
        static char chunk[1 << 16];
        ssize_t got;
        while ((got = ::read(fd, chunk, sizeof(chunk))) > 0) {
          for (const char* at = chunk;
               (at = static_cast<const char*>(std::memchr(at, '\n', chunk + got - at))) != nullptr;
               ++at) {
            ++total;
          }
        }
        ::close(fd);
        return 0;
      },
      16, FTW_PHYS);
  return total;
}

std::string read_all(int fd) {
  std::string text;
  char chunk[512];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof(chunk))) > 0) text.append(chunk, got);
  return text;
}

// Runs one case in its processes, all started together, in a fresh dir.
Outcome execute(const Run& run, std::size_t records, std::size_t text_length,
                const std::string& dir) {
  Outcome outcome;
  remove_tree(dir);
  if (::mkdir(dir.c_str(), 0755) != 0) {
    outcome.reason = dir + ": " + std::strerror(errno);
    return outcome;
  }
  const std::string program = run.program.empty() ? self_path() : run.program;
  struct Child {
    pid_t pid = -1;
    int ready = -1, go = -1, out = -1;
  };
  std::vector<Child> children(run.processes);
  const std::size_t per_process = records / run.processes;
  // The driver ignores SIGPIPE (a child may be gone before it is told to
  // start); the children get the default back.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  for (Child& child : children) {
    int ready[2], go[2], out[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(go, O_CLOEXEC) != 0 ||
        ::pipe2(out, O_CLOEXEC) != 0) {
      outcome.reason = "pipe failed";
      posix_spawnattr_destroy(&attributes);
      return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_adddup2(&actions, go[0], 4);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string threads = std::to_string(run.threads);
    const std::string count = std::to_string(per_process);
    const std::string length = std::to_string(text_length);
    const char* argv[] = {program.c_str(),
                          "run-case",
                          run.case_name.c_str(),
                          "--threads",
                          threads.c_str(),
                          "--records",
                          count.c_str(),
                          "--dir",
                          dir.c_str(),
                          "--text-length",
                          length.c_str(),
                          "--ready-fd",
                          "3",
                          "--go-fd",
                          "4",
                          nullptr};
    const int spawned = posix_spawn(&child.pid, program.c_str(), &actions, &attributes,
                                    const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    ::close(go[0]);
    ::close(out[1]);
    child.ready = ready[0];
    child.go = go[1];
    child.out = out[0];
    if (spawned != 0) {
      outcome.reason = std::string("spawn: ") + std::strerror(spawned);
      child.pid = -1;
    }
  }
  posix_spawnattr_destroy(&attributes);
  bool all_ready = outcome.reason.empty();
  std::vector<bool> child_ready;
  for (Child& child : children) {
    char signal = 'u';
    const bool ready = child.pid >= 0 && ::read(child.ready, &signal, 1) == 1 && signal == 'r';
    child_ready.push_back(ready);
    all_ready = all_ready && ready;
  }
  // A child that could not set up has exited or is exiting: only the ready
  // ones wait for the word.
  for (std::size_t i = 0; i < children.size(); ++i) {
    const char signal = 'g';
    if (child_ready[i] && ::write(children[i].go, &signal, 1) != 1) all_ready = false;
  }
  std::int64_t began = INT64_MAX, ended = 0;
  for (Child& child : children) {
    const std::string text = child.pid >= 0 ? read_all(child.out) : std::string();
    ::close(child.ready);
    ::close(child.go);
    ::close(child.out);
    int status = 0;
    if (child.pid >= 0) ::waitpid(child.pid, &status, 0);
    std::int64_t child_began = 0, child_ended = 0;
    if (std::sscanf(text.c_str(), "ok %" SCNd64 " %" SCNd64, &child_began, &child_ended) == 2 &&
        WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      began = std::min(began, child_began);
      ended = std::max(ended, child_ended);
    } else {
      all_ready = false;
      if (outcome.reason.empty()) {
        outcome.reason = text.rfind("unavailable ", 0) == 0 ? text.substr(12) : "failed: " + text;
        while (!outcome.reason.empty() && outcome.reason.back() == '\n') outcome.reason.pop_back();
      }
    }
  }
  outcome.available = all_ready && ended > began;
  outcome.seconds = (ended - began) / 1e9;
  outcome.bytes = log_bytes(dir);
  if (run.lines_checked()) outcome.lines = log_lines(dir);
  if (outcome.available && outcome.bytes == 0) {
    outcome.available = false;
    outcome.reason = "no record reached the file";
  }
  remove_tree(dir);
  return outcome;
}

struct Summary {
  std::vector<double> rates;  // records per second, one per round
  std::vector<double> bytes_per_record;
  std::string reason;
  std::int64_t missing = 0;  // records not in the file, over every round (negative: extra lines)
  bool lines_checked = false;
};

double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A ratio of ours to a reference, with the target it must meet.
struct RatioRow {
  std::string what;
  std::string numerator, denominator;  // run labels; rate(numerator)/rate(denominator)
  double target;                       // NAN for "for the record"
  bool at_most;                        // target is an upper bound
};

std::string format_rate(double rate) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.0f", rate);
  return text;
}

int drive(const Arguments& arguments) {
  const std::size_t records = arguments.number("records", 1000000);
  const int rounds = static_cast<int>(std::max(1L, arguments.number("rounds", 5)));
  const std::string base = arguments.text("dir", "compare-files");
  const std::string out = arguments.text("out", ".");
  const std::string only = arguments.text("only", "");
  const std::string against = arguments.text("against", "");
  const std::string against_tag = arguments.text("against-tag", "other");
  ::mkdir(base.c_str(), 0755);
  ::mkdir(out.c_str(), 0755);

  const std::vector<Run> all_runs = {
      {"raw", 1, 1},
      {"ours", 1, 1},
      {"ours-finer", 1, 1},
      {"spdlog-flush", 1, 1},
      {"log4cxx-flush", 1, 1},
      {"glog-flush", 1, 1},
      {"raw", 2, 1},
      {"ours", 2, 1},
      {"ours-finer", 2, 1},
      {"spdlog-flush", 2, 1},
      {"log4cxx-flush", 2, 1},
      {"glog-flush", 2, 1},
      {"raw", 1, 2},
      {"ours", 1, 2},
      {"ours-staged", 1, 1},
      {"ours-staged", 2, 1},
      {"ours-finer-staged", 1, 1},
      {"ours-finer-staged", 2, 1},
      {"spdlog-buffered", 1, 1},
      {"spdlog-buffered", 2, 1},
      {"log4cxx-buffered", 1, 1},
      {"glog-buffered", 1, 1},
  };
  std::vector<Run> runs;
  for (const Run& run : all_runs) {
    if (only.empty() || ("," + only + ",").find("," + run.case_name + ",") != std::string::npos) {
      runs.push_back(run);
    }
  }
  if (!against.empty()) {
    for (const Run& run : std::vector<Run>{{"ours", 1, 1}, {"ours-finer", 1, 1}, {"ours", 2, 1}}) {
      runs.push_back({run.case_name, run.threads, run.processes, against, against_tag});
    }
  }

  // Each library's own prefix decides how long its text must be for lines
  // of about the same length: measured from the growth of its file between
  // one and two records.
  std::map<std::string, std::size_t> text_lengths;
  for (const CaseInfo& info : all_cases()) {
    const Run probe{info.name, 1, 1};
    const std::string dir = base + "/probe";
    const Outcome one = execute(probe, 1, kProbeTextLength, dir);
    const Outcome two = execute(probe, 2, kProbeTextLength, dir);
    std::size_t length = kTargetLineLength - 40;
    if (one.available && two.available && two.bytes > one.bytes) {
      const std::size_t line = two.bytes - one.bytes;
      const std::size_t prefix = line > kProbeTextLength ? line - kProbeTextLength : 0;
      length = prefix + 16 < kTargetLineLength ? kTargetLineLength - prefix : 16;
    }
    text_lengths[info.name] = length;
  }

  std::map<std::string, Summary> summaries;
  std::ofstream raw_results(out + "/results.tsv");
  raw_results << "round\trun\trecords\tseconds\tbytes\n";
  for (int round = 0; round < rounds; ++round) {
    // Rotate the order so that no case always follows the same neighbour.
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const Run& run = runs[(i + round * 5) % runs.size()];
      const std::size_t total =
          records / (run.threads * run.processes) * (run.threads * run.processes);
      const Outcome outcome = execute(run, total, text_lengths[run.case_name], base + "/run");
      Summary& summary = summaries[run.label()];
      summary.lines_checked = run.lines_checked();
      if (!outcome.available) {
        summary.reason = outcome.reason;
        std::fprintf(stderr, "  round %d  %-28s %s\n", round + 1, run.label().c_str(),
                     outcome.reason.c_str());
        continue;
      }
      const double rate = total / outcome.seconds;
      summary.rates.push_back(rate);
      summary.bytes_per_record.push_back(static_cast<double>(outcome.bytes) / total);
      raw_results << round + 1 << '\t' << run.label() << '\t' << total << '\t' << outcome.seconds
                  << '\t' << outcome.bytes << '\n';
      std::fprintf(stderr, "  round %d  %-28s %10.0f records/s\n", round + 1, run.label().c_str(),
                   rate);
      if (run.lines_checked() && outcome.lines != total) {
        summary.missing +=
            static_cast<std::int64_t>(total) - static_cast<std::int64_t>(outcome.lines);
        std::fprintf(stderr, "  round %d  %-28s %" PRIu64 " lines in the files for %zu records\n",
                     round + 1, run.label().c_str(), outcome.lines, total);
      }
    }
  }

  // The table, as text on stdout and as markdown for the documentation.
  std::ostringstream table, markdown, plot;
  markdown << "| case | mode | records/s (median) | min–max | µs/record | bytes/record | every "
              "record in the file |\n"
           << "|---|---|---:|---:|---:|---:|---|\n";
  char line[512];
  std::snprintf(line, sizeof(line), "%-34s %14s %25s %10s %8s %s\n", "case", "records/s", "min-max",
                "us/record", "bytes", "in file");
  table << line;
  for (const Run& run : runs) {
    const std::string label = run.label();
    const Summary& summary = summaries[label];
    const CaseInfo* info = nullptr;
    for (const CaseInfo& candidate : all_cases()) {
      if (run.case_name == candidate.name) info = &candidate;
    }
    const char* mode = mode_name(info->mode);
    if (summary.rates.empty()) {
      std::snprintf(line, sizeof(line), "%-34s %s\n", label.c_str(), summary.reason.c_str());
      table << line;
      markdown << "| " << label << " | " << mode << " | " << summary.reason << " | | | | |\n";
      continue;
    }
    const double middle = median(summary.rates);
    const auto range = std::minmax_element(summary.rates.begin(), summary.rates.end());
    const double bytes = median(summary.bytes_per_record);
    std::string in_file = "not counted";
    if (summary.lines_checked) {
      in_file = summary.missing == 0 ? "yes"
                : summary.missing > 0
                    ? "no: " + std::to_string(summary.missing) + " missing"
                    : "no: " + std::to_string(-summary.missing) + " lines too many";
    }
    std::snprintf(line, sizeof(line), "%-34s %14.0f %12.0f-%-12.0f %10.3f %8.0f %s\n",
                  label.c_str(), middle, *range.first, *range.second, 1e6 / middle, bytes,
                  in_file.c_str());
    table << line;
    markdown << "| " << label << " | " << mode << " | " << format_rate(middle) << " | "
             << format_rate(*range.first) << "–" << format_rate(*range.second) << " | ";
    std::snprintf(line, sizeof(line), "%.3f | %.0f | %s |\n", 1e6 / middle, bytes, in_file.c_str());
    markdown << line;
    // Another build's runs are for the ratios only.
    if (!run.tag.empty()) continue;
    // Colour group for the plot: 0 ours, 1 the raw loop, 2 a write-through
    // peer, 3 a buffered peer, 4 ours staged.
    const int colour = info->mode == CaseMode::kStaged         ? 4
                       : run.case_name.rfind("ours", 0) == 0   ? 0
                       : run.case_name == "raw"                ? 1
                       : info->mode == CaseMode::kWriteThrough ? 2
                                                               : 3;
    plot << '"' << label << "\" " << middle << ' ' << *range.first << ' ' << *range.second << ' '
         << colour << '\n';
  }

  std::vector<RatioRow> ratios = {
      {"ours / raw write(2), 1 thread", "ours", "raw", 0.85, false},
      {"ours / spdlog flush, 1 thread", "ours", "spdlog-flush", 1.2, false},
      {"ours / log4cxx ImmediateFlush, 1 thread", "ours", "log4cxx-flush", NAN, false},
      {"ours / glog logbuflevel -1, 1 thread", "ours", "glog-flush", NAN, false},
      {"ours / raw write(2), 2 threads", "ours, 2 threads", "raw, 2 threads", 0.85, false},
      {"ours / spdlog flush, 2 threads", "ours, 2 threads", "spdlog-flush, 2 threads", 3.0, false},
      {"ours / log4cxx ImmediateFlush, 2 threads", "ours, 2 threads", "log4cxx-flush, 2 threads",
       NAN, false},
      {"ours / glog logbuflevel -1, 2 threads", "ours, 2 threads", "glog-flush, 2 threads", NAN,
       false},
      {"ours / raw write(2), 2 processes", "ours, 2 processes", "raw, 2 processes", 0.85, false},
      {"decorated finer cost / info cost", "ours", "ours-finer", 1.2, true},
      {"decorated finer, 2 threads / 1 thread", "ours-finer, 2 threads", "ours-finer", NAN, false},
      {"spdlog flush / raw write(2), 1 thread", "spdlog-flush", "raw", NAN, false},
      {"staged / spdlog buffered, 1 thread", "ours-staged", "spdlog-buffered", 1.0, false},
      {"staged / spdlog buffered, 2 threads", "ours-staged, 2 threads",
       "spdlog-buffered, 2 threads", 1.0, false},
      {"staged decorated finer cost / staged info cost", "ours-staged", "ours-finer-staged", 1.5,
       true},
      {"staged decorated finer, 2 threads / 1 thread", "ours-finer-staged, 2 threads",
       "ours-finer-staged", 1.2, false},
      {"staged info, 2 threads / 1 thread", "ours-staged, 2 threads", "ours-staged", NAN, false},
      {"staged / write-through, info, 1 thread", "ours-staged", "ours", NAN, false},
  };
  if (!against.empty()) {
    ratios.push_back(
        {"ours / ours @" + against_tag + ", 1 thread", "ours", "ours @" + against_tag, 1.0, false});
    ratios.push_back({"ours-finer / ours-finer @" + against_tag + ", 1 thread", "ours-finer",
                      "ours-finer @" + against_tag, 1.0, false});
    ratios.push_back({"ours / ours @" + against_tag + ", 2 threads", "ours, 2 threads",
                      "ours @" + against_tag + ", 2 threads", 1.0, false});
  }
  // Rows whose runs were left out by --only.
  std::vector<RatioRow> shown;
  for (const RatioRow& row : ratios) {
    if (summaries.count(row.numerator) && summaries.count(row.denominator)) shown.push_back(row);
  }
  table << "\n";
  std::snprintf(line, sizeof(line), "%-50s %8s %17s %8s %s\n", "ratio (per round, median)",
                "median", "min-max", "target", "");
  table << line;
  markdown
      << "\n| ratio (of the same round, median over rounds) | median | min–max | target | met |\n"
      << "|---|---:|---:|---:|---|\n";
  for (const RatioRow& row : shown) {
    const Summary& top = summaries[row.numerator];
    const Summary& bottom = summaries[row.denominator];
    std::string target_text = "—";
    if (!std::isnan(row.target)) {
      std::snprintf(line, sizeof(line), "%s %.2f", row.at_most ? "≤" : "≥", row.target);
      target_text = line;
    }
    if (top.rates.size() != bottom.rates.size() || top.rates.empty()) {
      const std::string why = !top.reason.empty() ? top.reason : bottom.reason;
      std::snprintf(line, sizeof(line), "%-50s %s\n", row.what.c_str(), why.c_str());
      table << line;
      markdown << "| " << row.what << " | " << why << " | | " << target_text << " | no |\n";
      continue;
    }
    std::vector<double> per_round;
    for (std::size_t i = 0; i < top.rates.size(); ++i) {
      per_round.push_back(top.rates[i] / bottom.rates[i]);
    }
    const double middle = median(per_round);
    const auto range = std::minmax_element(per_round.begin(), per_round.end());
    std::string met = "—";
    if (!std::isnan(row.target)) {
      met = (row.at_most ? middle <= row.target : middle >= row.target) ? "yes" : "no";
    }
    std::snprintf(line, sizeof(line), "%-50s %8.2f %8.2f-%-8.2f %8s %s\n", row.what.c_str(), middle,
                  *range.first, *range.second, target_text.c_str(), met.c_str());
    table << line;
    std::snprintf(line, sizeof(line), "| %s | %.2f | %.2f–%.2f | %s | %s |\n", row.what.c_str(),
                  middle, *range.first, *range.second, target_text.c_str(), met.c_str());
    markdown << line;
  }

  std::fputs(table.str().c_str(), stdout);
  std::ofstream(out + "/table.md") << markdown.str();
  std::ofstream(out + "/plot.dat") << plot.str();
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  const bench::Arguments arguments(argc, argv);
  const std::string command = arguments.words.empty() ? "" : arguments.words[0];
  if (command == "drive") {
    std::signal(SIGPIPE, SIG_IGN);
    return bench::drive(arguments);
  }
  if (command == "run-case") return bench::run_case(arguments);
  std::fprintf(stderr,
               "usage: eklogger_compare drive [--records N] [--rounds R] [--dir D] [--out O]"
               " [--only CASE,CASE] [--against PROGRAM --against-tag TAG]\n"
               "       eklogger_compare run-case NAME [--threads T] [--records N] [--dir D]"
               " [--text-length L]\n");
  return 2;
}

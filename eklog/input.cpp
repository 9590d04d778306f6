#include "input.h"

#include <dirent.h>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace eklog {

namespace {

constexpr std::size_t kChunk = 1u << 20;
constexpr std::size_t kPadding = simdjson::SIMDJSON_PADDING;
// The window holds at most kReorderWindow + 1 records.
constexpr std::size_t kRingSize = kReorderWindow + 1;

// A renamed-away file is read until it has not grown for this long: a
// writer that has not yet seen the rotation may still append to it.
constexpr std::int64_t kRetiredQuietUs = 2000000;

bool ends_with(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// "name.N" or "name.N.gz": N, and the base in base.
bool rotation_index(const std::string& name, std::string& base, long& index) {
  std::string rest = name;
  if (ends_with(rest, ".gz")) rest.resize(rest.size() - 3);
  const std::size_t dot = rest.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == rest.size() || rest.size() - dot > 10)
    return false;
  index = 0;
  for (std::size_t i = dot + 1; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
    index = index * 10 + (rest[i] - '0');
  }
  base = rest.substr(0, dot);
  return true;
}

void split_path(const std::string& path, std::string& dir, std::string& name) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    name = path;
  } else {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir == ".") return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The format of a file's first non-empty line, from its first bytes.
Format sniff(const std::string& path) {
  LineFile file;
  std::string reason;
  if (!file.open(path, reason)) return Format::kUnknown;
  std::string_view line;
  std::size_t readable;
  bool torn;
  for (int i = 0; i < 8 && file.next_line(line, readable, true, torn); ++i) {
    if (line.size() > 4096) line = line.substr(0, 4096);
    const Format format = detect_format(line);
    if (format != Format::kUnknown || !line.empty()) return format;
  }
  return Format::kUnknown;
}

}  // namespace

std::int64_t now_us() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

LineFile::~LineFile() {
  if (gz_ != nullptr)
    gzclose(gz_);
  else if (fd_ >= 0)
    ::close(fd_);
}

bool LineFile::open(const std::string& path, std::string& reason) {
  path_ = path;
  // O_NONBLOCK so that a FIFO named by mistake cannot hang the reading.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) {
    reason = std::strerror(errno);
    return false;
  }
  struct stat status;
  if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
    reason = S_ISDIR(status.st_mode) ? "is a directory" : "not a regular file";
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  device_ = status.st_dev;
  inode_ = status.st_ino;
  (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  unsigned char magic[2] = {0, 0};
  const bool gzip = ::pread(fd_, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  if (gzip || ends_with(path, ".gz")) {
    gz_ = gzdopen(fd_, "rb");
    if (gz_ == nullptr) {
      reason = "cannot read it as gzip";
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    gzbuffer(gz_, 256u << 10);
  }
  buffer_.assign(2 * kChunk + kPadding, 0);
  return true;
}

void LineFile::rewind() {
  if (gz_ != nullptr) return;
  ::lseek(fd_, 0, SEEK_SET);
  begin_ = end_ = 0;
  offset_ = 0;
}

bool LineFile::fill() {
  if (eof_) return false;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() - end_ < kChunk + kPadding) buffer_.resize(end_ + kChunk + kPadding);
  if (gz_ != nullptr) {
    const int got = gzread(gz_, buffer_.data() + end_, static_cast<unsigned>(kChunk));
    int code = Z_OK;
    const char* message = gzerror(gz_, &code);
    if (got > 0) end_ += static_cast<std::size_t>(got);
    if (code != Z_OK && code != Z_STREAM_END) {
      damage_ = code == Z_BUF_ERROR ? "the compressed data ends early" : message;
      eof_ = true;
    }
    if (got <= 0) eof_ = true;
    return got > 0;
  }
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, kChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      damage_ = std::strerror(errno);
      return false;
    }
    end_ += static_cast<std::size_t>(got);
    offset_ += got;
    return got > 0;
  }
}

bool LineFile::next_line(std::string_view& line, std::size_t& readable, bool final, bool& torn) {
  std::size_t scanned = begin_;
  for (;;) {
    const void* found = std::memchr(buffer_.data() + scanned, '\n', end_ - scanned);
    if (found != nullptr) {
      const std::size_t at = static_cast<const char*>(found) - buffer_.data();
      line = std::string_view(buffer_.data() + begin_, at - begin_);
      readable = buffer_.size() - begin_;
      begin_ = at + 1;
      ++line_number_;
      torn = false;
      return true;
    }
    scanned = end_;
    const bool too_long = end_ - begin_ >= kMaxLine;
    if (!too_long) {
      const std::size_t kept = begin_;
      if (fill()) {
        scanned -= kept;
        continue;
      }
    }
    if ((final || too_long) && end_ > begin_) {
      line = std::string_view(buffer_.data() + begin_, end_ - begin_);
      readable = buffer_.size() - begin_;
      begin_ = end_;
      ++line_number_;
      torn = true;
      return true;
    }
    return false;
  }
}

std::string base_of(const std::string& name) {
  std::string base;
  long index;
  if (rotation_index(name, base, index)) return base;
  return ends_with(name, ".gz") ? name.substr(0, name.size() - 3) : name;
}

std::vector<std::string> set_members(const std::string& base) {
  std::string dir, name;
  split_path(base, dir, name);
  std::vector<std::pair<long, std::string>> rotated;
  if (DIR* listing = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      const std::string entry_name = entry->d_name;
      std::string entry_base;
      long index;
      if (rotation_index(entry_name, entry_base, index) && entry_base == name) {
        // Older first: higher numbers; a .gz before the plain one of its number.
        rotated.emplace_back(index * 2 + (ends_with(entry_name, ".gz") ? 1 : 0), entry_name);
      }
    }
    closedir(listing);
  }
  std::sort(rotated.begin(), rotated.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::string> members;
  for (const auto& member : rotated) members.push_back(join(dir, member.second));
  struct stat status;
  if (::stat(base.c_str(), &status) == 0) members.push_back(base);
  return members;
}

std::vector<LogSet> find_sets(const std::vector<std::string>& paths,
                              std::vector<std::string>& missing) {
  std::vector<LogSet> sets;
  std::map<std::string, bool> seen;
  auto add = [&](LogSet set) {
    if (seen.emplace(set.base, true).second) sets.push_back(std::move(set));
  };
  for (const std::string& path : paths) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      std::map<std::string, bool> bases;
      if (DIR* listing = opendir(path.c_str())) {
        while (const dirent* entry = readdir(listing)) {
          const std::string name = entry->d_name;
          if (name[0] == '.') continue;
          struct stat file_status;
          const std::string full = join(path, name);
          if (::stat(full.c_str(), &file_status) != 0 || !S_ISREG(file_status.st_mode)) continue;
          bases[base_of(name)] = true;
        }
        closedir(listing);
      }
      for (const auto& base : bases) {
        LogSet set;
        set.base = join(path, base.first);
        set.members = set_members(set.base);
        // Lock files and the like: only sets whose newest non-empty file is a log.
        bool log = false;
        for (auto member = set.members.rbegin(); member != set.members.rend(); ++member) {
          struct stat member_status;
          if (::stat(member->c_str(), &member_status) == 0 && member_status.st_size == 0) continue;
          log = sniff(*member) != Format::kUnknown;
          break;
        }
        if (log) add(std::move(set));
      }
      continue;
    }
    std::string dir, name, rotated_base;
    split_path(path, dir, name);
    long index;
    LogSet set;
    set.base = path;
    if (::stat(path.c_str(), &status) == 0 && rotation_index(name, rotated_base, index)) {
      set.members = {path};
      set.explicit_file = true;
    } else {
      set.members = set_members(path);
      if (set.members.empty()) missing.push_back(path);
    }
    add(std::move(set));
  }
  return sets;
}

SetReader::SetReader(LogSet set, int index, const Filter& filter, const ReadOptions& options,
                     ReadStats& stats)
    : set_(std::move(set)), index_(index), filter_(filter), options_(options), stats_(stats) {}

std::unique_ptr<SetReader::Open> SetReader::open_member(const std::string& path) {
  std::unique_ptr<Open> open(new Open);
  std::string reason;
  if (!open->file.open(path, reason)) {
    std::fprintf(stderr, "eklog: %s: %s\n", path.c_str(), reason.c_str());
    ++stats_.file_errors;
    return nullptr;
  }
  return open;
}

void SetReader::report_end(Open& open) {
  if (open.file.damage().empty()) return;
  std::fprintf(stderr, "eklog: %s: %s after line %ld; the records before it are shown\n",
               open.file.path().c_str(), open.file.damage().c_str(), open.file.line_number());
  ++stats_.file_errors;
}

Record& SetReader::new_record(std::vector<Record>* out) {
  if (out != nullptr) {
    out->emplace_back();
    return out->back();
  }
  if (free_.empty()) {
    free_.push_back(static_cast<std::uint32_t>(slots_.size()));
    slots_.emplace_back();
  }
  filling_ = free_.back();
  return slots_[filling_];
}

void SetReader::commit(std::vector<Record>* out) {
  if (out != nullptr) return;
  free_.pop_back();
  const Held held{slots_[filling_].time_us, sequence_++, filling_};
  if (in_order_.empty()) in_order_.resize(kRingSize);
  // The ring stays sorted: a record joins it only when it is no earlier
  // than the ring's last, and its sequence is higher than any before.
  if (in_order_size_ == 0 ||
      held.time_us >= in_order_[(in_order_head_ + in_order_size_ - 1) % kRingSize].time_us) {
    in_order_[(in_order_head_ + in_order_size_) % kRingSize] = held;
    ++in_order_size_;
    return;
  }
  late_.push_back(held);
  std::push_heap(late_.begin(), late_.end(), later_than);
}

bool SetReader::take_line(Open& open, std::string_view line, std::size_t readable, bool torn,
                          std::vector<Record>* out) {
  if (line.empty() && !torn) return true;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (open.format == Format::kUnknown) open.format = detect_format(line);
  bool parsed = false;
  if (!torn && open.format != Format::kUnknown) {
    if (open.format == Format::kXml && is_xml_frame(line)) return true;
    if (options_.json_later && out == nullptr && filter_.level_only() && !options_.strict) {
      int level;
      std::int64_t time_us;
      if (parser_.quick_time_level(open.format, line, time_us, level)) {
        if (level < filter_.min_level()) return true;
        open.last_time_us = time_us;
        Record& record = new_record(out);
        record.bad = false;
        record.time_us = time_us;
        record.json_later = open.format;
        record.json_line.assign(line);
        commit(out);
        return true;
      }
    }
    if (filter_.has_min_level()) {
      // Most records of a level filter are below it: skip them unparsed.
      // Lines that are no record are not shown under a filter anyway; only
      // --strict must look at every line.
      int level;
      if (!options_.strict && RecordParser::quick_level(open.format, line, level) &&
          level < filter_.min_level())
        return true;
    }
    if (!parsed) parsed = parser_.parse(open.format, line, view_, readable);
  }
  if (parsed) {
    open.last_time_us = view_.time_us;
    if (!filter_.accepts(view_)) return true;
    Record& record = new_record(out);
    if (options_.keep_json_line) {
      // -o json passes a JSON line on as it is, and writes the line of any
      // other once, here: only the time is kept beside it, for the order.
      record.bad = false;
      record.time_us = view_.time_us;
      record.json_later = options_.json_later && out == nullptr && open.format != Format::kJson
                              ? open.format
                              : Format::kUnknown;
      if (open.format == Format::kJson || record.json_later != Format::kUnknown) {
        record.json_line.assign(line);
      } else {
        const std::string_view json = json_writer_.line(view_);
        record.json_line.assign(json.data(), json.size() - 1);
      }
    } else {
      record.assign(view_);
    }
    commit(out);
    return true;
  }
  ++stats_.bad_lines;
  const std::string source = open.file.path() + ":" + std::to_string(open.file.line_number());
  if (options_.strict) {
    std::fprintf(stderr, "eklog: %s: %s\n", source.c_str(),
                 torn ? "a torn record (no line end)" : "not a record of this file's format");
    stats_.strict_failed = true;
    return false;
  }
  if (!options_.show_bad || filter_.any()) {
    ++stats_.skipped_bad;
    return true;
  }
  Record& record = new_record(out);
  record.bad = true;
  record.json_later = Format::kUnknown;
  record.time_us = open.last_time_us;
  record.json_line.clear();
  record.unparsed.assign(line);
  record.source = source + (torn ? " (torn)" : "");
  commit(out);
  return true;
}

bool SetReader::read_some(Open& open, bool final, std::vector<Record>* out) {
  std::string_view line;
  std::size_t readable;
  bool torn;
  bool any = false;
  while (!stopped_ && open.file.next_line(line, readable, final, torn)) {
    any = true;
    if (!take_line(open, line, readable, torn, out)) stopped_ = true;
  }
  return any;
}

bool SetReader::advance() {
  while (!stopped_) {
    if (!current_) {
      if (member_ >= set_.members.size()) return false;
      const std::string& path = set_.members[member_++];
      current_ = open_member(path);
      current_is_base_ = path == set_.base;
      if (current_is_base_ && current_) followed_base_ = true;
      continue;
    }
    std::string_view line;
    std::size_t readable;
    bool torn;
    const bool keep_open = options_.follow && current_is_base_ && !current_->file.compressed();
    if (current_->file.next_line(line, readable, !keep_open, torn)) {
      if (!take_line(*current_, line, readable, torn, nullptr)) stopped_ = true;
      return true;
    }
    report_end(*current_);
    if (keep_open && member_ >= set_.members.size()) return false;
    current_.reset();
  }
  return false;
}

const Record* SetReader::next() {
  if (has_handed_out_) {
    free_.push_back(handed_out_);
    has_handed_out_ = false;
  }
  while (in_order_size_ + late_.size() <= kReorderWindow && advance()) {
  }
  if (in_order_size_ == 0 && late_.empty()) return nullptr;
  // The earliest of the window: the ring's first or the heap's top.
  if (in_order_size_ > 0 &&
      (late_.empty() || later_than(late_.front(), in_order_[in_order_head_]))) {
    // The records wait a whole window, long enough to leave the cache:
    // fetch those that go out soon (a slot now, its line's bytes later).
    if (in_order_size_ > 16) {
      const Record& soon = slots_[in_order_[(in_order_head_ + 16) % kRingSize].slot];
      __builtin_prefetch(&soon.json_line);
      const std::string& line = slots_[in_order_[(in_order_head_ + 8) % kRingSize].slot].json_line;
      for (std::size_t at = 0; at < line.size(); at += 64) __builtin_prefetch(line.data() + at);
    }
    handed_out_ = in_order_[in_order_head_].slot;
    in_order_head_ = (in_order_head_ + 1) % kRingSize;
    --in_order_size_;
  } else {
    std::pop_heap(late_.begin(), late_.end(), later_than);
    handed_out_ = late_.back().slot;
    late_.pop_back();
  }
  has_handed_out_ = true;
  return &slots_[handed_out_];
}

void SetReader::follow(std::vector<Record>& out) {
  if (stopped_) return;
  struct stat status;
  const bool exists = ::stat(set_.base.c_str(), &status) == 0 && S_ISREG(status.st_mode);
  if (current_ && current_is_base_) {
    if (exists &&
        (status.st_ino != current_->file.inode() || status.st_dev != current_->file.device())) {
      // Renamed away by a rotation: what it holds comes before the new file.
      read_some(*current_, false, &out);
      current_->quiet_since_us = now_us();
      const ino_t renamed = current_->file.inode();
      retired_.push_back(std::move(current_));
      // Several rotations since the last look: the files between the one
      // that was followed and the new one, oldest first.
      const std::vector<std::string> members = set_members(set_.base);
      std::vector<std::string> missed;
      bool found = false;
      for (auto member = members.rbegin(); member != members.rend(); ++member) {
        if (*member == set_.base) continue;
        struct stat member_status;
        if (::stat(member->c_str(), &member_status) != 0) continue;
        if (member_status.st_ino == renamed) {
          found = true;
          break;
        }
        missed.push_back(*member);
      }
      if (found) {
        for (auto member = missed.rbegin(); member != missed.rend(); ++member) {
          if (std::unique_ptr<Open> open = open_member(*member)) {
            read_some(*open, true, &out);
            report_end(*open);
          }
        }
      }
    } else if (exists && status.st_size < current_->file.offset()) {
      // Copied and truncated: the new records start at the beginning.
      current_->file.rewind();
    }
  }
  if (!current_ && exists) {
    if (!followed_base_) {
      // The set appeared after the start: every file of it is new, the
      // rotated ones oldest first.
      for (const std::string& member : set_members(set_.base)) {
        if (member == set_.base) continue;
        if (std::unique_ptr<Open> open = open_member(member)) {
          read_some(*open, true, &out);
          report_end(*open);
        }
      }
    }
    current_ = open_member(set_.base);
    current_is_base_ = true;
    if (current_) followed_base_ = true;
  }
  const std::int64_t now = now_us();
  for (auto retired = retired_.begin(); retired != retired_.end();) {
    if (read_some(**retired, false, &out)) (*retired)->quiet_since_us = now;
    if (now - (*retired)->quiet_since_us > kRetiredQuietUs) {
      read_some(**retired, true, &out);
      retired = retired_.erase(retired);
    } else {
      ++retired;
    }
  }
  if (current_) read_some(*current_, false, &out);
}

}  // namespace eklog

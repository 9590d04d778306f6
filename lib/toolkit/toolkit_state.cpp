#include "toolkit_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "diagnostics.h"
#include "epoch.h"
#include "fork_handlers.h"
#include "journal/journal_sink.h"
#include "properties.h"
#include "runtime/block_cache.h"
#include "syslog/syslog_sink.h"

namespace gw {

namespace {

constexpr std::size_t kMaxConfigSize = 16 * 1024 * 1024;
constexpr std::size_t kKeptBufferCapacity = 64 * 1024;

const std::string* find_prop(const PropMap& props, std::string_view property) {
  const auto found = props.find(property);
  return found == props.end() ? nullptr : &found->second;
}

// The run-time value, else the configured (own or inherited) one.
std::optional<std::string_view> effective_value(const Object& object, const PropMap& props,
                                                const ConfigFile& config,
                                                std::string_view property) {
  if (const std::string* value = find_prop(props, property)) return std::string_view(*value);
  if (const ConfigFile::Entry* entry = config.lookup(object.name, property)) {
    return std::string_view(entry->value);
  }
  return std::nullopt;
}

// Names in a list separated by commas and/or white space.
std::vector<std::string_view> split_names(std::string_view text) {
  std::vector<std::string_view> names;
  std::size_t start = 0;
  const auto separator = [](char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
  };
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || separator(text[i])) {
      if (i > start) names.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return names;
}

bool parse_unsigned(std::string_view text, int base, unsigned long long max,
                    unsigned long long& value) {
  if (text.empty() || text.size() > 24) return false;
  const std::string copy(text);
  if (copy[0] == '-' || copy[0] == '+' || copy[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(copy.c_str(), &end, base);
  return errno == 0 && end == copy.c_str() + copy.size() && value <= max;
}

// The bounds of a file handler's numbers.  A rotation renames every kept
// file, so count bounds its cost; the limit's bound (1 PiB, far beyond any
// file) keeps sums of sizes far from overflowing.  A larger number is
// taken at the bound, with a report, since what was meant is plainly "many"
// or "huge".
constexpr unsigned long long kMostRotatedFiles = 10000;
constexpr unsigned long long kMostFileLimit = 1ULL << 50;
// A log file is data: its execute bits are never set.
constexpr unsigned long long kLogFileModeBits = 0666;

// A decimal number of digits alone; false for anything else.  A number
// above most, however long, gives most, with above set.
bool parse_bounded(std::string_view text, unsigned long long most, unsigned long long& value,
                   bool& above) {
  if (text.empty()) return false;
  value = 0;
  above = false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (above || value > (most - digit) / 10) {
      above = true;
    } else {
      value = value * 10 + digit;
    }
  }
  if (above) value = most;
  return true;
}

std::optional<std::int64_t> parse_limit(std::string_view text) {
  unsigned long long value = 0;
  bool above = false;
  if (!parse_bounded(text, kMostFileLimit, value, above)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<int> parse_count(std::string_view text) {
  unsigned long long value = 0;
  bool above = false;
  if (!parse_bounded(text, kMostRotatedFiles, value, above)) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<mode_t> parse_permissions(std::string_view text) {
  unsigned long long value = 0;
  if (!parse_unsigned(text, 8, 0777, value)) return std::nullopt;
  return static_cast<mode_t>(value & kLogFileModeBits);
}

// The first control character (a byte below 0x20, or 0x7f) of text, or -1.
// Such a byte in a file name makes a name that no listing shows as it is
// and that splits any line reporting it.
int control_character(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return byte;
  }
  return -1;
}

// True when a relative name has a ".." component, so that it would climb
// out of whatever directory it is placed in.
bool climbs(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::string_view component = name.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (component == "..") return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

// Properties whose change alters a View; the others are only stored.
bool shapes_view(ObjectKind kind, std::string_view property) {
  if (property == "className") return true;
  switch (kind) {
    case ObjectKind::kLogger:
      return property == "level" || property == "handlers";
    case ObjectKind::kHandler:
      return property == "level" || property == "formatter" || property == "fileName" ||
             property == "permissions" || property == "limit" || property == "count" ||
             property == "MPFileSemKey" || is_syslog_property(property);
    case ObjectKind::kFormatter:
      return false;
  }
  return false;
}

// From the runtime's allocator, since OruMemoryFree gives it back there.
char* copy_text(std::string_view text) {
  char* copy = static_cast<char*>(nxrt::allocate_text(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Replaces the object's run-time values with edit applied to a copy, with
// no lock: the library rewrites "product" before each trace record, from any
// thread.  The guard keeps the map being copied from being freed, so a
// successful compare-exchange cannot be fooled by a reused address.
template <typename Edit>
void edit_props(Object& object, Edit edit) {
  const PropMap* old_props;
  {
    EpochGuard guard;
    old_props = object.props.load();
    for (;;) {
      auto next = new PropMap(*old_props);
      edit(*next);
      next->find_labels();
      if (object.props.compare_exchange_strong(old_props, next)) break;
      delete next;  // old_props now holds the current map: edit that
    }
  }
  retire_local(old_props);
}

// True when the object's run-time value of property is value already; the
// library rewrites "product" before every trace record, mostly unchanged.
bool holds_value(const Object& object, const char* property, const char* value) {
  EpochGuard guard;
  const PropMap& props = *object.props.load();
  const auto found = props.find(std::string_view(property));
  return found != props.end() && found->second == value;
}

// Reads a regular file whole; false with the reason why not.  Opened
// without blocking, so that a FIFO or device put in place of the file is
// refused at once instead of being waited on.  Symbolic links are followed:
// configuration files often are links.
bool read_file(const char* path, std::string& text, std::string& reason) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reason = error_text(errno);
    return false;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    reason = error_text(errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = S_ISDIR(status.st_mode) ? error_text(EISDIR) : "it is not a regular file";
    ::close(fd);
    return false;
  }
  // O_NONBLOCK means nothing to a regular file's reads: it can stay set.
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      reason = error_text(errno);
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > kMaxConfigSize) {
      reason = error_text(EFBIG);
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

std::int64_t now_us() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);  // a vDSO call, not a system call
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The text in quotes, its control characters written \xHH, so that a
// report stays one line whatever the value holds.
std::string quoted(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out.append("\\x");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

// The run-time value of property when parse takes it, else the configured
// (own or inherited) one when parse takes that: a wrong run-time value is
// kept, but without effect.
template <typename Parse>
auto first_parsed(const Object& object, const PropMap& props, const ConfigFile& config,
                  std::string_view property, Parse parse) -> decltype(parse(std::string_view())) {
  if (const std::string* own = find_prop(props, property)) {
    if (auto parsed = parse(std::string_view(*own))) return parsed;
  }
  if (const ConfigFile::Entry* entry = config.lookup(object.name, property)) {
    if (auto parsed = parse(std::string_view(entry->value))) return parsed;
  }
  return std::nullopt;
}

}  // namespace

std::string_view effective_class(const Object& object, const PropMap& props,
                                 const ConfigFile& config) {
  const std::optional<std::string_view> named = effective_value(object, props, config, "className");
  ObjectKind kind;
  if (named && kind_of_class(*named, kind) && kind == object.kind) return *named;
  if (named) {
    // A run-time value that does not fit: the configured one may.
    if (const ConfigFile::Entry* entry = config.lookup(object.name, "className")) {
      if (kind_of_class(entry->value, kind) && kind == object.kind) return entry->value;
    }
  }
  return default_class(object.kind);
}

std::atomic<Toolkit*> Toolkit::instance_{nullptr};

Toolkit& Toolkit::create_instance() {
  // Leaked on purpose: other threads may log while the process exits.
  static Toolkit* toolkit = new Toolkit;
  instance_.store(toolkit, std::memory_order_release);
  return *toolkit;
}

Toolkit::Toolkit() : world_(new World) { install_fork_handlers(config_mutex_, handles_); }

Object* Toolkit::find_locked(std::string_view name) const {
  const auto found = names_.find(name);
  return found == names_.end() ? nullptr : object_at(found->second);
}

Object* Toolkit::create_locked(std::string_view name, ObjectKind kind) {
  std::atomic<Object*>* entry = objects_.make_entry(object_count_);
  if (entry == nullptr) return nullptr;
  auto object = new Object(std::string(name), kind, object_count_);
  entry->store(object, std::memory_order_release);
  names_.emplace(object->name, object_count_);
  ++object_count_;
  return object;
}

ObjectKind Toolkit::kind_for_name_locked(std::string_view name, const ConfigFile& config) const {
  if (const Object* object = find_locked(name)) return object->kind;
  ObjectKind kind;
  if (const ConfigFile::Entry* entry = config.lookup(name, "className")) {
    if (kind_of_class(entry->value, kind)) return kind;
  }
  kind_of_class(class_from_name(name), kind);
  return kind;
}

Object* Toolkit::resolve_locked(std::string_view name, ObjectKind kind, const ConfigFile& config) {
  if (Object* object = find_locked(name)) return object->kind == kind ? object : nullptr;
  if (!config.configures(name) || kind_for_name_locked(name, config) != kind) return nullptr;
  return create_locked(name, kind);
}

Toolkit::ValueCheck Toolkit::check_value_locked(std::string_view property, std::string_view value,
                                                const ConfigFile& config, bool from_file) const {
  const auto wrong = [](std::string problem) {
    return ValueCheck{ValueCheck::kWrong, std::move(problem)};
  };
  const auto adjusted = [&](const std::string& why, const std::string& applied) {
    return ValueCheck{ValueCheck::kAdjusted,
                      why + ": " + quoted(value) + " is taken as " + applied};
  };
  unsigned long long number = 0;
  bool above = false;
  ObjectKind kind;
  if (property == "level") {
    if (!parse_level(value)) return wrong("unknown level " + quoted(value));
  } else if (property == "className") {
    if (!kind_of_class(value, kind)) return wrong("unknown class " + quoted(value));
  } else if (property == "handlers" || property == "formatter") {
    const ObjectKind wanted =
        property == "handlers" ? ObjectKind::kHandler : ObjectKind::kFormatter;
    std::string problems;
    const std::vector<std::string_view> names = split_names(value);
    if (property == "formatter" && names.size() > 1) return wrong("names more than one formatter");
    for (std::string_view name : names) {
      std::string problem;
      if (!find_locked(name) && !config.configures(name)) {
        problem = "no object is named " + quoted(name);
      } else if (kind_for_name_locked(name, config) != wanted) {
        problem = quoted(name) + " is not a " + kind_text(wanted);
      }
      if (!problem.empty()) problems += (problems.empty() ? "" : "; ") + problem;
    }
    if (!problems.empty()) return wrong(problems);
  } else if (property == "limit" || property == "count") {
    const bool limit = property == "limit";
    const unsigned long long most = limit ? kMostFileLimit : kMostRotatedFiles;
    if (!parse_bounded(value, most, number, above)) {
      return wrong("not a non-negative decimal number: " + quoted(value));
    }
    if (above) {
      return adjusted(std::string(limit ? "more than " : "more rotated files than ") +
                          std::to_string(most) + (limit ? " bytes" : ""),
                      std::to_string(most));
    }
  } else if (property == "permissions") {
    if (!parse_unsigned(value, 8, 0777, number)) {
      return wrong("not octal permissions from 0 to 0777: " + quoted(value));
    }
    if ((number & ~kLogFileModeBits) != 0) {
      char applied[32];
      std::snprintf(applied, sizeof applied, "0%03llo", number & kLogFileModeBits);
      return adjusted("execute bits are never set on a log file", applied);
    }
  } else if (property == "fileName") {
    const int control = control_character(value);
    if (control >= 0) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%02x", control);
      return wrong(std::string("a file name cannot hold a control character (") + code +
                   "): " + quoted(value));
    }
    // Only the file's names: the library's own, set at run time, start with
    // its log directory, which is relative ("bin/../logs/...") when the
    // program's directory was given so.
    if (from_file && climbs(value)) {
      return wrong("a relative file name cannot have a \"..\" component: " + quoted(value));
    }
  } else if (is_syslog_property(property)) {
    if (std::string problem = check_syslog_property(property, value); !problem.empty()) {
      return wrong(std::move(problem));
    }
  }
  return {};
}

void Toolkit::check_config_locked(ConfigFile& config, std::vector<PropertyError>& errors) const {
  // Values first, so that references below are judged by the classes that
  // stay in effect.
  std::vector<std::pair<std::string, std::string>> wrong;
  for (const auto& [object, properties] : config.objects()) {
    for (const auto& [property, entry] : properties) {
      if (property == "handlers" || property == "formatter") continue;
      const ValueCheck check = check_value_locked(property, entry.value, config, true);
      if (check.outcome == ValueCheck::kRight) continue;
      errors.push_back({entry.line, object + "." + property + ": " + check.problem});
      // An adjusted value stays: it is adjusted again where it is applied.
      if (check.outcome == ValueCheck::kWrong) wrong.emplace_back(object, property);
    }
  }
  for (const auto& [object, property] : wrong) config.remove(object, property);
  // A handlers line with some wrong names keeps the others; a wrong
  // formatter line is ignored, which resolution does by itself.
  for (const auto& [object, properties] : config.objects()) {
    for (const auto& [property, entry] : properties) {
      if (property != "handlers" && property != "formatter") continue;
      const ValueCheck check = check_value_locked(property, entry.value, config, true);
      if (check.outcome != ValueCheck::kRight)
        errors.push_back({entry.line, object + "." + property + ": " + check.problem});
    }
  }
}

void Toolkit::drop_changed_overrides_locked(const ConfigFile& before, const ConfigFile& after) {
  // Run-time values may be replaced by other threads meanwhile (no lock).
  EpochGuard guard;
  for (std::uint32_t index = 0; index < object_count_; ++index) {
    Object& object = *object_at(index);
    const PropMap* props = object.props.load();
    std::vector<std::string> dropped;
    for (const auto& [property, value] : *props) {
      const ConfigFile::Entry* old_entry = before.lookup(object.name, property);
      const ConfigFile::Entry* new_entry = after.lookup(object.name, property);
      const bool same =
          (old_entry == nullptr && new_entry == nullptr) ||
          (old_entry != nullptr && new_entry != nullptr && old_entry->value == new_entry->value);
      if (!same) dropped.push_back(property);
    }
    if (dropped.empty()) continue;
    edit_props(object, [&](PropMap& next) {
      for (const std::string& property : dropped) next.erase(property);
    });
  }
}

const RecordFormatter* Toolkit::implementation_locked(Object& formatter,
                                                      std::string_view class_name) {
  auto found = formatter.implementations.find(class_name);
  if (found == formatter.implementations.end()) {
    found = formatter.implementations
                .emplace(std::string(class_name), make_record_formatter(class_name))
                .first;
    if (found->second == nullptr) {
      report(formatter.name + ": no formatter implements class " + quoted(class_name) +
             ": its handlers drop their records");
    }
  }
  return found->second.get();
}

std::shared_ptr<const View> Toolkit::build_view_locked(Object& object, const ConfigFile& config,
                                                       const PropMap& props) {
  auto view = std::make_shared<View>();
  view->class_name = std::string(effective_class(object, props, config));
  const auto value = [&](std::string_view property) {
    return effective_value(object, props, config, property);
  };
  // A run-time value that does not parse gives way to the configured one.
  const auto level_or = [&](int fallback) {
    return first_parsed(object, props, config, "level", parse_level).value_or(fallback);
  };
  switch (object.kind) {
    case ObjectKind::kLogger: {
      LoggerView& logger = view->logger;
      logger.level = level_or(kLevelInfo);
      if (const std::optional<std::string_view> names = value("handlers")) {
        for (std::string_view name : split_names(*names)) {
          Object* handler = resolve_locked(name, ObjectKind::kHandler, config);
          if (handler != nullptr && std::find(logger.handlers.begin(), logger.handlers.end(),
                                              handler->index) == logger.handlers.end()) {
            logger.handlers.push_back(handler->index);
          }
        }
      }
      if (const ConfigFile::Entry* entry = config.lookup(object.name, "product")) {
        logger.product = entry->value;
      }
      if (const ConfigFile::Entry* entry = config.lookup(object.name, "component")) {
        logger.component = entry->value;
      }
      break;
    }
    case ObjectKind::kHandler: {
      HandlerView& handler = view->handler;
      handler.level = level_or(kLevelAll);
      if (const std::optional<std::string_view> name = value("formatter")) {
        if (Object* formatter = resolve_locked(*name, ObjectKind::kFormatter, config)) {
          handler.formatter = formatter->index;
        }
      }
      if (effective_class(object, props, config) == kSyslogHandlerClass) {
        // The syslog handler (syslog/syslog_sink.h): a new socket only when
        // its settings change, so that a re-read keeps the connection.
        const SyslogSettings settings = syslog_settings(value);
        if (object.syslog_sink == nullptr || object.syslog_sink->settings() != settings) {
          object.syslog_sink = std::make_shared<SyslogSink>(object.name, settings);
        }
        static const RecordFormatter* const message_formatter =
            make_record_formatter(kSyslogMessageFormat).release();
        handler.sink = object.syslog_sink;
        handler.default_formatter = message_formatter;
        object.sink.reset();
        object.sink_key.clear();
        break;
      }
      object.syslog_sink.reset();
      if (effective_class(object, props, config) == kJournalHandlerClass) {
        // The journal handler (journal/journal_sink.h), kept as the syslog
        // handler's socket is while its settings stay.
        const JournalSettings settings = journal_settings(value);
        if (object.journal_sink == nullptr || object.journal_sink->settings() != settings) {
          object.journal_sink = std::make_shared<JournalSink>(object.name, settings);
        }
        handler.sink = object.journal_sink;
        handler.default_formatter = journal_message_formatter();
        object.sink.reset();
        object.sink_key.clear();
        break;
      }
      object.journal_sink.reset();
      if (effective_class(object, props, config) == kConsoleHandlerClass) {
        handler.sink = console_sink();
        object.sink.reset();
        object.sink_key.clear();
        break;
      }
      const mode_t permissions =
          first_parsed(object, props, config, "permissions", parse_permissions)
              .value_or(kDefaultFilePermissions);
      FileSinkOptions options;
      options.owner = object.name;
      // A refused name (the file's were dropped when it was read) leaves
      // the handler without a file, not with the configured one.
      options.path = std::string(value("fileName").value_or(std::string_view()));
      if (control_character(options.path) >= 0) options.path.clear();
      options.permissions = permissions;
      options.limit = first_parsed(object, props, config, "limit", parse_limit).value_or(0);
      options.count = first_parsed(object, props, config, "count", parse_count).value_or(0);
      if (const std::optional<std::string_view> text = value("MPFileSemKey")) {
        // Set by the library as a signed int; -1 is ftok's failure.
        char* end = nullptr;
        const std::string copy(*text);
        errno = 0;
        const long key = std::strtol(copy.c_str(), &end, 10);
        if (errno == 0 && !copy.empty() && *end == '\0' && key >= INT32_MIN && key <= INT32_MAX) {
          options.key = static_cast<key_t>(key);
        }
      }
      std::string key = options.path;
      for (long long part :
           {static_cast<long long>(permissions), static_cast<long long>(options.limit),
            static_cast<long long>(options.count), static_cast<long long>(options.key)}) {
        key.push_back('\0');
        key.append(std::to_string(part));
      }
      // A file that could not be opened is tried again at the next change.
      if (object.sink == nullptr || object.sink_key != key || object.sink->failed()) {
        object.sink = std::make_shared<FileSink>(std::move(options));
        object.sink_key = key;
      }
      handler.sink = object.sink;
      break;
    }
    case ObjectKind::kFormatter:
      view->formatter.implementation =
          implementation_locked(object, effective_class(object, props, config));
      break;
  }
  return view;
}

void Toolkit::rebuild_locked(std::shared_ptr<const ConfigFile> config, bool open, bool full,
                             Object* changed) {
  const World* old_world = world();
  auto next = new World;
  next->open = open;
  next->config = std::move(config);
  if (open) {
    EpochGuard guard;  // for the run-time values read while building views
    static const RecordFormatter* const default_formatter =
        make_record_formatter(kBasicFormatterClass).release();
    next->default_formatter = default_formatter;
    if (!full && old_world->open) next->views = old_world->views;
    if (changed != nullptr && changed->index < next->views.size()) {
      next->views[changed->index] =
          build_view_locked(*changed, *next->config, *changed->props.load());
    }
    // Building a view may create the objects it names: the bound grows.
    for (std::uint32_t index = static_cast<std::uint32_t>(next->views.size());
         index < object_count_; ++index) {
      Object& object = *object_at(index);
      next->views.push_back(build_view_locked(object, *next->config, *object.props.load()));
    }
  } else {
    for (std::uint32_t index = 0; index < object_count_; ++index) {
      Object& object = *object_at(index);
      object.sink.reset();
      object.sink_key.clear();
      object.syslog_sink.reset();
      object.journal_sink.reset();
    }
  }
  world_.store(next);
  for (std::uint32_t index = 0; index < object_count_; ++index) {
    Object& object = *object_at(index);
    if (object.kind != ObjectKind::kLogger) continue;
    int threshold = kLevelOff;
    if (open) {
      const LoggerView& logger = next->views[index]->logger;
      if (logger.level != kLevelOff) {
        for (std::uint32_t handler : logger.handlers) {
          const int level = next->views[handler]->handler.level;
          if (level != kLevelOff) threshold = std::min(threshold, std::max(level, logger.level));
        }
      }
    }
    object.threshold.store(threshold, std::memory_order_relaxed);
  }
  handles_.set_gates([this](std::uint32_t index) { return gate_threshold(*object_at(index)); });
  retire_global(old_world);
  reclaim_global();
}

int Toolkit::open(const char* path) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  if (path == nullptr) {
    report("GwOpenToolkit: no configuration file given");
    return 0;
  }
  std::string text;
  std::string reason;
  if (!read_file(path, text, reason)) {
    report(std::string("cannot read ") + path + ": " + reason);
    return 0;
  }
  const ParsedProperties parsed = parse_properties(text);
  std::vector<PropertyError> errors = parsed.errors;
  auto config = std::make_shared<ConfigFile>(ConfigFile::from(parsed, errors));
  check_config_locked(*config, errors);
  std::stable_sort(errors.begin(), errors.end(),
                   [](const PropertyError& a, const PropertyError& b) { return a.line < b.line; });
  for (const PropertyError& wrong : errors) report_at(path, wrong.line, wrong.message);
  if (configured_) drop_changed_overrides_locked(*world()->config, *config);
  configured_ = true;
  rebuild_locked(std::move(config), true, true, nullptr);
  return 1;
}

int Toolkit::close() {
  std::lock_guard<std::mutex> lock(config_mutex_);
  const bool was_open = world()->open;
  rebuild_locked(world()->config, false, true, nullptr);
  // Wait until no thread writes through the old outputs, which closes them.
  synchronize_and_reclaim();
  return was_open ? 1 : 0;
}

std::uintptr_t Toolkit::get_object(const char* name, const char* class_name) {
  if (name == nullptr) return 0;
  if (class_name != nullptr && *class_name == '\0') class_name = nullptr;
  std::lock_guard<std::mutex> lock(config_mutex_);
  ObjectKind kind;
  if (class_name != nullptr && !kind_of_class(class_name, kind)) {
    report(std::string(name) + ": unknown class " + quoted(class_name));
    return 0;
  }
  Object* object = find_locked(name);
  if (object == nullptr) {
    const ConfigFile& config = *world()->config;
    std::string_view chosen =
        class_name != nullptr ? std::string_view(class_name) : class_from_name(name);
    if (class_name == nullptr) {
      if (const ConfigFile::Entry* entry = config.lookup(name, "className")) {
        if (kind_of_class(entry->value, kind)) chosen = entry->value;
      }
    }
    kind_of_class(chosen, kind);
    object = create_locked(name, kind);
    if (object == nullptr) {
      report(std::string(name) + ": too many objects");
      return 0;
    }
    if (class_name != nullptr) {
      edit_props(*object, [&](PropMap& props) { props["className"] = class_name; });
    }
    if (world()->open) rebuild_locked(world()->config, true, false, nullptr);
  } else if (class_name != nullptr && kind != object->kind) {
    report(std::string(name) + ": is a " + kind_text(object->kind) + ", not of class " +
           quoted(class_name));
  }
  const std::uintptr_t handle = handles_.acquire(object->index, object, gate_threshold(*object));
  if (handle == 0) report(std::string(name) + ": too many handles");
  return handle;
}

int Toolkit::release(std::uintptr_t handle) { return handles_.release(handle) ? 1 : 0; }

char* Toolkit::get_property(std::uintptr_t handle, const char* property, unsigned char* found) {
  const Object* object = object_of(handle);
  if (object == nullptr || property == nullptr) return nullptr;
  EpochGuard guard;
  const PropMap& props = *object->props.load();
  const World& current = *world();
  const ConfigFile& config = *current.config;
  std::optional<std::string_view> value;
  std::string dropped;
  if (std::strcmp(property, "className") == 0) {
    // Resolved when the view was built: a class changes only with a new view.
    value = current.open && object->index < current.views.size()
                ? std::string_view(current.views[object->index]->class_name)
                : effective_class(*object, props, config);
  } else if (object->kind == ObjectKind::kHandler && std::strcmp(property, "droppedRecords") == 0) {
    dropped = std::to_string(object->dropped_records.load(std::memory_order_relaxed));
    value = dropped;
  } else {
    value = effective_value(*object, props, config, property);
  }
  if (!value) return nullptr;
  char* text = copy_text(*value);
  if (text != nullptr && found != nullptr) *found = 1;
  return text;
}

int Toolkit::set_property(std::uintptr_t handle, const char* property, const char* value) {
  Object* object = object_of(handle);
  if (object == nullptr || property == nullptr || *property == '\0') return 0;
  const auto store = [&](PropMap& props) {
    if (value == nullptr) {
      props.erase(std::string(property));
    } else {
      props[property] = value;
    }
  };
  if (!shapes_view(object->kind, property)) {
    if (value == nullptr || !holds_value(*object, property, value)) edit_props(*object, store);
    return 1;
  }
  std::lock_guard<std::mutex> lock(config_mutex_);
  const ConfigFile& config = *world()->config;
  if (value != nullptr) {
    ValueCheck check = check_value_locked(property, value, config, false);
    ObjectKind kind;
    if (check.outcome == ValueCheck::kRight && std::strcmp(property, "className") == 0 &&
        kind_of_class(value, kind) && kind != object->kind) {
      check = {ValueCheck::kWrong, std::string("class ") + quoted(value) + " is not a " +
                                       kind_text(object->kind) + " class"};
    }
    if (check.outcome == ValueCheck::kAdjusted) {
      report(object->name + "." + property + ": " + check.problem);
    } else if (check.outcome == ValueCheck::kWrong) {
      // A wrong file name is not replaced by the configured one, which
      // would put the records somewhere the caller did not mean.
      report(object->name + "." + property + ": " + check.problem +
             (std::strcmp(property, "fileName") == 0 ? " (kept, but the handler has no file)"
                                                     : " (kept, but without effect)"));
    }
  }
  edit_props(*object, store);
  if (world()->open) rebuild_locked(world()->config, true, false, object);
  return 1;
}

std::uintptr_t Toolkit::handler_formatter(std::uintptr_t handle) {
  Object* handler = object_of(handle);
  if (handler == nullptr || handler->kind != ObjectKind::kHandler) return 0;
  std::lock_guard<std::mutex> lock(config_mutex_);
  EpochGuard guard;
  const ConfigFile& config = *world()->config;
  const std::optional<std::string_view> name =
      effective_value(*handler, *handler->props.load(), config, "formatter");
  if (!name) return 0;
  Object* formatter = resolve_locked(*name, ObjectKind::kFormatter, config);
  if (formatter == nullptr) return 0;
  if (world()->open && formatter->index >= world()->views.size()) {
    rebuild_locked(world()->config, true, false, nullptr);
  }
  return handles_.acquire(formatter->index, formatter);
}

int Toolkit::set_handler_formatter(std::uintptr_t handler_handle, std::uintptr_t formatter_handle) {
  const Object* handler = object_of(handler_handle);
  const Object* formatter = object_of(formatter_handle);
  if (handler == nullptr || formatter == nullptr || handler->kind != ObjectKind::kHandler ||
      formatter->kind != ObjectKind::kFormatter) {
    return 0;
  }
  return set_property(handler_handle, "formatter", formatter->name.c_str());
}

const char* Toolkit::handler_frame(std::uintptr_t handle, bool trailer) {
  Object* handler = object_of(handle);
  if (handler == nullptr || handler->kind != ObjectKind::kHandler) return nullptr;
  std::lock_guard<std::mutex> lock(config_mutex_);
  EpochGuard guard;
  const ConfigFile& config = *world()->config;
  const std::optional<std::string_view> name =
      effective_value(*handler, *handler->props.load(), config, "formatter");
  if (!name) return nullptr;
  Object* formatter = resolve_locked(*name, ObjectKind::kFormatter, config);
  if (formatter == nullptr) return nullptr;
  if (world()->open && formatter->index >= world()->views.size()) {
    rebuild_locked(world()->config, true, false, nullptr);
  }
  const RecordFormatter* implementation = implementation_locked(
      *formatter, effective_class(*formatter, *formatter->props.load(), config));
  if (implementation == nullptr) return nullptr;
  return trailer ? implementation->trailer() : implementation->header();
}

int Toolkit::log(std::uintptr_t handle, Record& record, bool level_test) {
  const Object* logger = object_of(handle);
  if (logger == nullptr || logger->kind != ObjectKind::kLogger) return 0;
  const int threshold = logger->threshold.load(std::memory_order_relaxed);
  if (threshold == kLevelOff || (level_test && record.level < threshold)) return 0;

  EpochGuard guard;
  const World& world = *world_.load();
  if (!world.open || logger->index >= world.views.size()) return 0;
  const LoggerView& view = world.views[logger->index]->logger;
  if (view.level == kLevelOff || (level_test && record.level < view.level)) return 0;

  record.time_us = now_us();
  record.logger = logger->name;
  const PropMap& props = *logger->props.load();
  record.product = props.product != nullptr ? *props.product : view.product;
  record.component = props.component != nullptr ? *props.component : view.component;

  thread_local std::string buffer;
  const RecordFormatter* rendered_by = nullptr;
  int written = 0;
  for (std::uint32_t index : view.handlers) {
    const HandlerView& handler = world.views[index]->handler;
    if (!level_passes(handler.level, record.level)) continue;
    const RecordFormatter* formatter =
        handler.formatter != kNoIndex ? world.views[handler.formatter]->formatter.implementation
        : handler.default_formatter != nullptr ? handler.default_formatter
                                               : world.default_formatter;
    if (formatter == nullptr) continue;
    if (formatter != rendered_by) {
      buffer.clear();
      formatter->format(record, buffer);
      rendered_by = formatter;
    }
    if (handler.sink->write_record(record, buffer, formatter->header(), formatter->trailer())) {
      ++written;
    } else if (Object* handler_object = object_at(index)) {
      handler_object->dropped_records.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (buffer.capacity() > kKeptBufferCapacity) {
    buffer.clear();
    buffer.shrink_to_fit();
  }
  return written > 0 ? 1 : 0;
}

}  // namespace gw

#include "toolkit/toolkit_state.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "toolkit/clock.h"
#include "toolkit/diagnostics.h"
#include "toolkit/epoch.h"
#include "toolkit/fork_handlers.h"
#include "toolkit/journal/journal_sink.h"
#include "toolkit/os.h"
#include "toolkit/properties.h"
#include "toolkit/property_values.h"
#include "toolkit/syslog/syslog_sink.h"

namespace gw {

namespace {

// The base of the next map made by an edit (PropMap::base).
std::atomic<std::uint64_t> g_next_props_base{0};

constexpr std::size_t kMaxConfigSize = 16 * 1024 * 1024;
constexpr std::size_t kKeptBufferCapacity = 64 * 1024;

// Properties whose change alters a View; the others are only stored.
bool shapes_view(ObjectKind kind, std::string_view property) {
  if (property == "className") return true;
  switch (kind) {
    case ObjectKind::kLogger:
      return property == "level" || property == "handlers";
    case ObjectKind::kHandler:
      return property == "level" || property == "formatter" || property == "fileName" ||
             property == "permissions" || property == "limit" || property == "count" ||
             property == "staging" || property == "flushDelay" || property == "MPFileSemKey" ||
             property == "rotate" || property == "maxAge" || property == "compress" ||
             property == "delayCompress" || is_syslog_property(property);
    case ObjectKind::kFormatter:
      return false;
  }
  return false;
}

// A block of malloc's own: the callers free it with the runtime's
// OruMemoryFree, which takes any malloc'd block, so the toolkit runs over
// any runtime library that keeps that promise.
char* copy_text(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
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
      next->base = g_next_props_base.fetch_add(1) + 1;
      if (object.props.compare_exchange_strong(old_props, next)) break;
      delete next;  // old_props now holds the current map: edit that
    }
  }
  if (!old_props->variant) retire_local(old_props);
}

// Makes the object's "product" value at once, when the map for it is one
// of its variants already or can become one: with two threads decorating
// records of one logger, "product" changes at every record, and a copy of
// the map each time would be most of the record's cost.  False when the
// value must go the long way (too many values; a concurrent edit).
bool switch_product(Object& object, const char* value) {
  constexpr std::size_t kMostVariants = 16;
  std::lock_guard<std::mutex> hold(object.variants_mutex);
  EpochGuard guard;
  const PropMap* current = object.props.load();
  if (!object.variants.empty() && object.variants.front()->base != current->base) {
    // Another value changed: the variants are of an older map, and none is
    // current (readers that hold one are covered by the epoch).
    for (const PropMap* old : object.variants) retire_local(old);
    object.variants.clear();
  }
  const PropMap* chosen = nullptr;
  for (const PropMap* variant : object.variants) {
    if (variant->product != nullptr && *variant->product == value) chosen = variant;
  }
  if (chosen == nullptr) {
    if (object.variants.size() >= kMostVariants) return false;
    auto made = new PropMap(*current);
    (*made)["product"] = value;
    made->find_labels();
    made->base = current->base;
    made->variant = true;
    object.variants.push_back(made);
    chosen = made;
  }
  if (!object.props.compare_exchange_strong(current, chosen)) return false;
  if (!current->variant) retire_local(current);
  return true;
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
bool read_file(const char* path, std::string& text, std::string& reason, struct stat& status) {
  const int fd = os().open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reason = error_text(errno);
    return false;
  }
  if (os().fstat(fd, &status) != 0) {
    reason = error_text(errno);
    os().close(fd);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = S_ISDIR(status.st_mode) ? error_text(EISDIR) : "it is not a regular file";
    os().close(fd);
    return false;
  }
  // O_NONBLOCK means nothing to a regular file's reads: it can stay set.
  char buffer[65536];
  for (;;) {
    const ssize_t got = os().read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      reason = error_text(errno);
      os().close(fd);
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > kMaxConfigSize) {
      reason = error_text(EFBIG);
      os().close(fd);
      return false;
    }
  }
  os().close(fd);
  return true;
}

}  // namespace

std::atomic<Toolkit*> Toolkit::instance_{nullptr};

Toolkit& Toolkit::create_instance() {
  // Leaked on purpose: other threads may log while the process exits.
  static Toolkit* toolkit = new Toolkit;
  instance_.store(toolkit, std::memory_order_release);
  return *toolkit;
}

Toolkit::Toolkit() : world_(new World) {
  install_fork_handlers(config_mutex_, handles_);
  // Registered after the toolkit's fork handlers, so that in the child it
  // runs once they have released the locks.
  pthread_atfork(nullptr, nullptr, [] { instance().restart_watcher_in_child(); });
}

Object* Toolkit::find_locked(std::string_view name) const {
  const auto found = names_.find(name);
  return found == names_.end() ? nullptr : object_at(found->second);
}

Object* Toolkit::create_locked(std::string_view name, ObjectKind kind) {
  std::atomic<Object*>* entry = objects_.make(object_count_);
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

int Toolkit::open(const char* path) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  if (path == nullptr) {
    report("GwOpenToolkit: no configuration file given");
    return 0;
  }
  return read_config_locked(path, Reading::kOpen);
}

int Toolkit::read_config_locked(const char* path, Reading reading) {
  std::string text;
  std::string reason;
  struct stat status;
  if (!read_file(path, text, reason, status)) {
    report(std::string("cannot read ") + path + ": " + reason);
    if (reading == Reading::kWatched) {
      // Reported once: the watcher looks again only when this changes.
      struct stat now;
      read_identity_ =
          os().stat(path, &now) == 0 ? FileIdentity::of(now) : FileIdentity::missing(errno);
    }
    return 0;
  }
  const ParsedProperties parsed = parse_properties(text);
  std::vector<PropertyError> errors = parsed.errors;
  auto config = std::make_shared<ConfigFile>(ConfigFile::from(parsed, errors));
  // Judged before the checks drop a wrong value: a wrong interval keeps the
  // one in effect rather than stopping the watcher that would read its fix.
  unsigned long long interval = 0;
  if (const ConfigFile::Entry* entry = config->own(kToolkitSettingsName, "reloadInterval")) {
    bool above = false;
    if (!parse_bounded(entry->value, kMostReloadInterval, interval, above)) {
      interval = reload_interval_;
    }
  }
  check_config_locked(*config, errors);
  std::stable_sort(errors.begin(), errors.end(),
                   [](const PropertyError& a, const PropertyError& b) { return a.line < b.line; });
  for (const PropertyError& wrong : errors) report_at(path, wrong.line, wrong.message);
  std::string changes;
  if (reading == Reading::kWatched) changes = config->changes_from(*world()->config);
  if (configured_) drop_changed_overrides_locked(*world()->config, *config);
  configured_ = true;
  rebuild_locked(std::move(config), Rebuild::kEveryView);
  if (reading == Reading::kWatched) {
    report("re-read " + std::string(path) + ": " +
           (changes.empty() ? std::string("no setting changed") : changes));
  }
  watched_path_ = path;
  read_identity_ = FileIdentity::of(status);
  unsettled_.reset();
  watch_locked(interval);
  return 1;
}

int Toolkit::close() {
  std::lock_guard<std::mutex> lock(config_mutex_);
  const bool was_open = world()->open;
  watch_locked(0);
  rebuild_locked(world()->config, Rebuild::kClose);
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
    refresh_locked();
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
    std::uint64_t count = object->dropped_records.load(std::memory_order_relaxed);
    {
      // With the records a staged file lost after their calls returned.
      std::lock_guard<std::mutex> lock(config_mutex_);
      if (object->sink != nullptr) count += object->sink->dropped_after_return();
    }
    dropped = std::to_string(count);
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
    if (value == nullptr || !holds_value(*object, property, value)) {
      if (value == nullptr || std::strcmp(property, "product") != 0 ||
          !switch_product(*object, value)) {
        edit_props(*object, store);
      }
    }
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
  refresh_locked(object);
  return 1;
}

Object* Toolkit::formatter_of_locked(const Object& handler) {
  const ConfigFile& config = *world()->config;
  const std::optional<std::string_view> name =
      effective_value(handler, *handler.props.load(), config, "formatter");
  if (!name) return nullptr;
  Object* formatter = resolve_locked(*name, ObjectKind::kFormatter, config);
  // Named here first: it needs a view of its own.
  if (formatter != nullptr && formatter->index >= world()->views.size()) refresh_locked();
  return formatter;
}

std::uintptr_t Toolkit::handler_formatter(std::uintptr_t handle) {
  const Object* handler = object_of(handle);
  if (handler == nullptr || handler->kind != ObjectKind::kHandler) return 0;
  std::lock_guard<std::mutex> lock(config_mutex_);
  EpochGuard guard;
  Object* formatter = formatter_of_locked(*handler);
  return formatter == nullptr ? 0 : handles_.acquire(formatter->index, formatter);
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

const char* Toolkit::handler_frame(std::uintptr_t handle, Frame frame) {
  const Object* handler = object_of(handle);
  if (handler == nullptr || handler->kind != ObjectKind::kHandler) return nullptr;
  std::lock_guard<std::mutex> lock(config_mutex_);
  EpochGuard guard;
  Object* formatter = formatter_of_locked(*handler);
  if (formatter == nullptr) return nullptr;
  const RecordFormatter* implementation = implementation_locked(
      *formatter, effective_class(*formatter, *formatter->props.load(), *world()->config));
  if (implementation == nullptr) return nullptr;
  return frame == Frame::kTrailer ? implementation->trailer() : implementation->header();
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

  record.time_us = realtime_us();
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

// What the configuration makes of each object: a logger's level and
// handlers, a handler's level, formatter and sink, a formatter's
// implementation, built into one World and published with one swap.
// Members of Toolkit, called with config_mutex_ held (toolkit_state.h).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "toolkit/diagnostics.h"
#include "toolkit/epoch.h"
#include "toolkit/file_sink.h"
#include "toolkit/journal/journal_sink.h"
#include "toolkit/property_values.h"
#include "toolkit/syslog/syslog_sink.h"
#include "toolkit/toolkit_state.h"

namespace gw {

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

namespace {

// A file handler's settings, each parsed once; a run-time value that does
// not parse gives way to the configured one.
FileSinkOptions file_sink_options(const Object& object, const PropMap& props,
                                  const ConfigFile& config) {
  FileSinkOptions options;
  options.owner = object.name;
  // A refused name (the file's were dropped when it was read) leaves the
  // handler without a file, not with the configured one.
  options.path =
      std::string(effective_value(object, props, config, "fileName").value_or(std::string_view()));
  if (control_character(options.path) >= 0) options.path.clear();
  options.permissions = first_parsed(object, props, config, "permissions", parse_permissions)
                            .value_or(kDefaultFilePermissions);
  options.limit = first_parsed(object, props, config, "limit", parse_limit).value_or(0);
  options.count = first_parsed(object, props, config, "count", parse_count).value_or(0);
  options.rotate =
      first_parsed(object, props, config, "rotate", parse_rotate).value_or(RotateEvery::kNever);
  options.max_age_days = first_parsed(object, props, config, "maxAge", parse_max_age).value_or(0);
  options.compress =
      first_parsed(object, props, config, "compress", parse_compress).value_or(false);
  options.delay_compress =
      first_parsed(object, props, config, "delayCompress", parse_switch).value_or(false);
  options.staging = first_parsed(object, props, config, "staging", parse_staging).value_or(0);
  options.flush_delay_ms =
      first_parsed(object, props, config, "flushDelay", parse_flush_delay).value_or(5);
  if (const auto text = effective_value(object, props, config, "MPFileSemKey")) {
    // Set by the library as a signed int; -1 is ftok's failure.
    char* end = nullptr;
    const std::string copy(*text);
    errno = 0;
    const long key = std::strtol(copy.c_str(), &end, 10);
    if (errno == 0 && !copy.empty() && *end == '\0' && key >= INT32_MIN && key <= INT32_MAX) {
      options.key = static_cast<key_t>(key);
    }
  }
  return options;
}

// The settings that make one file sink: a change of any gives a new one.
std::string identity_of(const FileSinkOptions& options) {
  std::string key = options.path;
  for (long long part :
       {static_cast<long long>(options.permissions), static_cast<long long>(options.limit),
        static_cast<long long>(options.count), static_cast<long long>(options.key),
        static_cast<long long>(options.rotate), static_cast<long long>(options.max_age_days),
        static_cast<long long>(options.compress), static_cast<long long>(options.delay_compress),
        static_cast<long long>(options.staging), static_cast<long long>(options.flush_delay_ms)}) {
    key.push_back('\0');
    key.append(std::to_string(part));
  }
  return key;
}

}  // namespace

std::shared_ptr<const View> Toolkit::build_view_locked(Object& object, const ConfigFile& config,
                                                       const PropMap& props) {
  auto view = std::make_shared<View>();
  view->class_name = std::string(effective_class(object, props, config));
  const std::string_view class_name = view->class_name;
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
      if (class_name == kSyslogHandlerClass) {
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
      if (class_name == kJournalHandlerClass) {
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
      if (class_name == kConsoleHandlerClass) {
        handler.sink = console_sink();
        object.sink.reset();
        object.sink_key.clear();
        break;
      }
      FileSinkOptions options = file_sink_options(object, props, config);
      const std::string key = identity_of(options);
      // A file that could not be opened is tried again at the next change.
      if (object.sink == nullptr || object.sink_key != key || object.sink->failed()) {
        object.sink = std::make_shared<FileSink>(std::move(options));
        object.sink_key = key;
      }
      handler.sink = object.sink;
      break;
    }
    case ObjectKind::kFormatter:
      view->formatter.implementation = implementation_locked(object, class_name);
      break;
  }
  return view;
}

void Toolkit::rebuild_locked(std::shared_ptr<const ConfigFile> config, Rebuild what,
                             Object* changed) {
  const World* old_world = world();
  const bool open = what != Rebuild::kClose;
  auto next = new World;
  next->open = open;
  next->config = std::move(config);
  if (open) {
    EpochGuard guard;  // for the run-time values read while building views
    static const RecordFormatter* const default_formatter =
        make_record_formatter(kBasicFormatterClass).release();
    next->default_formatter = default_formatter;
    if (what == Rebuild::kAddedViews && old_world->open) next->views = old_world->views;
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

}  // namespace gw

// The toolkit's judgement of configured and run-time values: what is
// wrong (reported and dropped) and what applies adjusted (reported).  Members of Toolkit, called
// with config_mutex_ held (toolkit_state.h).
#include <algorithm>
#include <cstdio>

#include "toolkit/diagnostics.h"
#include "toolkit/epoch.h"
#include "toolkit/file_sink.h"
#include "toolkit/journal/journal_sink.h"
#include "toolkit/property_values.h"
#include "toolkit/syslog/rfc5424.h"
#include "toolkit/syslog/syslog_sink.h"
#include "toolkit/toolkit_state.h"

namespace gw {

namespace {

// The numbers a value must be, and how a report names them.
struct NumberProperty {
  std::string_view name;
  unsigned long long most;  // a larger one is taken as this
  const char* counted;      // what the number counts, for "not a ... number"
  const char* above;        // "more ... than " most
  const char* unit;
};
constexpr NumberProperty kNumberProperties[] = {
    {"limit", kMostFileLimit, "", "more than ", " bytes"},
    {"count", kMostRotatedFiles, "", "more rotated files than ", ""},
    {"staging", kMostStagingBytes, "", "more than ", " bytes"},
    {"flushDelay", kMostFlushDelayMs, "", "more than ", " ms"},
    {"maxAge", kMostMaxAgeDays, " of days", "more than ", " days"},
    {"reloadInterval", kMostReloadInterval, " of seconds", "more than ", " seconds"},
};

const NumberProperty* number_property(std::string_view property) {
  for (const NumberProperty& rule : kNumberProperties) {
    if (rule.name == property) return &rule;
  }
  return nullptr;
}

}  // namespace

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
  if (const NumberProperty* rule = number_property(property)) {
    if (!parse_bounded(value, rule->most, number, above)) {
      return wrong(std::string("not a non-negative decimal number") + rule->counted + ": " +
                   quoted(value));
    }
    if (above) {
      return adjusted(std::string(rule->above) + std::to_string(rule->most) + rule->unit,
                      std::to_string(rule->most));
    }
  } else if (property == "level") {
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
  } else if (property == "rotate") {
    if (!parse_rotate(value)) return wrong("not daily, hourly or none: " + quoted(value));
  } else if (property == "compress") {
    if (!parse_compress(value)) return wrong("not gzip or none: " + quoted(value));
  } else if (property == "delayCompress") {
    if (!parse_switch(value)) return wrong("not 1, 0, true or false: " + quoted(value));
  } else if (property == "permissions") {
    if (!parse_unsigned(value, 8, 0777, number)) {
      return wrong("not octal permissions from 0 to 0777: " + quoted(value));
    }
    if ((number & ~kLogFileModeMask) != 0) {
      char applied[32];
      std::snprintf(applied, sizeof applied, "0%03llo", number & kLogFileModeMask);
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
  } else if (property == "MPFileSemKey") {
    if (!parse_ipc_key(value)) return wrong("not an IPC key (a decimal int): " + quoted(value));
  } else if (is_syslog_property(property)) {
    if (std::string problem = check_syslog_property(property, value); !problem.empty()) {
      return wrong(std::move(problem));
    }
  }
  return {};
}

unsigned Toolkit::property_kinds_locked(std::string_view name, const ConfigFile& config) const {
  // Every object lies below the root.
  if (name.empty()) return kAllKinds;
  unsigned kinds = kind_bit(kind_for_name_locked(name, config));
  // An ancestor name configures the names below it: "handler.files.limit"
  // is meant for every handler.files.* handler, whatever "handler.files"
  // itself would be.
  const std::string below = std::string(name) + ".";
  const auto starts_below = [&](std::string_view other) {
    return other.compare(0, below.size(), below) == 0;
  };
  for (auto it = config.objects().lower_bound(below);
       it != config.objects().end() && starts_below(it->first); ++it) {
    kinds |= kind_bit(kind_for_name_locked(it->first, config));
  }
  for (auto it = names_.lower_bound(below); it != names_.end() && starts_below(it->first); ++it) {
    if (const Object* object = object_at(it->second)) kinds |= kind_bit(object->kind);
  }
  return kinds;
}

std::string Toolkit::configured_class_locked(std::string_view name,
                                             const ConfigFile& config) const {
  if (const Object* object = find_locked(name)) {
    EpochGuard guard;
    return std::string(effective_class(*object, *object->props.load(), config));
  }
  ObjectKind kind;
  if (const ConfigFile::Entry* entry = config.lookup(name, "className")) {
    if (kind_of_class(entry->value, kind)) return entry->value;
  }
  return std::string(class_from_name(name));
}

void Toolkit::check_config_locked(ConfigFile& config, std::vector<PropertyError>& errors) const {
  // Values first, so that references below are judged by the classes that
  // stay in effect.  Keys that nothing reads are most often a misspelling,
  // which would leave the setting meant off without a word; they stay, as
  // any value set at run time does, but their values mean nothing.
  std::vector<std::pair<std::string, std::string>> wrong;
  for (const auto& [object, properties] : config.objects()) {
    const unsigned kinds = property_kinds_locked(object, config);
    for (const auto& [property, entry] : properties) {
      if (!known_property(object, kinds, property)) {
        std::string problem = "unknown property " + quoted(property) + " of " +
                              (object.empty() ? std::string("the root name") : object);
        const std::string_view closest = closest_property(object, kinds, property);
        if (!closest.empty()) problem += "; did you mean " + quoted(closest) + "?";
        errors.push_back({entry.line, std::move(problem)});
        continue;
      }
      if (property == "handlers" || property == "formatter") continue;
      ValueCheck check = check_value_locked(property, entry.value, config, true);
      ObjectKind kind;
      const Object* existing = property == "className" ? find_locked(object) : nullptr;
      if (check.outcome == ValueCheck::kRight && existing != nullptr &&
          kind_of_class(entry.value, kind) && kind != existing->kind) {
        // A new object takes its kind from its class; one that exists keeps it.
        check = {ValueCheck::kWrong, "class " + quoted(entry.value) + " is not a " +
                                         kind_text(existing->kind) + " class"};
      }
      if (check.outcome == ValueCheck::kRight && property == "appName" &&
          configured_class_locked(object, config) == kSyslogHandlerClass) {
        // A syslog header field: cut and cleaned where it is written.
        const std::string field = syslog_app_name(entry.value);
        if (field != entry.value) {
          check = {ValueCheck::kAdjusted,
                   "an APP-NAME is at most 48 printable ASCII characters: " + quoted(entry.value) +
                       " is taken as " + quoted(field)};
        }
      }
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
    const unsigned kinds = property_kinds_locked(object, config);
    for (const auto& [property, entry] : properties) {
      if (property != "handlers" && property != "formatter") continue;
      if (!known_property(object, kinds, property)) continue;
      const ValueCheck check = check_value_locked(property, entry.value, config, true);
      if (check.outcome != ValueCheck::kRight)
        errors.push_back({entry.line, object + "." + property + ": " + check.problem});
    }
  }
}

}  // namespace gw

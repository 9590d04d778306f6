#include "toolkit/objects.h"

#include <algorithm>
#include <vector>

namespace gw {

namespace {

struct KnownClass {
  std::string_view name;
  ObjectKind kind;
};

constexpr KnownClass kKnownClasses[] = {
    {kLoggerClass, ObjectKind::kLogger},          {kFileHandlerClass, ObjectKind::kHandler},
    {kConsoleHandlerClass, ObjectKind::kHandler}, {kSyslogHandlerClass, ObjectKind::kHandler},
    {kJournalHandlerClass, ObjectKind::kHandler}, {kBasicFormatterClass, ObjectKind::kFormatter},
    {kXmlFormatterClass, ObjectKind::kFormatter}, {kJsonFormatterClass, ObjectKind::kFormatter},
};

}  // namespace

std::string& PropMap::operator[](std::string_view property) {
  for (Entry& entry : entries_) {
    if (entry.first == property) return entry.second;
  }
  return entries_.emplace_back(std::string(property), std::string()).second;
}

void PropMap::erase(std::string_view property) {
  const auto found = find(property);
  if (found != entries_.end()) entries_.erase(found);
}

bool kind_of_class(std::string_view class_name, ObjectKind& kind) {
  for (const KnownClass& known : kKnownClasses) {
    if (known.name == class_name) {
      kind = known.kind;
      return true;
    }
  }
  return false;
}

std::string_view class_from_name(std::string_view name) {
  const std::string_view first = name.substr(0, name.find('.'));
  if (first == "handler") return kFileHandlerClass;
  if (first == "formatter") return kBasicFormatterClass;
  return kLoggerClass;
}

std::string_view default_class(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kLogger:
      return kLoggerClass;
    case ObjectKind::kHandler:
      return kFileHandlerClass;
    case ObjectKind::kFormatter:
      return kBasicFormatterClass;
  }
  return kLoggerClass;
}

const char* kind_text(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kLogger:
      return "logger";
    case ObjectKind::kHandler:
      return "handler";
    case ObjectKind::kFormatter:
      return "formatter";
  }
  return "object";
}

namespace {

// What each kind's classes read, and what the library sets at run time
// ("product", "prod_port", "component", "MPFileSemKey"); "droppedRecords"
// is read-only.  A property that a view or sink comes to read must be
// listed here, or the file's lines of it are reported as unknown.
constexpr std::string_view kLoggerProperties[] = {"className", "level",     "handlers",
                                                  "product",   "prod_port", "component"};
constexpr std::string_view kHandlerProperties[] = {
    "className", "level",          "formatter",      "fileName",     "permissions",
    "limit",     "count",          "MPFileSemKey",   "socketPath",   "facility",
    "appName",   "maxMessageSize", "droppedRecords", "staging",      "flushDelay",
    "rotate",    "maxAge",         "compress",       "delayCompress"};
constexpr std::string_view kFormatterProperties[] = {"className"};

constexpr std::string_view kToolkitSettings[] = {"reloadInterval"};

template <typename Visit>
void for_each_property(std::string_view name, unsigned kinds, Visit visit) {
  if (kinds & kind_bit(ObjectKind::kLogger)) {
    for (std::string_view property : kLoggerProperties) visit(property);
  }
  if (kinds & kind_bit(ObjectKind::kHandler)) {
    for (std::string_view property : kHandlerProperties) visit(property);
  }
  if (kinds & kind_bit(ObjectKind::kFormatter)) {
    for (std::string_view property : kFormatterProperties) visit(property);
  }
  if (name == kToolkitSettingsName) {
    for (std::string_view property : kToolkitSettings) visit(property);
  }
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Edits (insertions, deletions, substitutions, case aside) from a to b.
std::size_t edits(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min(
          {row[j] + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

bool known_property(std::string_view name, unsigned kinds, std::string_view property) {
  bool known = false;
  for_each_property(name, kinds,
                    [&](std::string_view known_name) { known = known || known_name == property; });
  return known;
}

std::string_view closest_property(std::string_view name, unsigned kinds,
                                  std::string_view property) {
  std::string_view closest;
  std::size_t fewest = 3;
  for_each_property(name, kinds, [&](std::string_view known_name) {
    const std::size_t count = edits(property, known_name);
    if (count < fewest && count < known_name.size()) {
      fewest = count;
      closest = known_name;
    }
  });
  return closest;
}

}  // namespace gw

#include "toolkit/objects.h"

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

}  // namespace gw

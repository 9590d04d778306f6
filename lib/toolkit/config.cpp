#include "toolkit/config.h"

#include <set>

#include "toolkit/property_values.h"

namespace gw {

ConfigFile ConfigFile::from(const ParsedProperties& parsed, std::vector<PropertyError>& errors) {
  ConfigFile config;
  for (const PropertyLine& entry : parsed.entries) {
    const std::size_t dot = entry.key.rfind('.');
    if (dot == std::string::npos) {
      errors.push_back({entry.line, "key \"" + entry.key +
                                        "\" names no object: keys are <object name>.<property>"});
      continue;
    }
    if (dot + 1 == entry.key.size()) {
      errors.push_back({entry.line, "key \"" + entry.key + "\" names no property"});
      continue;
    }
    config.objects_[entry.key.substr(0, dot)][entry.key.substr(dot + 1)] = {entry.value,
                                                                            entry.line};
  }
  return config;
}

const ConfigFile::Entry* ConfigFile::own(std::string_view object, std::string_view property) const {
  const auto found = objects_.find(object);
  if (found == objects_.end()) return nullptr;
  const auto entry = found->second.find(property);
  return entry == found->second.end() ? nullptr : &entry->second;
}

const ConfigFile::Entry* ConfigFile::lookup(std::string_view object,
                                            std::string_view property) const {
  std::optional<std::string_view> name = object;
  while (name) {
    if (const Entry* entry = own(*name, property)) return entry;
    name = parent(*name);
  }
  return nullptr;
}

bool ConfigFile::configures(std::string_view object) const {
  return objects_.find(object) != objects_.end();
}

void ConfigFile::remove(std::string_view object, std::string_view property) {
  const auto found = objects_.find(object);
  if (found == objects_.end()) return;
  const auto entry = found->second.find(property);
  if (entry != found->second.end()) found->second.erase(entry);
  if (found->second.empty()) objects_.erase(found);
}

namespace {

// A value as a change shows it: bare when that reads unambiguously.
std::string shown(const ConfigFile::Entry* entry) {
  if (entry == nullptr) return "(none)";
  const std::string& value = entry->value;
  const bool bare = !value.empty() && control_character(value) < 0 &&
                    value.find_first_of(" \t,;\"") == std::string::npos;
  return bare ? value : quoted(value);
}

}  // namespace

std::string ConfigFile::changes_from(const ConfigFile& before, std::size_t most_changes) const {
  std::set<std::string_view> names;
  for (const auto& [object, properties] : before.objects_) names.insert(object);
  for (const auto& [object, properties] : objects_) names.insert(object);
  std::string text;
  std::size_t changes = 0;
  for (std::string_view object : names) {
    std::set<std::string_view> properties;
    for (const ConfigFile* config : {&before, this}) {
      const auto found = config->objects_.find(object);
      if (found == config->objects_.end()) continue;
      for (const auto& [property, entry] : found->second) properties.insert(property);
    }
    bool named = false;
    for (std::string_view property : properties) {
      const Entry* old_entry = before.own(object, property);
      const Entry* new_entry = own(object, property);
      if (old_entry != nullptr && new_entry != nullptr && old_entry->value == new_entry->value) {
        continue;
      }
      if (++changes > most_changes) continue;
      if (!named) {
        if (!text.empty()) text += "; ";
        text += object.empty() ? std::string("the root name") : std::string(object);
        text += ": ";
        named = true;
      } else {
        text += ", ";
      }
      text += std::string(property) + " " + shown(old_entry) + " -> " + shown(new_entry);
    }
  }
  if (changes > most_changes) {
    text += "; and " + std::to_string(changes - most_changes) + " more";
  }
  return text;
}

std::optional<std::string_view> ConfigFile::parent(std::string_view name) {
  if (name.empty()) return std::nullopt;
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

}  // namespace gw

#include "toolkit/config.h"

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

std::optional<std::string_view> ConfigFile::parent(std::string_view name) {
  if (name.empty()) return std::nullopt;
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

}  // namespace gw

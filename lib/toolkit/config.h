// One read of the configuration file: each property of each object name, as
// the file gives it, and the inheritance by which an object name without a
// property of its own takes it from its nearest configured ancestor name
// ("logger.dc.msg.orders" -> "logger.dc.msg" -> "logger.dc" -> "logger" ->
// "", the last being what a key such as ".level" configures).
// Built once, then immutable: any number of threads may read it at once.
#ifndef EKLOGGER_TOOLKIT_CONFIG_H_
#define EKLOGGER_TOOLKIT_CONFIG_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "toolkit/properties.h"

namespace gw {

class ConfigFile {
 public:
  struct Entry {
    std::string value;
    int line = 0;  // where the file gave it
  };
  using Properties = std::map<std::string, Entry, std::less<>>;
  using Objects = std::map<std::string, Properties, std::less<>>;

  // Splits each key at its last "." into object name and property and keeps
  // the last value of each; keys with no "." or an empty property go to
  // errors.
  static ConfigFile from(const ParsedProperties& parsed, std::vector<PropertyError>& errors);

  // The property as configured for exactly this name.
  const Entry* own(std::string_view object, std::string_view property) const;
  // The property of this name or of its nearest ancestor that has it.
  const Entry* lookup(std::string_view object, std::string_view property) const;
  // True when the file configures any property of exactly this name.
  bool configures(std::string_view object) const;

  void remove(std::string_view object, std::string_view property);

  // What this configuration changes from before, key by key, as one line:
  // "logger.dc.trace: level OFF -> FINE, handlers (none) -> handler.t;
  // handler.t: fileName t.log -> u.log", at most most_changes of them (then
  // "and N more"); empty when no key changed.
  std::string changes_from(const ConfigFile& before, std::size_t most_changes = 20) const;
  const Objects& objects() const { return objects_; }

  // "a.b.c" -> "a.b" -> "a" -> "" -> none.
  static std::optional<std::string_view> parent(std::string_view name);

 private:
  Objects objects_;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_CONFIG_H_

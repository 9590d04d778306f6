// The toolkit's named objects: loggers, handlers and formatters.  An object
// is created once per name and lives for the rest of the process, so that a
// handle, however stale, can never reach freed memory; releasing a handle
// drops the handle, not the object.  Run-time property values sit in an
// immutable map behind an atomic pointer (read under an EpochGuard, and
// replaced by compare-exchange, both lock-free).  The rest of an object is
// written by the toolkit under its configuration lock.
#ifndef EKLOGGER_TOOLKIT_OBJECTS_H_
#define EKLOGGER_TOOLKIT_OBJECTS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "toolkit/file_sink.h"
#include "toolkit/formatters/formatter.h"
#include "toolkit/levels.h"

namespace gw {

class JournalSink;
class SyslogSink;

enum class ObjectKind { kLogger, kHandler, kFormatter };

// An object's run-time values by property name, plus where the two labels
// every record carries ("product", "component") sit in it, so the record
// path reads them with one load instead of two searches by name.  A map is
// immutable once published; whoever builds one calls find_labels after its
// last change (a copy starts with no labels found).  An object has a
// handful of run-time values, so they sit in a vector searched by length
// first: most names are told apart without comparing a byte.
class PropMap {
 public:
  using Entry = std::pair<std::string, std::string>;
  using const_iterator = std::vector<Entry>::const_iterator;

  PropMap() = default;
  PropMap(const PropMap& other) : entries_(other.entries_) {}
  PropMap& operator=(const PropMap&) = delete;

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const_iterator find(std::string_view property) const {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
      if (entry->first == property) return entry;  // lengths first, then bytes
    }
    return entries_.end();
  }
  // The value of property, added empty when there is none.
  std::string& operator[](std::string_view property);
  void erase(std::string_view property);

  void find_labels() {
    const auto at = [this](std::string_view name) -> const std::string* {
      const auto found = find(name);
      return found == end() ? nullptr : &found->second;
    };
    product = at("product");
    component = at("component");
  }

  // Into this map; null when not set at run time.
  const std::string* product = nullptr;
  const std::string* component = nullptr;
  // Maps that differ only in "product" have one base; a variant is owned by
  // its object's list of variants, not by whoever replaces it.
  std::uint64_t base = 0;
  bool variant = false;

 private:
  std::vector<Entry> entries_;
};

// The class names the toolkit knows.
constexpr std::string_view kLoggerClass = "gw_logger";
constexpr std::string_view kFileHandlerClass = "gw_filehandler";
constexpr std::string_view kConsoleHandlerClass = "gw_consolehandler";
constexpr std::string_view kSyslogHandlerClass = "gw_sysloghandler";
constexpr std::string_view kJournalHandlerClass = "gw_journalhandler";
constexpr std::string_view kBasicFormatterClass = "gw_basicformatter";
constexpr std::string_view kXmlFormatterClass = "gw_xmlformatter";
constexpr std::string_view kJsonFormatterClass = "gw_jsonformatter";

// The kind of a known class; false for a class the toolkit does not know.
bool kind_of_class(std::string_view class_name, ObjectKind& kind);
// The class an object of a name gets when nothing names one: "handler..."
// a file handler, "formatter..." the basic formatter, else a logger.
std::string_view class_from_name(std::string_view name);
std::string_view default_class(ObjectKind kind);
const char* kind_text(ObjectKind kind);
// Kinds as bits, for a name whose keys may be meant for several kinds (an
// ancestor name configures whatever lies below it).
constexpr unsigned kind_bit(ObjectKind kind) { return 1u << static_cast<unsigned>(kind); }
constexpr unsigned kAllKinds = kind_bit(ObjectKind::kLogger) | kind_bit(ObjectKind::kHandler) |
                               kind_bit(ObjectKind::kFormatter);
// The name whose keys are the toolkit's own settings ("toolkit.reloadInterval"),
// read for exactly that name, never inherited.
constexpr std::string_view kToolkitSettingsName = "toolkit";
// Whether some class of the kinds reads the property, or the library writes
// it at run time; for the settings name, its settings are known as well.
bool known_property(std::string_view name, unsigned kinds, std::string_view property);
// The known property that property most likely misspells, or empty when
// none is close (at most two edits, case aside, fewer than its length).
std::string_view closest_property(std::string_view name, unsigned kinds, std::string_view property);

struct Object {
  Object(std::string object_name, ObjectKind object_kind, std::uint32_t object_index)
      : name(std::move(object_name)), kind(object_kind), index(object_index) {}

  const std::string name;
  const ObjectKind kind;
  const std::uint32_t index;

  // The lowest record level that some handler of this logger would write,
  // kLevelOff when none would (OFF, no handlers, toolkit closed); what
  // GwIsLoggable reads.  Written under the configuration lock.
  std::atomic<int> threshold{kLevelOff};

  // Records a handler could not hand on (its "droppedRecords"), counted by
  // the record path whatever the sink.
  std::atomic<std::uint64_t> dropped_records{0};

  // Values set at run time, overriding the configuration.  Never null.
  std::atomic<const PropMap*> props{new PropMap};
  // The maps of props that differ only in "product", one for each value the
  // threads that rewrite it before each trace record give it: a thread
  // switches to its own without a copy.  All of one base.
  std::mutex variants_mutex;
  std::vector<const PropMap*> variants;  // guarded by variants_mutex

  // Guarded by the toolkit's configuration lock:
  std::shared_ptr<FileSink> sink;             // a file handler's current output
  std::string sink_key;                       // the file name and permissions it was made for
  std::shared_ptr<SyslogSink> syslog_sink;    // a syslog handler's current output
  std::shared_ptr<JournalSink> journal_sink;  // a journal handler's current output
  // A formatter's implementation for each class it has had: kept for the
  // life of the process, as the header and trailer texts handed out are.
  std::map<std::string, std::unique_ptr<RecordFormatter>, std::less<>> implementations;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_OBJECTS_H_

// The toolkit's process-wide state behind the C functions of toolkit.h.
//
// The configuration in effect is one immutable World: the file as read and,
// per object, its resolved view (a logger's level and handlers, a
// handler's level, formatter and output, a formatter's implementation).
// Every change (a re-read file, a property set at run time, a new object)
// builds a new World and publishes it with one atomic swap, so a record sees
// either the old configuration or the new one, never a mixture.  Records
// read the World lock-free under an EpochGuard; writers serialise on
// config_mutex_.  Every member function is safe from any thread.  The
// members live in toolkit_state.cpp (the C operations, run-time values and
// the record path), configuration_checks.cpp (what a value is worth),
// views.cpp (what the configuration makes of each object) and reload.cpp
// (re-reading the file by itself, on the watcher's thread).
#ifndef EKLOGGER_TOOLKIT_TOOLKIT_STATE_H_
#define EKLOGGER_TOOLKIT_TOOLKIT_STATE_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/chunked_table.h"
#include "toolkit/config.h"
#include "toolkit/config_watcher.h"
#include "toolkit/handles.h"
#include "toolkit/levels.h"
#include "toolkit/objects.h"
#include "toolkit/record.h"

namespace gw {

constexpr std::uint32_t kNoIndex = UINT32_MAX;

struct LoggerView {
  int level = kLevelInfo;
  std::vector<std::uint32_t> handlers;  // object indices, in configured order
  std::string product;                  // as configured; a run-time value takes precedence
  std::string component;                // likewise
};

struct HandlerView {
  int level = kLevelAll;
  std::uint32_t formatter = kNoIndex;  // object index, or the default formatter
  std::shared_ptr<Sink> sink;          // never null in a published World
  // The formatter of a handler with none, when not the World's default.
  const RecordFormatter* default_formatter = nullptr;
};

struct FormatterView {
  const RecordFormatter* implementation = nullptr;  // null: cannot render
};

struct View {
  std::string class_name;  // the object's effective class, read by GwGetObjProp
  LoggerView logger;
  HandlerView handler;
  FormatterView formatter;
};

struct World {
  bool open = false;
  std::shared_ptr<const ConfigFile> config = std::make_shared<const ConfigFile>();
  std::vector<std::shared_ptr<const View>> views;      // by object index; empty when closed
  const RecordFormatter* default_formatter = nullptr;  // for handlers with none
};

class Toolkit {
 public:
  // One load and a branch once created: no guard variable on the record
  // path (GwIsLoggable is called before every record).
  static Toolkit& instance() {
    Toolkit* toolkit = instance_.load(std::memory_order_acquire);
    return __builtin_expect(toolkit != nullptr, 1) ? *toolkit : create_instance();
  }

  int open(const char* path);
  int close();
  std::uintptr_t get_object(const char* name, const char* class_name);
  int release(std::uintptr_t handle);
  char* get_property(std::uintptr_t handle, const char* property, unsigned char* found);
  int set_property(std::uintptr_t handle, const char* property, const char* value);
  std::uintptr_t handler_formatter(std::uintptr_t handler);
  int set_handler_formatter(std::uintptr_t handler, std::uintptr_t formatter);
  enum class Frame { kHeader, kTrailer };
  const char* handler_frame(std::uintptr_t handler, Frame frame);
  // The gate of a logger's handle holds the logger's threshold (closed for
  // every other kind), kept in step by rebuild_locked.
  int is_loggable(std::uintptr_t handle, int level) const {
    return handles_.passes(handle, level) ? 1 : 0;
  }
  // The toolkit if it was ever used, else null; for the calls that have
  // nothing to do before then.
  static const Toolkit* existing() { return instance_.load(std::memory_order_acquire); }
  // Writes the record (time, logger and labels filled in here) to the
  // logger's handlers; level_test false for a plain text record.
  int log(std::uintptr_t logger, Record& record, bool level_test);
  // The watcher's look at the file (reload.cpp): re-reads it when it
  // changed and has settled.  The wait before the next look, or nullopt
  // when watcher is no longer the one in effect.
  std::optional<ConfigWatcher::Wait> check_watched_file(const ConfigWatcher& watcher);

 private:
  Toolkit();
  static Toolkit& create_instance();

  Object* object_of(std::uintptr_t handle) const {
    return static_cast<Object*>(handles_.lookup_target(handle));
  }
  // What the gates of an object's handles hold: a logger's threshold (OFF
  // is the gate's closed value); closed for every other kind.
  static int gate_threshold(const Object& object) {
    static_assert(kLevelOff == HandleTable::kClosed, "an OFF logger's gate must be closed");
    return object.kind == ObjectKind::kLogger ? object.threshold.load(std::memory_order_relaxed)
                                              : HandleTable::kClosed;
  }
  Object* object_at(std::uint32_t index) const {
    const std::atomic<Object*>* entry = objects_.find(index);
    return entry == nullptr ? nullptr : entry->load(std::memory_order_acquire);
  }

  // In a forked child, which has no watcher thread: starts one when the
  // parent watched.  Takes config_mutex_.
  void restart_watcher_in_child();

  // The rest need config_mutex_ held.
  // Reads the file at path and applies it; 0 when it cannot be read.  A
  // reading by the watcher reports what it changed.
  enum class Reading { kOpen, kWatched };
  int read_config_locked(const char* path, Reading reading);
  // Watches watched_path_ every interval seconds; 0 stops watching.
  void watch_locked(unsigned long long interval);
  Object* find_locked(std::string_view name) const;
  Object* create_locked(std::string_view name, ObjectKind kind);
  // The object of that name if it exists, or if the configuration names it
  // (then created); null otherwise or when it is of another kind.
  Object* resolve_locked(std::string_view name, ObjectKind kind, const ConfigFile& config);
  // The kind an object of that name has or would get.
  ObjectKind kind_for_name_locked(std::string_view name, const ConfigFile& config) const;
  // What a value of a property comes to: right; adjusted, when it applies
  // in the changed form problem names (a number above its bound, execute
  // bits); or wrong, when it does not apply at all.  from_file: a value of
  // the configuration file, held to its stricter rules.
  struct ValueCheck {
    enum Outcome { kRight, kAdjusted, kWrong };
    Outcome outcome = kRight;
    std::string problem;  // empty when right
  };
  ValueCheck check_value_locked(std::string_view property, std::string_view value,
                                const ConfigFile& config, bool from_file) const;
  // The kinds whose properties the keys of a name may set: its own, and
  // for an ancestor name those of the objects below it (configured or
  // existing); every kind for the root.
  unsigned property_kinds_locked(std::string_view name, const ConfigFile& config) const;
  // The class an object of that name has, or would get from config.
  std::string configured_class_locked(std::string_view name, const ConfigFile& config) const;
  // Reports unknown properties, wrong and adjusted values into errors and removes the wrong
  // ones from config.
  void check_config_locked(ConfigFile& config, std::vector<PropertyError>& errors) const;
  void drop_changed_overrides_locked(const ConfigFile& before, const ConfigFile& after);
  const RecordFormatter* implementation_locked(Object& formatter, std::string_view class_name);
  std::shared_ptr<const View> build_view_locked(Object& object, const ConfigFile& config,
                                                const PropMap& props);
  // What a published World holds: no views (closed), every view built anew
  // (a configuration read), or the old views with those of new objects and
  // of one changed object built.
  enum class Rebuild { kClose, kEveryView, kAddedViews };
  void rebuild_locked(std::shared_ptr<const ConfigFile> config, Rebuild what,
                      Object* changed = nullptr);
  // The formatter the handler names, or null; with its view built.
  Object* formatter_of_locked(const Object& handler);
  // After a run-time change: the views of new objects and of changed.
  void refresh_locked(Object* changed = nullptr) {
    if (world()->open) rebuild_locked(world()->config, Rebuild::kAddedViews, changed);
  }
  const World* world() const { return world_.load(); }

  // Constant-initialised (null) before any constructor runs, so a call from
  // another library's static initialiser still finds it.
  static std::atomic<Toolkit*> instance_;

  mutable std::mutex config_mutex_;
  std::atomic<const World*> world_;             // never null; replaced under config_mutex_
  ChunkedTable<std::atomic<Object*>> objects_;  // entries written under config_mutex_
  std::uint32_t object_count_ = 0;              // guarded by config_mutex_
  std::map<std::string, std::uint32_t, std::less<>> names_;  // guarded by config_mutex_
  HandleTable handles_;
  bool configured_ = false;  // a file was read once; guarded by config_mutex_

  // What the watcher watches, all guarded by config_mutex_: the path
  // GwOpenToolkit was given; the identity of the file last read there (or
  // of the failure to read it), so that the watcher re-reads only a change;
  // a change seen but not yet settled, and since when; the interval in
  // seconds of toolkit.reloadInterval; the watcher, null when none.
  std::string watched_path_;
  FileIdentity read_identity_;
  std::optional<FileIdentity> unsettled_;
  std::chrono::steady_clock::time_point unsettled_since_;
  unsigned long long reload_interval_ = 0;
  std::shared_ptr<ConfigWatcher> watcher_;
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_TOOLKIT_STATE_H_

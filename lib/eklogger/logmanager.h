// The process-wide manager of logger groups: the registry of named groups in
// creation order, the default parameters new groups are built from, and the
// locations (product name, log directory, properties file) that loggers and
// handlers read.
//
// The manager owns every registered group; handlers are shared by role
// between groups and deleted only through dispose_handler, with the last
// group.  One manager exists per process, reached through g_log_manager.
//
// Thread safety: none of the registry operations takes a lock.  Create the
// manager, obtain, rebuild and destroy groups from one thread at a time;
// writing records through groups already obtained never touches the registry.
#ifndef EKLOGGER_LOGMANAGER_H_
#define EKLOGGER_LOGMANAGER_H_

#include <list>
#include <string>

#include "eklogger/export.h"

namespace Log {

class Handler;
class Level;
class Logger;
class LoggerGroup;

// Everything needed to build one logger of a group with its handler and
// formatter.  Used in arrays of three indexed by role: 0 message, 1 error,
// 2 trace.  Empty class names mean "no class given".  The record does not
// own the Level it points to.
struct EKLOGGER_EXPORT LoggerParams {
  std::string logger_name;
  std::string logger_class;
  std::string handler_name;
  std::string handler_class;
  std::string formatter_name;
  std::string formatter_class;
  std::string file_name;
  Level* level = nullptr;  // none: the logger takes the toolkit's level
};

class EKLOGGER_EXPORT LogManager {
 public:
  static constexpr int kRoleCount = 3;

  // The single manager of the process; null until initialisation, never
  // cleared by the library.
  static LogManager* g_log_manager;

  LogManager();
  LogManager(const LogManager&) = delete;
  LogManager& operator=(const LogManager&) = delete;
  // Destroys every registered group, oldest first.
  virtual ~LogManager();

  // The group of that name, created from the default parameters if needed;
  // null when the name is new and the toolkit is not open.
  virtual LoggerGroup* get_logger(const std::string& name) = 0;
  // Computes the properties path from dir and opens the toolkit; true when
  // it opened.
  virtual bool set_attributes(const std::string& dir) = 0;
  // Creates one logger for a group, with no handler yet; the caller owns it.
  virtual Logger* get_logger(const std::string& group_name, const std::string& logger_name,
                             const std::string& logger_class) = 0;

  // The group of that name, existing or built from params (three records by
  // role); null when the toolkit is not open.  Only the first group of the
  // process creates handlers; later groups share them role by role.
  LoggerGroup* add_logger(const std::string& name, LoggerParams* params);
  // The registered group of exactly that name (case-sensitive), or null.
  LoggerGroup* find_logger(const std::string& name);
  // Destroys every registered group once, oldest first.
  void destroy_loggers();
  // The oldest registered group, or null.
  LoggerGroup* find_first_group() const;
  // Unlinks the group from the registry without destroying it.
  void remove_logger(LoggerGroup* group);
  // Deletes the handler only when no group is registered any more; null is
  // accepted and ignored.
  void dispose_handler(Handler* handler);

  // Records the group's settings in a new array of three records, which the
  // caller frees with delete[], and destroys the group.  The recorded levels
  // are new objects owned by whoever holds the records.  Null when no group
  // has that name.
  LoggerParams* delete_logger(const std::string& name);
  // Destroys the group and builds it anew from params, whose empty fields
  // are first filled from the destroyed group's settings.  Levels in params
  // pass to the new loggers.  Null when no group has that name, or when the
  // toolkit is no longer open (the old group is then gone).
  LoggerGroup* update_logger(const std::string& name, LoggerParams* params);

  // as_is: the path is the log directory; otherwise the directory is
  // path/../logs/server1/<product name>.
  void set_log_file_location(const std::string& path, bool as_is);
  // The properties file becomes dir/eklogger.properties.
  void set_prop_file(const std::string& dir);

  // The last "/" component of path; with strip_exe, without a trailing
  // ".exe" (case-sensitive).
  static std::string get_file_leaf_name(const std::string& path, bool strip_exe);

  // The catalog name and set number of catalogued messages: "eklogger", 1.
  // Inline: every catalogued record without a catalog of its own asks.
  const char* get_catalog_name() const { return "eklogger"; }
  int get_catalog_set() const { return 1; }

  const std::string& get_prod_name() const { return prod_name; }
  const std::string& get_log_file_location() const { return log_file_location; }
  const std::string& get_prop_file() const { return prop_file; }
  bool is_toolkit_open() const { return toolkit_open; }
  const LoggerParams* get_default_params() const { return default_params; }

 protected:
  LoggerParams default_params[kRoleCount];
  std::string prod_name;
  std::string log_file_location;
  std::string prop_file;
  bool toolkit_open;
  // The registry, oldest first; owned.  Each group appears at most once.
  std::list<LoggerGroup*> groups;
};

}  // namespace Log

#endif  // EKLOGGER_LOGMANAGER_H_

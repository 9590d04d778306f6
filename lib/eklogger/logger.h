// The abstract logger: the record operations a group routes to it, its
// level, its handler and the names of its toolkit object.
//
// A logger owns its Level; its handler may be shared with the loggers of the
// same role in other groups, so the logger hands it to the manager's
// dispose_handler instead of deleting it.  A logger takes no lock: records
// may come from several threads as far as the derived class allows, while
// set_log_level, add_handler and the file-name operations must be serialised
// by the caller.
#ifndef EKLOGGER_LOGGER_H_
#define EKLOGGER_LOGGER_H_

#include <string>

#include "eklogger/export.h"

namespace Log {

class Handler;
class Level;
class LogManager;

class EKLOGGER_EXPORT Logger {
 public:
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;
  // Deletes the level and hands the handler to the manager.
  virtual ~Logger();

  // Catalogued messages: text, message number, catalog name, set number.
  virtual void severe(const char* text, int message_number, const char* catalog, int set) = 0;
  virtual void warning(const char* text, int message_number, const char* catalog, int set) = 0;
  virtual void info(const char* text, int message_number, const char* catalog, int set) = 0;
  // Trace records: text, source file, function, line.
  virtual void fine(const char* text, const char* file, const char* function, int line) = 0;
  virtual void finer(const char* text, const char* file, const char* function, int line) = 0;
  virtual void finest(const char* text, const char* file, const char* function, int line) = 0;
  // Function entry and exit records; detail may be null.
  virtual void entry(const char* detail, const char* function, ...) = 0;
  virtual void exitf(const char* detail, const char* function) = 0;

  // Takes ownership of level; null means "the toolkit's configured level".
  virtual void set_log_level(Level* level) = 0;
  virtual void set_prod_name(const std::string& product) = 0;
  // Creates the logger's handler and keeps it; returns it.
  virtual Handler* add_handler(const std::string& name, const std::string& class_name) = 0;

  // Forwarded to the handler; no-ops without one.
  virtual void set_logfile_name(const std::string& name, const std::string& location);
  virtual void append_logfile_name_suffix(const std::string& suffix);
  virtual void reset_defaultlog_location(const std::string& location);

  // The process-wide manager's product name; the manager must exist.
  const std::string& get_prod_name() const;
  // The handler and formatter names that belong to a standard logger name
  // (a prefix test), or "" for any other name.
  std::string get_formatter_type(const std::string& logger_name) const;
  std::string get_handler_type(const std::string& logger_name) const;

  const std::string& get_name() const { return name; }
  const std::string& get_component() const { return component; }
  const std::string& get_class_name() const { return class_name; }
  const Level* get_level() const { return level; }
  Handler* get_handler() const { return handler; }

 protected:
  // name becomes logger_name + "." + component when logger_name is not empty.
  Logger(const std::string& component, const std::string& logger_name,
         const std::string& class_name);

  Handler* handler;  // shared by role; released through dispose_handler
  Level* level;      // owned
  std::string name;  // the dotted name of the toolkit object
  std::string component;
  std::string class_name;

 private:
  // The manager shares handlers between groups and records a group's
  // settings before rebuilding it.
  friend class LogManager;
};

}  // namespace Log

#endif  // EKLOGGER_LOGGER_H_

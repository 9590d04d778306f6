// The abstract output handler of a logger: its configured name and class,
// the log file name last set through it, and the formatter it owns.
//
// Handlers are shared by the loggers of one role across groups and deleted
// only through LogManager::dispose_handler.  No locks: calls that change one
// handler must be serialised by the caller.
#ifndef EKLOGGER_HANDLER_H_
#define EKLOGGER_HANDLER_H_

#include <string>

#include "eklogger/export.h"

namespace Log {

class Formatter;
class LogManager;
class Logger;

class EKLOGGER_EXPORT Handler {
 public:
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;
  // Deletes the formatter.
  virtual ~Handler();

  // Replaces the formatter with a new one of that name and class.
  virtual void add_formatter(const std::string& name, const std::string& class_name) = 0;
  // The log file name as the output knows it now.
  virtual std::string get_file_name() = 0;
  // An absolute name, or a relative one with "/" and a ".." component
  // ("../x.log"), is taken as it is; any other name, bare or with
  // directories ("sub/app.log"), is placed in location (location + "/" +
  // name, not normalised).
  virtual void set_file_name(const std::string& name, const std::string& location);
  virtual void append_logfile_name_suffix(const std::string& suffix) = 0;
  // Moves the file into location, keeping its leaf name.
  virtual void reset_defaultlog_location(const std::string& location) = 0;

  const std::string& get_name() const { return name; }
  const std::string& get_class_name() const { return class_name; }
  // The file name as last set through this handler.
  const std::string& get_cached_file_name() const { return file_name; }
  Formatter* get_formatter() const { return formatter; }
  const Logger* get_logger() const { return logger; }

 protected:
  Handler(const std::string& name, const std::string& class_name, const Logger& logger);

  Formatter* formatter;  // owned
  const Logger* logger;  // the logger it was created for; not owned
  std::string name;
  std::string class_name;
  std::string file_name;

 private:
  friend class LogManager;  // records a group's settings
};

}  // namespace Log

#endif  // EKLOGGER_HANDLER_H_

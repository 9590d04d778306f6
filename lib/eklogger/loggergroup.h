// A named set of three loggers by role (message, error, trace) that routes
// each kind of record to the logger of its role.  This is what applications
// hold and write through.
//
// The group owns its loggers and is owned by the manager that built it; the
// application never deletes a group.  Its slots are filled while the manager
// builds it and only read afterwards, so records may be written through one
// group from several threads at once.  The file-name operations change the
// shared handlers and must be serialised by the caller.
#ifndef EKLOGGER_LOGGERGROUP_H_
#define EKLOGGER_LOGGERGROUP_H_

#include <string>

#include "eklogger/export.h"

namespace Log {

class LogManager;
class Logger;

// Roles: the index of a logger within its group.
enum LoggerRole { kMessageLogger = 0, kErrorLogger = 1, kTraceLogger = 2 };

class EKLOGGER_EXPORT LoggerGroup final {
 public:
  // Only the manager constructs groups, on the heap.
  LoggerGroup(const std::string& name, LogManager* manager);
  LoggerGroup(const LoggerGroup&) = delete;
  LoggerGroup& operator=(const LoggerGroup&) = delete;
  // Leaves the manager's registry, then deletes the loggers.
  ~LoggerGroup();

  // The trace logger's file becomes name in location, with suffix appended.
  virtual void set_trace_file_name(const std::string& name, const std::string& suffix,
                                   const std::string& location);
  virtual void append_logfile_name_suffix(const std::string& suffix);
  virtual void reset_defaultlog_location(const std::string& location);

  // Severe records go to the error logger and then the message logger, and
  // only when both exist.
  virtual void severe(const char* text, int message_number, const char* catalog, int set);
  virtual void severe(const char* text, int message_number);
  virtual void warning(const char* text, int message_number, const char* catalog, int set);
  virtual void warning(const char* text, int message_number);
  virtual void info(const char* text, int message_number, const char* catalog, int set);
  virtual void info(const char* text, int message_number);
  virtual void fine(const char* text, const char* file, const char* function, int line);
  virtual void finer(const char* text, const char* file, const char* function, int line);
  virtual void finest(const char* text, const char* file, const char* function, int line);
  // The variable arguments are accepted and not read.
  virtual void entry(const char* detail, const char* function, ...);
  virtual void exitf(const char* detail, const char* function);

  // The logger of a role, or null for an empty slot or an index outside 0-2.
  Logger* get_logger(int role) const;
  // Stores the logger (null allowed) and takes ownership; ignores indices
  // outside 0-2 and does not delete a logger it replaces.
  void set_logger(int role, Logger* logger);

  const std::string& get_name() const { return name; }

 private:
  Logger* loggers[3];
  LogManager* manager;  // not owned
  std::string name;
};

}  // namespace Log

#endif  // EKLOGGER_LOGGERGROUP_H_

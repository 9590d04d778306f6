// A logger bound to one logger object of the logging toolkit, looked up by
// the logger's dotted name.  Every record operation becomes one toolkit
// call behind a level test; the logger's level, product text and component
// are carried into the toolkit object's properties.
//
// The logger owns its toolkit handle and releases it once, in its
// destructor.  Records may be written from any thread: catalogued records
// and records below their level take no lock; a trace record that passes
// its level test holds the logger's decoration lock from the rewriting of
// the "product" property to the record call, so that each record carries
// the identifiers of the thread that wrote it.  Configuration calls
// (set_log_level, set_prod_name, add_handler) must be serialised by the
// caller.
#ifndef EKLOGGER_EKLOGGER_H_
#define EKLOGGER_EKLOGGER_H_

#include <mutex>
#include <string>

#include "eklogger/eklevel.h"
#include "eklogger/export.h"
#include "eklogger/logger.h"
#include "eklogger/platform/toolkit.h"

namespace Log {

class ComposedText;

class EKLOGGER_EXPORT EkLogger : public Logger {
 public:
  // A new logger for the component (the group name) and logger name; the
  // caller owns it.
  static Logger* get_logger(const std::string& component, const std::string& logger_name,
                            const std::string& class_name);

  EkLogger(const std::string& component, const std::string& logger_name,
           const std::string& class_name);
  ~EkLogger() override;

  // A null text writes nothing.
  void severe(const char* text, int message_number, const char* catalog, int set) override;
  void warning(const char* text, int message_number, const char* catalog, int set) override;
  void info(const char* text, int message_number, const char* catalog, int set) override;
  // The arguments reach the toolkit unchanged, untested.
  void fine(const char* text, const char* file, const char* function, int line) override;
  void finer(const char* text, const char* file, const char* function, int line) override;
  void finest(const char* text, const char* file, const char* function, int line) override;
  // Written through finest: "Entering the function <function>." and
  // "Exiting the function <function>.", then " <detail>" when detail is not
  // null.  The variable arguments are not read.
  void entry(const char* detail, const char* function, ...) override;
  void exitf(const char* detail, const char* function) override;

  // Takes ownership of level (the level already held is kept, not freed);
  // null reads the toolkit object's configured "level".  The resulting
  // number is written back to the toolkit as an integer "level".
  void set_log_level(Level* level) override;
  // Sets "product" and "prod_port" to the product name, followed directly by
  // "port=" and the port when the manager's port is positive, and
  // "component" to the group name.
  void set_prod_name(const std::string& product) override;
  // Disposes of the current handler and creates an EkHandler; returns it.
  Handler* add_handler(const std::string& name, const std::string& class_name) override;

  // False without a toolkit object, otherwise the toolkit's answer.
  bool is_loggable(const EkLevel& level);
  // Writes text whatever the level; a null text writes nothing.
  void message(const char* text);
  // Rewrites "product" as "prod_port" followed by " pid=<n>" and " tid=<n>"
  // when the handler's formatter is the toolkit's basic formatter.
  void append_proc_thr_id();

  GwHandle get_toolkit_logger() const { return toolkit_logger; }

 private:
  using DebugCall = int (*)(GwHandle, const char*, const char*, int, const char*, ...);
  // The level test that every record operation starts with, inline so that
  // a record below its level costs the GwIsLoggable call and little more.
  bool passes(int level_value) const {
    return toolkit_logger != nullptr && GwIsLoggable(toolkit_logger, level_value) > 0;
  }
  // A trace record that passed its level test: decoration, then the record.
  void write_trace(DebugCall call, const char* text, const char* file, const char* function,
                   int line);
  // The decorated product text, or false when no decoration applies (no
  // handler, no formatter, not the basic formatter, no "prod_port").
  bool compose_decoration(ComposedText& product);

  GwHandle toolkit_logger;  // owned; null means no toolkit object
  // Held from writing a decorated "product" to the record call, so that the
  // record carries the decoration its own thread made.
  std::mutex decoration_mutex;
};

}  // namespace Log

#endif  // EKLOGGER_EKLOGGER_H_

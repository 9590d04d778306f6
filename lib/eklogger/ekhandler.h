// A handler bound to one handler object of the logging toolkit, which owns
// the log file.  It keeps its own copy of the file name (file_name) and
// writes it to the toolkit's "fileName" after each change; get_file_name
// reads the toolkit's value back.  At construction it gives the toolkit
// handler the "MPFileSemKey" that every process of the program shares.
//
// Owns its toolkit handle (released once, in the destructor, before the
// formatter's) and its formatter.  Shared by the loggers of one role across
// groups; deleted only through LogManager::dispose_handler.  No locks:
// changes to one handler must be serialised by the caller.
#ifndef EKLOGGER_EKHANDLER_H_
#define EKLOGGER_EKHANDLER_H_

#include <string>

#include "eklogger/export.h"
#include "eklogger/handler.h"
#include "eklogger/platform/toolkit.h"

namespace Log {

class EkFormatter;

class EKLOGGER_EXPORT EkHandler : public Handler {
 public:
  // A new handler; the logger keeps it.  The manager must exist.
  static EkHandler* get_handler(const std::string& name, const std::string& class_name,
                                const Logger& logger);

  EkHandler(const std::string& name, const std::string& class_name, const Logger& logger);
  ~EkHandler() override;

  // Deletes the current formatter, then attaches a new EkFormatter.
  void add_formatter(const std::string& name, const std::string& class_name) override;
  // The toolkit's current "fileName", or "" when there is none.
  std::string get_file_name() override;
  // An empty name takes the toolkit's current file name.
  void set_file_name(const std::string& name, const std::string& location) override;
  // Both work from the cached file name, and do nothing at all without a
  // toolkit handler.
  void append_logfile_name_suffix(const std::string& suffix) override;
  void reset_defaultlog_location(const std::string& location) override;

  GwHandle get_toolkit_handler() const { return toolkit_handler; }

 private:
  void write_file_name();

  GwHandle toolkit_handler;  // owned; null means no toolkit object

  friend class EkFormatter;  // attaches its toolkit formatter here
};

}  // namespace Log

#endif  // EKLOGGER_EKHANDLER_H_

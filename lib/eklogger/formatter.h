// The base of a handler's formatter: its configured name and class.  By
// itself it is inert; the toolkit-bound formatter does the binding.
//
// Owned by its handler.  No locks; created and changed on the thread that
// changes the handler.
#ifndef EKLOGGER_FORMATTER_H_
#define EKLOGGER_FORMATTER_H_

#include <string>

#include "eklogger/export.h"

namespace Log {

class Handler;
class LogManager;

class EKLOGGER_EXPORT Formatter {
 public:
  Formatter(const std::string& name, const std::string& class_name, const Handler& handler);
  Formatter(const Formatter&) = delete;
  Formatter& operator=(const Formatter&) = delete;
  virtual ~Formatter();

  // Does nothing.
  virtual void format();

  // A plain formatter has no header and no trailer: null.
  const char* get_head(const Handler& handler);
  const char* get_tail(const Handler& handler);

  // A new plain formatter; the caller owns it.
  static Formatter* get_formatter(const std::string& name, const std::string& class_name,
                                  const Handler& handler);

  const std::string& get_name() const { return name; }
  const std::string& get_class_name() const { return class_name; }
  const Handler* get_handler() const { return handler; }

 protected:
  const Handler* handler;  // the handler it was created for; not owned
  std::string name;
  std::string class_name;

 private:
  friend class LogManager;  // records a group's settings
};

}  // namespace Log

#endif  // EKLOGGER_FORMATTER_H_

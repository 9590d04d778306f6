// The formatter of an EkHandler, bound to a formatter object of the logging
// toolkit, which does all formatting itself.  On construction it adopts the
// toolkit handler's existing formatter, or looks one up by name and attaches
// it; it passes the toolkit's header and trailer texts through.
//
// Owned by its handler; owns its toolkit handle and releases it once, in its
// destructor.  No locks: created and destroyed on the thread that changes
// the handler.
#ifndef EKLOGGER_EKFORMATTER_H_
#define EKLOGGER_EKFORMATTER_H_

#include <string>

#include "eklogger/export.h"
#include "eklogger/formatter.h"
#include "eklogger/platform/toolkit.h"

namespace Log {

class EkLogger;

class EKLOGGER_EXPORT EkFormatter : public Formatter {
 public:
  // A new formatter for handler, which should be an EkHandler; the caller
  // owns it.
  static EkFormatter* get_formatter(const std::string& name, const std::string& class_name,
                                    const Handler& handler);

  EkFormatter(const std::string& name, const std::string& class_name, const Handler& handler);
  ~EkFormatter() override;

  // Does nothing: the toolkit formats.
  void format() override;

  // The toolkit's header and trailer texts for the argument handler (null
  // where there is none); they stay the toolkit's and are not freed.
  const char* get_head(const Handler& handler);
  const char* get_tail(const Handler& handler);

  GwHandle get_toolkit_formatter() const { return toolkit_formatter; }

 private:
  GwHandle toolkit_formatter;  // owned

  friend class EkLogger;  // reads the formatter class for trace decoration
};

}  // namespace Log

#endif  // EKLOGGER_EKFORMATTER_H_

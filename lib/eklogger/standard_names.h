// The toolkit objects of the three standard roles (messages, errors,
// trace), in the roles' order: the manager's defaults, and what a logger
// of a standard name is configured with.  Internal: not installed.
#ifndef EKLOGGER_STANDARD_NAMES_H_
#define EKLOGGER_STANDARD_NAMES_H_

namespace Log {

struct StandardNames {
  const char* logger;
  const char* handler;
  const char* formatter;
};

inline constexpr StandardNames kStandardNames[] = {
    {"logger.dc.msg", "handler.file.dc.msg", "formatter.xml"},
    {"logger.dc.err", "handler.file.dc.err", "formatter.xml"},
    {"logger.dc.trace", "handler.file.dc.trace", "formatter.xml"},
};

}  // namespace Log

#endif  // EKLOGGER_STANDARD_NAMES_H_

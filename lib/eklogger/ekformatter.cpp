#include "eklogger/ekformatter.h"

#include "eklogger/ekhandler.h"

namespace Log {

namespace {

// The toolkit handler behind a handler, or null for one that has none.
GwHandle toolkit_handler_of(const Handler& handler) {
  const EkHandler* bound = dynamic_cast<const EkHandler*>(&handler);
  return bound != nullptr ? bound->get_toolkit_handler() : nullptr;
}

}  // namespace

EkFormatter* EkFormatter::get_formatter(const std::string& name, const std::string& class_name,
                                        const Handler& handler) {
  return new EkFormatter(name, class_name, handler);
}

EkFormatter::EkFormatter(const std::string& name, const std::string& class_name,
                         const Handler& handler)
    : Formatter(name, class_name, handler) {
  const GwHandle toolkit_handler = toolkit_handler_of(handler);
  toolkit_formatter = GwHandlerGetFormatter(toolkit_handler);
  if (toolkit_formatter != nullptr) return;  // adopt the toolkit's own
  toolkit_formatter = GwGetObject(name.c_str(), class_name.empty() ? nullptr : class_name.c_str());
  GwHandlerSetFormatter(toolkit_handler, toolkit_formatter);
}

EkFormatter::~EkFormatter() {
  if (toolkit_formatter != nullptr) {
    GwReleaseObject(toolkit_formatter);
    toolkit_formatter = nullptr;
  }
}

void EkFormatter::format() {}

const char* EkFormatter::get_head(const Handler& handler) {
  return GwHandlerGetFmtHeader(toolkit_handler_of(handler));
}

const char* EkFormatter::get_tail(const Handler& handler) {
  return GwHandlerGetFmtTrailer(toolkit_handler_of(handler));
}

}  // namespace Log

// The logging toolkit's C functions: each checks its arguments and hands
// over to the process-wide Toolkit (toolkit_state.h).
#include "eklogger/platform/toolkit.h"

#include <cstdint>
#include <string_view>

#include "toolkit/levels.h"
#include "toolkit/record.h"
#include "toolkit/toolkit_state.h"

namespace {

std::uintptr_t to_handle(GwHandle handle) { return reinterpret_cast<std::uintptr_t>(handle); }
GwHandle from_handle(std::uintptr_t handle) { return reinterpret_cast<GwHandle>(handle); }
std::string_view text_of(const char* text) { return text == nullptr ? std::string_view() : text; }

int log_message(GwHandle logger, int level, const char* catalog, int set, int number,
                const char* text) {
  gw::Record record;
  record.level = level;
  record.kind = gw::RecordKind::kMessage;
  record.catalog = text_of(catalog);
  record.set = set;
  record.number = number;
  record.text = text_of(text);
  return gw::Toolkit::instance().log(to_handle(logger), record, true);
}

int log_trace(GwHandle logger, int level, const char* file, const char* function, int line,
              const char* text) {
  gw::Record record;
  record.level = level;
  record.kind = gw::RecordKind::kTrace;
  record.file = text_of(file);
  record.function = text_of(function);
  record.line = line;
  record.text = text_of(text);
  return gw::Toolkit::instance().log(to_handle(logger), record, true);
}

}  // namespace

extern "C" {

int GwOpenToolkit(const char* properties_path) {
  return gw::Toolkit::instance().open(properties_path);
}

int GwCloseToolkit(void) { return gw::Toolkit::instance().close(); }

GwHandle GwGetObject(const char* name, const char* class_name) {
  return from_handle(gw::Toolkit::instance().get_object(name, class_name));
}

int GwReleaseObject(GwHandle object) { return gw::Toolkit::instance().release(to_handle(object)); }

char* GwGetObjProp(GwHandle object, const char* property, unsigned char* found) {
  return gw::Toolkit::instance().get_property(to_handle(object), property, found);
}

int GwSetObjProp(GwHandle object, const char* property, const char* value) {
  return gw::Toolkit::instance().set_property(to_handle(object), property, value);
}

int GwSetObjPropInt(GwHandle object, const char* property, int value) {
  return gw::Toolkit::instance().set_property(to_handle(object), property,
                                              std::to_string(value).c_str());
}

GwHandle GwHandlerGetFormatter(GwHandle handler) {
  return from_handle(gw::Toolkit::instance().handler_formatter(to_handle(handler)));
}

int GwHandlerSetFormatter(GwHandle handler, GwHandle formatter) {
  return gw::Toolkit::instance().set_handler_formatter(to_handle(handler), to_handle(formatter));
}

const char* GwHandlerGetFmtHeader(GwHandle handler) {
  return gw::Toolkit::instance().handler_frame(to_handle(handler), gw::Toolkit::Frame::kHeader);
}

const char* GwHandlerGetFmtTrailer(GwHandle handler) {
  return gw::Toolkit::instance().handler_frame(to_handle(handler), gw::Toolkit::Frame::kTrailer);
}

int GwGetLevelFromString(const char* text) {
  if (text == nullptr) return gw::kLevelInfo;
  return gw::parse_level(text).value_or(gw::kLevelInfo);
}

int GwIsLoggable(GwHandle logger, int level) {
  // No handle exists before the toolkit does.
  const gw::Toolkit* toolkit = gw::Toolkit::existing();
  return toolkit == nullptr ? 0 : toolkit->is_loggable(to_handle(logger), level);
}

int GwLogText(GwHandle logger, const char* text) {
  if (text == nullptr) return 0;
  gw::Record record;
  record.level = gw::kLevelInfo;
  record.kind = gw::RecordKind::kText;
  record.text = text;
  return gw::Toolkit::instance().log(to_handle(logger), record, false);
}

int GwLogError(GwHandle logger, const char* catalog, int set, int number, const char* text, ...) {
  return log_message(logger, gw::kLevelSevere, catalog, set, number, text);
}

int GwLogWarn(GwHandle logger, const char* catalog, int set, int number, const char* text, ...) {
  return log_message(logger, gw::kLevelWarning, catalog, set, number, text);
}

int GwLogInfo(GwHandle logger, const char* catalog, int set, int number, const char* text, ...) {
  return log_message(logger, gw::kLevelInfo, catalog, set, number, text);
}

int GwLogDebugMin(GwHandle logger, const char* file, const char* function, int line,
                  const char* text, ...) {
  return log_trace(logger, gw::kLevelFine, file, function, line, text);
}

int GwLogDebugMid(GwHandle logger, const char* file, const char* function, int line,
                  const char* text, ...) {
  return log_trace(logger, gw::kLevelFiner, file, function, line, text);
}

int GwLogDebugMax(GwHandle logger, const char* file, const char* function, int line,
                  const char* text, ...) {
  return log_trace(logger, gw::kLevelFinest, file, function, line, text);
}

}  // extern "C"

#include "eklogger/eklogger.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "eklogger/ekformatter.h"
#include "eklogger/ekhandler.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/platform/runtime.h"

namespace Log {

namespace {

enum : int {
  kFinest = 1000,
  kFiner = 2000,
  kFine = 3000,
  kInfo = 4000,
  kWarning = 5000,
  kSevere = 6000,
};

// The source position that function entry and exit records carry.
const char kSourceFile[] = "lib/eklogger/eklogger.cpp";
const int kEntryLine = 221;
const int kExitLine = 237;

const char kBasicFormatterClass[] = "gw_basicformatter";

// Frees a text that the toolkit handed out.
struct ToolkitTextFree {
  void operator()(char* text) const { OruMemoryFree(text); }
};
using ToolkitText = std::unique_ptr<char, ToolkitTextFree>;

// The text of a property, or null when the toolkit has none.
ToolkitText get_text_property(GwHandle object, const char* property) {
  unsigned char found = 0;
  char* text = GwGetObjProp(object, property, &found);
  if (found == 0) return ToolkitText();
  return ToolkitText(text);
}

std::string compose_function_record(const char* prefix, const char* detail, const char* function) {
  std::string text(prefix);
  if (function != nullptr) {
    text += function;
    text += '.';
    if (detail != nullptr) {
      text += ' ';
      text += detail;
    }
  }
  return text;
}

}  // namespace

Logger* EkLogger::get_logger(const std::string& component, const std::string& logger_name,
                             const std::string& class_name) {
  return new EkLogger(component, logger_name, class_name);
}

EkLogger::EkLogger(const std::string& component, const std::string& logger_name,
                   const std::string& class_name)
    : Logger(component, logger_name, class_name),
      toolkit_logger(GwGetObject(name.c_str(),
                                 this->class_name.empty() ? nullptr : this->class_name.c_str())) {}

EkLogger::~EkLogger() {
  if (toolkit_logger != nullptr) GwReleaseObject(toolkit_logger);
}

bool EkLogger::is_loggable(const EkLevel& level) {
  if (toolkit_logger == nullptr) return false;
  return GwIsLoggable(toolkit_logger, level.value) > 0;
}

void EkLogger::severe(const char* text, int message_number, const char* catalog, int set) {
  if (text == nullptr || !is_loggable(EkLevel(kSevere))) return;
  GwLogError(toolkit_logger, catalog, set, message_number, text, nullptr);
}

void EkLogger::warning(const char* text, int message_number, const char* catalog, int set) {
  if (text == nullptr || !is_loggable(EkLevel(kWarning))) return;
  GwLogWarn(toolkit_logger, catalog, set, message_number, text, nullptr);
}

void EkLogger::info(const char* text, int message_number, const char* catalog, int set) {
  if (text == nullptr || !is_loggable(EkLevel(kInfo))) return;
  GwLogInfo(toolkit_logger, catalog, set, message_number, text, nullptr);
}

void EkLogger::trace(DebugCall call, int level, const char* text, const char* file,
                     const char* function, int line) {
  if (!is_loggable(EkLevel(level))) return;
  std::lock_guard<std::mutex> lock(decoration_mutex);
  append_proc_thr_id();
  call(toolkit_logger, file, function, line, text, nullptr);
}

void EkLogger::fine(const char* text, const char* file, const char* function, int line) {
  trace(GwLogDebugMin, kFine, text, file, function, line);
}

void EkLogger::finer(const char* text, const char* file, const char* function, int line) {
  trace(GwLogDebugMid, kFiner, text, file, function, line);
}

void EkLogger::finest(const char* text, const char* file, const char* function, int line) {
  trace(GwLogDebugMax, kFinest, text, file, function, line);
}

void EkLogger::entry(const char* detail, const char* function, ...) {
  const std::string text = compose_function_record("Entering the function ", detail, function);
  finest(text.c_str(), kSourceFile, function, kEntryLine);
}

void EkLogger::exitf(const char* detail, const char* function) {
  const std::string text = compose_function_record("Exiting the function ", detail, function);
  finest(text.c_str(), kSourceFile, function, kExitLine);
}

void EkLogger::message(const char* text) {
  if (toolkit_logger == nullptr || text == nullptr) return;
  std::lock_guard<std::mutex> lock(decoration_mutex);
  append_proc_thr_id();
  GwLogText(toolkit_logger, text);
}

void EkLogger::append_proc_thr_id() {
  if (handler == nullptr) return;
  const EkFormatter* formatter = dynamic_cast<const EkFormatter*>(handler->get_formatter());
  if (formatter == nullptr) return;
  {
    ToolkitText formatter_class = get_text_property(formatter->toolkit_formatter, "className");
    if (!formatter_class || std::strcmp(formatter_class.get(), kBasicFormatterClass) != 0) return;
  }
  const std::uint64_t thread_id = NxThreadGetCurrentID();
  const std::uint64_t process_id = NxProcessGetCurrentID();
  ToolkitText product = get_text_property(toolkit_logger, "prod_port");
  if (!product) return;

  // Short products are composed on the stack: a decorated record makes no
  // allocation of its own.
  char ids[2 * (sizeof(" pid=") + 20)];
  int ids_length = 0;
  if (process_id != 0) {
    ids_length +=
        std::snprintf(ids + ids_length, sizeof(ids) - ids_length, " pid=%" PRIu64, process_id);
  }
  if (thread_id != 0) {
    ids_length +=
        std::snprintf(ids + ids_length, sizeof(ids) - ids_length, " tid=%" PRIu64, thread_id);
  }
  const std::size_t product_length = std::strlen(product.get());
  char local[256];
  std::unique_ptr<char[]> large;
  char* decorated = local;
  const std::size_t needed = product_length + ids_length + 1;
  if (needed > sizeof(local)) {
    large.reset(new char[needed]);
    decorated = large.get();
  }
  std::memcpy(decorated, product.get(), product_length);
  product.reset();
  std::memcpy(decorated + product_length, ids, ids_length);
  decorated[product_length + ids_length] = '\0';
  GwSetObjProp(toolkit_logger, "product", decorated);
}

void EkLogger::set_log_level(Level* new_level) {
  if (new_level == nullptr) {
    ToolkitText configured = get_text_property(toolkit_logger, "level");
    new_level = new EkLevel(configured ? GwGetLevelFromString(configured.get()) : 0);
  }
  if (new_level != level) {
    delete level;
    level = new_level;
  }
  if (toolkit_logger != nullptr) GwSetObjPropInt(toolkit_logger, "level", level->value);
}

void EkLogger::set_prod_name(const std::string& product) {
  std::string text = product;
  const EkLogManager* manager = dynamic_cast<const EkLogManager*>(LogManager::g_log_manager);
  if (manager != nullptr && manager->get_prod_port() > 0) {
    text += "port=";
    text += std::to_string(manager->get_prod_port());
  }
  GwSetObjProp(toolkit_logger, "product", text.c_str());
  GwSetObjProp(toolkit_logger, "prod_port", text.c_str());
  GwSetObjProp(toolkit_logger, "component", component.c_str());
}

Handler* EkLogger::add_handler(const std::string& name, const std::string& class_name) {
  if (handler != nullptr) {
    Handler* previous = handler;
    handler = nullptr;
    LogManager::g_log_manager->dispose_handler(previous);
  }
  handler = EkHandler::get_handler(name, class_name, *this);
  return handler;
}

}  // namespace Log

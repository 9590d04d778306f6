#include "eklogger/logger.h"

#include "eklogger/handler.h"
#include "eklogger/level.h"
#include "eklogger/logmanager.h"

namespace Log {

namespace {

struct StandardLogger {
  const char* logger_prefix;
  const char* handler_name;
  const char* formatter_name;
};

const StandardLogger kStandardLoggers[] = {
    {"logger.dc.msg", "handler.file.dc.msg", "formatter.xml"},
    {"logger.dc.err", "handler.file.dc.err", "formatter.xml"},
    {"logger.dc.trace", "handler.file.dc.trace", "formatter.xml"},
};

const StandardLogger* find_standard_logger(const std::string& logger_name) {
  for (const StandardLogger& standard : kStandardLoggers) {
    if (logger_name.rfind(standard.logger_prefix, 0) == 0) return &standard;
  }
  return nullptr;
}

}  // namespace

Logger::Logger(const std::string& component, const std::string& logger_name,
               const std::string& class_name)
    : handler(nullptr), level(nullptr), component(component) {
  if (!logger_name.empty()) name = logger_name + "." + component;
  if (!class_name.empty()) this->class_name = class_name;
}

Logger::~Logger() {
  delete level;
  LogManager::g_log_manager->dispose_handler(handler);
}

void Logger::set_logfile_name(const std::string& name, const std::string& location) {
  if (handler != nullptr) handler->set_file_name(name, location);
}

void Logger::append_logfile_name_suffix(const std::string& suffix) {
  if (handler != nullptr) handler->append_logfile_name_suffix(suffix);
}

void Logger::reset_defaultlog_location(const std::string& location) {
  if (handler != nullptr) handler->reset_defaultlog_location(location);
}

const std::string& Logger::get_prod_name() const {
  return LogManager::g_log_manager->get_prod_name();
}

std::string Logger::get_formatter_type(const std::string& logger_name) const {
  const StandardLogger* standard = find_standard_logger(logger_name);
  return standard != nullptr ? standard->formatter_name : "";
}

std::string Logger::get_handler_type(const std::string& logger_name) const {
  const StandardLogger* standard = find_standard_logger(logger_name);
  return standard != nullptr ? standard->handler_name : "";
}

}  // namespace Log

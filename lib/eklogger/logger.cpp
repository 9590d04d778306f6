#include "eklogger/logger.h"

#include "eklogger/handler.h"
#include "eklogger/level.h"
#include "eklogger/logmanager.h"
#include "eklogger/standard_names.h"

namespace Log {

namespace {

const StandardNames* find_standard_logger(const std::string& logger_name) {
  for (const StandardNames& standard : kStandardNames) {
    if (logger_name.rfind(standard.logger, 0) == 0) return &standard;
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
  const StandardNames* standard = find_standard_logger(logger_name);
  return standard != nullptr ? standard->formatter : "";
}

std::string Logger::get_handler_type(const std::string& logger_name) const {
  const StandardNames* standard = find_standard_logger(logger_name);
  return standard != nullptr ? standard->handler : "";
}

}  // namespace Log

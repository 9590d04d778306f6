#include "eklogger/loggergroup.h"

#include "eklogger/logger.h"
#include "eklogger/logmanager.h"

namespace Log {

LoggerGroup::LoggerGroup(const std::string& name, LogManager* manager)
    : loggers{nullptr, nullptr, nullptr}, manager(manager), name(name) {}

LoggerGroup::~LoggerGroup() {
  // Leave the registry first: the last group's loggers then find it empty
  // and the shared handlers are deleted with them.
  manager->remove_logger(this);
  for (Logger* logger : loggers) delete logger;
}

void LoggerGroup::set_trace_file_name(const std::string& name, const std::string& suffix,
                                      const std::string& location) {
  if (Logger* trace = loggers[kTraceLogger]) {
    trace->set_logfile_name(name, location);
    trace->append_logfile_name_suffix(suffix);
  }
}

void LoggerGroup::append_logfile_name_suffix(const std::string& suffix) {
  for (Logger* logger : loggers) {
    if (logger != nullptr) logger->append_logfile_name_suffix(suffix);
  }
}

void LoggerGroup::reset_defaultlog_location(const std::string& location) {
  for (Logger* logger : loggers) {
    if (logger != nullptr) logger->reset_defaultlog_location(location);
  }
}

void LoggerGroup::severe(const char* text, int message_number, const char* catalog, int set) {
  Logger* error = loggers[kErrorLogger];
  Logger* message = loggers[kMessageLogger];
  if (error == nullptr || message == nullptr) return;
  error->severe(text, message_number, catalog, set);
  message->severe(text, message_number, catalog, set);
}

void LoggerGroup::severe(const char* text, int message_number) {
  const LogManager* process = LogManager::g_log_manager;
  severe(text, message_number, process->get_catalog_name(), process->get_catalog_set());
}

void LoggerGroup::warning(const char* text, int message_number, const char* catalog, int set) {
  if (Logger* message = loggers[kMessageLogger]) {
    message->warning(text, message_number, catalog, set);
  }
}

void LoggerGroup::warning(const char* text, int message_number) {
  const LogManager* process = LogManager::g_log_manager;
  warning(text, message_number, process->get_catalog_name(), process->get_catalog_set());
}

void LoggerGroup::info(const char* text, int message_number, const char* catalog, int set) {
  if (Logger* message = loggers[kMessageLogger]) {
    message->info(text, message_number, catalog, set);
  }
}

void LoggerGroup::info(const char* text, int message_number) {
  const LogManager* process = LogManager::g_log_manager;
  info(text, message_number, process->get_catalog_name(), process->get_catalog_set());
}

void LoggerGroup::fine(const char* text, const char* file, const char* function, int line) {
  if (Logger* trace = loggers[kTraceLogger]) trace->fine(text, file, function, line);
}

void LoggerGroup::finer(const char* text, const char* file, const char* function, int line) {
  if (Logger* trace = loggers[kTraceLogger]) trace->finer(text, file, function, line);
}

void LoggerGroup::finest(const char* text, const char* file, const char* function, int line) {
  if (Logger* trace = loggers[kTraceLogger]) trace->finest(text, file, function, line);
}

void LoggerGroup::entry(const char* detail, const char* function, ...) {
  if (Logger* trace = loggers[kTraceLogger]) trace->entry(detail, function);
}

void LoggerGroup::exitf(const char* detail, const char* function) {
  if (Logger* trace = loggers[kTraceLogger]) trace->exitf(detail, function);
}

Logger* LoggerGroup::get_logger(int role) const {
  return static_cast<unsigned>(role) <= 2u ? loggers[role] : nullptr;
}

void LoggerGroup::set_logger(int role, Logger* logger) {
  if (static_cast<unsigned>(role) <= 2u) loggers[role] = logger;
}

}  // namespace Log

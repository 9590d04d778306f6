#include "eklogger/logmanager.h"

#include <algorithm>
#include <memory>

#include "eklogger/formatter.h"
#include "eklogger/handler.h"
#include "eklogger/level.h"
#include "eklogger/logger.h"
#include "eklogger/loggergroup.h"
#include "eklogger/standard_names.h"

namespace Log {

LogManager* LogManager::g_log_manager = nullptr;

namespace {

static_assert(sizeof kStandardNames / sizeof kStandardNames[0] == LogManager::kRoleCount,
              "a standard name for each role");
const char kPropertiesFileName[] = "eklogger.properties";

// Fills empty strings of `to` from `from`.
void merge_string(std::string& to, const std::string& from) {
  if (to.empty() && !from.empty()) to = from;
}

}  // namespace

LogManager::LogManager() : toolkit_open(false) {
  for (int role = 0; role < kRoleCount; ++role) {
    default_params[role].logger_name = kStandardNames[role].logger;
  }
  for (int role = 0; role < kRoleCount; ++role) {
    default_params[role].handler_name = kStandardNames[role].handler;
  }
  for (int role = 0; role < kRoleCount; ++role) {
    default_params[role].formatter_name = kStandardNames[role].formatter;
  }
}

LogManager::~LogManager() { destroy_loggers(); }

LoggerGroup* LogManager::add_logger(const std::string& name, LoggerParams* params) {
  if (!toolkit_open) return nullptr;
  if (LoggerGroup* existing = find_logger(name)) return existing;

  std::unique_ptr<LoggerGroup> group(new LoggerGroup(name, this));
  LoggerGroup* first = find_first_group();
  for (int role = 0; role < kRoleCount; ++role) {
    const LoggerParams& record = params[role];
    Logger* logger = get_logger(name, record.logger_name, record.logger_class);
    if (logger == nullptr) {
      group->set_logger(role, nullptr);
      continue;
    }
    // The group owns the logger from here on, so nothing below can leak it.
    group->set_logger(role, logger);
    logger->set_prod_name(prod_name);
    logger->set_log_level(record.level);
    if (first != nullptr) {
      Logger* sibling = first->get_logger(role);
      logger->handler = sibling != nullptr ? sibling->handler : nullptr;
    } else if (Handler* handler = logger->add_handler(record.handler_name, record.handler_class)) {
      handler->set_file_name(record.file_name, log_file_location);
      handler->add_formatter(record.formatter_name, record.formatter_class);
    }
  }
  groups.push_back(group.get());
  return group.release();
}

LoggerGroup* LogManager::find_logger(const std::string& name) {
  for (LoggerGroup* group : groups) {
    if (group->get_name() == name) return group;
  }
  return nullptr;
}

void LogManager::destroy_loggers() {
  // Each group unlinks itself while it is destroyed, so take the oldest
  // remaining one until none is left.
  while (!groups.empty()) {
    LoggerGroup* oldest = groups.front();
    delete oldest;
    // A group built outside add_logger may not have unlinked itself.
    groups.remove(oldest);
  }
}

LoggerGroup* LogManager::find_first_group() const {
  return groups.empty() ? nullptr : groups.front();
}

void LogManager::remove_logger(LoggerGroup* group) { groups.remove(group); }

void LogManager::dispose_handler(Handler* handler) {
  if (groups.empty() && handler != nullptr) delete handler;
}

LoggerParams* LogManager::delete_logger(const std::string& name) {
  LoggerGroup* group = find_logger(name);
  if (group == nullptr) return nullptr;

  std::unique_ptr<LoggerParams[]> recorded(new LoggerParams[kRoleCount]);
  for (int role = 0; role < kRoleCount; ++role) {
    const Logger* logger = group->get_logger(role);
    if (logger == nullptr) continue;
    LoggerParams& record = recorded[role];
    record.logger_name = logger->name;
    record.logger_class = logger->class_name;
    if (logger->level != nullptr) record.level = new Level(logger->level->value);
    if (Handler* handler = logger->handler) {
      record.handler_name = handler->name;
      record.handler_class = handler->class_name;
      record.file_name = handler->get_file_name();
      if (const Formatter* formatter = handler->formatter) {
        record.formatter_name = formatter->name;
        record.formatter_class = formatter->class_name;
      }
    }
  }
  delete group;
  return recorded.release();
}

LoggerGroup* LogManager::update_logger(const std::string& name, LoggerParams* params) {
  std::unique_ptr<LoggerParams[]> recorded(delete_logger(name));
  if (!recorded) return nullptr;
  for (int role = 0; role < kRoleCount; ++role) {
    LoggerParams& to = params[role];
    LoggerParams& from = recorded[role];
    merge_string(to.logger_name, from.logger_name);
    merge_string(to.logger_class, from.logger_class);
    merge_string(to.handler_name, from.handler_name);
    merge_string(to.handler_class, from.handler_class);
    merge_string(to.formatter_name, from.formatter_name);
    merge_string(to.formatter_class, from.formatter_class);
    merge_string(to.file_name, from.file_name);
    if (to.level == nullptr) {
      to.level = from.level;
    } else {
      delete from.level;  // recorded but not passed on: ours to free
    }
    from.level = nullptr;
  }
  return add_logger(name, params);
}

void LogManager::set_log_file_location(const std::string& path, bool as_is) {
  if (as_is) {
    log_file_location = path;
  } else {
    log_file_location = path + "/../logs/server1/" + prod_name;
  }
}

void LogManager::set_prop_file(const std::string& dir) {
  prop_file = dir + "/" + kPropertiesFileName;
}

std::string LogManager::get_file_leaf_name(const std::string& path, bool strip_exe) {
  const std::string::size_type slash = path.rfind('/');
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  static const char kExe[] = ".exe";
  const std::string::size_type exe_length = sizeof(kExe) - 1;
  if (strip_exe && leaf.size() >= exe_length &&
      leaf.compare(leaf.size() - exe_length, exe_length, kExe) == 0) {
    leaf.erase(leaf.size() - exe_length);
  }
  return leaf;
}

}  // namespace Log

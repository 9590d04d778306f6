// Small concrete loggers, handlers and a manager for testing the abstract
// layer without the toolkit.  Every call lands in one shared journal, in
// order, as "<object>.<operation>(<arguments>)".
#ifndef EKLOGGER_TESTS_EKLOGGER_RECORDING_CLASSES_H_
#define EKLOGGER_TESTS_EKLOGGER_RECORDING_CLASSES_H_

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "eklogger/formatter.h"
#include "eklogger/handler.h"
#include "eklogger/level.h"
#include "eklogger/logger.h"
#include "eklogger/loggergroup.h"
#include "eklogger/logmanager.h"

namespace testing_classes {

std::vector<std::string>& journal();
// Handlers alive now, and how often each address was deleted.
std::set<const Log::Handler*>& live_handlers();
int& handler_deletions();

class RecordingFormatter : public Log::Formatter {
 public:
  using Log::Formatter::Formatter;
  ~RecordingFormatter() override { journal().push_back("formatter " + name + " deleted"); }
};

class RecordingHandler : public Log::Handler {
 public:
  RecordingHandler(const std::string& name, const std::string& class_name,
                   const Log::Logger& logger)
      : Log::Handler(name, class_name, logger) {
    live_handlers().insert(this);
  }
  ~RecordingHandler() override {
    live_handlers().erase(this);
    ++handler_deletions();
  }
  void add_formatter(const std::string& formatter_name,
                     const std::string& formatter_class) override {
    journal().push_back(name + ".add_formatter(" + formatter_name + ", " + formatter_class + ")");
    delete formatter;
    formatter = new RecordingFormatter(formatter_name, formatter_class, *this);
  }
  std::string get_file_name() override { return file_name; }
  void set_file_name(const std::string& file, const std::string& location) override {
    journal().push_back(name + ".set_file_name(" + file + ", " + location + ")");
    Log::Handler::set_file_name(file, location);
  }
  void append_logfile_name_suffix(const std::string& suffix) override {
    journal().push_back(name + ".append_logfile_name_suffix(" + suffix + ")");
  }
  void reset_defaultlog_location(const std::string& location) override {
    journal().push_back(name + ".reset_defaultlog_location(" + location + ")");
  }
  using Log::Handler::file_name;
};

class RecordingLogger : public Log::Logger {
 public:
  RecordingLogger(const std::string& component, const std::string& logger_name,
                  const std::string& class_name)
      : Log::Logger(component, logger_name, class_name) {}

  void severe(const char* text, int number, const char* catalog, int set) override {
    note("severe", text, number, catalog, set);
  }
  void warning(const char* text, int number, const char* catalog, int set) override {
    note("warning", text, number, catalog, set);
  }
  void info(const char* text, int number, const char* catalog, int set) override {
    note("info", text, number, catalog, set);
  }
  void fine(const char* text, const char* file, const char* function, int line) override {
    note_trace("fine", text, file, function, line);
  }
  void finer(const char* text, const char* file, const char* function, int line) override {
    note_trace("finer", text, file, function, line);
  }
  void finest(const char* text, const char* file, const char* function, int line) override {
    note_trace("finest", text, file, function, line);
  }
  void entry(const char* detail, const char* function, ...) override {
    journal().push_back(name + ".entry(" + detail + ", " + function + ")");
  }
  void exitf(const char* detail, const char* function) override {
    journal().push_back(name + ".exitf(" + detail + ", " + function + ")");
  }
  void set_log_level(Log::Level* new_level) override {
    delete level;
    level = new_level;
  }
  void set_prod_name(const std::string& product) override {
    journal().push_back(name + ".set_prod_name(" + product + ")");
  }
  Log::Handler* add_handler(const std::string& handler_name,
                            const std::string& handler_class) override {
    journal().push_back(name + ".add_handler(" + handler_name + ", " + handler_class + ")");
    handler = new RecordingHandler(handler_name, handler_class, *this);
    return handler;
  }

  using Log::Logger::handler;
  using Log::Logger::level;

 private:
  void note(const char* what, const char* text, int number, const char* catalog, int set) {
    journal().push_back(name + "." + what + "(" + text + ", " + std::to_string(number) + ", " +
                        catalog + ", " + std::to_string(set) + ")");
  }
  void note_trace(const char* what, const char* text, const char* file, const char* function,
                  int line) {
    journal().push_back(name + "." + what + "(" + text + ", " + file + ", " + function + ", " +
                        std::to_string(line) + ")");
  }
};

// A manager whose toolkit is a flag and whose loggers are RecordingLoggers.
// Logger names listed in no_logger_for get no logger from the factory.
class RecordingManager : public Log::LogManager {
 public:
  RecordingManager() {
    Log::LogManager::g_log_manager = this;
    toolkit_open = true;
  }
  ~RecordingManager() override {
    destroy_loggers();
    Log::LogManager::g_log_manager = nullptr;
  }

  Log::LoggerGroup* get_logger(const std::string& group_name) override {
    if (Log::LoggerGroup* existing = find_logger(group_name)) return existing;
    return add_logger(group_name, default_params);
  }
  bool set_attributes(const std::string& dir) override {
    set_prop_file(dir);
    toolkit_open = open_result;
    return toolkit_open;
  }
  Log::Logger* get_logger(const std::string& group_name, const std::string& logger_name,
                          const std::string& logger_class) override {
    if (no_logger_for.count(logger_name) != 0) return nullptr;
    return new RecordingLogger(group_name, logger_name, logger_class);
  }

  bool open_result = true;
  std::set<std::string> no_logger_for;
  using Log::LogManager::default_params;
  using Log::LogManager::groups;
  using Log::LogManager::prod_name;
  using Log::LogManager::toolkit_open;
};

// The journal and handler bookkeeping start empty for each test.
class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    journal().clear();
    handler_deletions() = 0;
  }
};

}  // namespace testing_classes

#endif  // EKLOGGER_TESTS_EKLOGGER_RECORDING_CLASSES_H_

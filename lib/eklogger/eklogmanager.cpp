#include "eklogger/eklogmanager.h"

#include <memory>
#include <mutex>

#include "eklogger/eklogger.h"
#include "eklogger/platform/toolkit.h"

namespace Log {

namespace {

// Serialises first calls of initialize, so that racing threads neither
// create two managers nor see one that is still being set up.
std::mutex& initialize_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

LogManager* EkLogManager::initialize(const std::string& program_name,
                                     const std::string& program_dir, int port,
                                     const std::string& log_dir) {
  std::lock_guard<std::mutex> lock(initialize_mutex());
  if (g_log_manager != nullptr) return g_log_manager;

  EkLogManager* manager = new EkLogManager(program_name, program_dir);
  g_log_manager = manager;
  manager->prod_name = get_file_leaf_name(program_name, true);
  if (log_dir.empty()) {
    manager->set_log_file_location(program_dir, false);
  } else {
    manager->set_log_file_location(log_dir, true);
  }
  manager->set_catfiles_location(program_dir);
  manager->prod_port = port;
  // A failed open shows later, as null groups; initialisation succeeds.
  static_cast<LogManager*>(manager)->set_attributes(program_dir);
  return g_log_manager;
}

LogManager* EkLogManager::initialize(const std::string& program_name,
                                     const std::string& program_dir, const std::string&, int port,
                                     const std::string& log_dir) {
  return initialize(program_name, program_dir, port, log_dir);
}

EkLogManager::EkLogManager(const std::string& program_name, const std::string& program_dir)
    : prod_port(0), program_name(program_name), program_dir(program_dir) {}

EkLogManager::~EkLogManager() {
  // The toolkit closes before the groups release their toolkit objects,
  // which it accepts.
  GwCloseToolkit();
}

LoggerGroup* EkLogManager::get_logger(const std::string& name) {
  if (LoggerGroup* existing = find_logger(name)) return existing;
  return add_logger(name, default_params);
}

bool EkLogManager::set_attributes(const std::string& dir) {
  set_prop_file(dir);
  toolkit_open = GwOpenToolkit(prop_file.c_str()) == 1;
  return toolkit_open;
}

Logger* EkLogManager::get_logger(const std::string& group_name, const std::string& logger_name,
                                 const std::string& logger_class) {
  return EkLogger::get_logger(group_name, logger_name, logger_class);
}

void EkLogManager::set_catfiles_location(const std::string& dir) {
  catfiles_location = dir + "/../catfiles";
}

}  // namespace Log

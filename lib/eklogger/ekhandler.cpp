#include "eklogger/ekhandler.h"

#include <sys/ipc.h>

#include "eklogger/ekformatter.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/logger.h"
#include "eklogger/platform/runtime.h"

namespace Log {

namespace {

const int kSemaphoreProjectId = 0x61;  // 'a'

// The file whose identity names the semaphore shared by every process of
// the program.
std::string semaphore_key_path(const Logger& logger) {
  const EkLogManager* manager = dynamic_cast<const EkLogManager*>(LogManager::g_log_manager);
  if (manager == nullptr || manager->get_program_name().empty()) return logger.get_prod_name();
  return manager->get_program_dir() + "/" + manager->get_program_name();
}

}  // namespace

EkHandler* EkHandler::get_handler(const std::string& name, const std::string& class_name,
                                  const Logger& logger) {
  return new EkHandler(name, class_name, logger);
}

EkHandler::EkHandler(const std::string& name, const std::string& class_name, const Logger& logger)
    : Handler(name, class_name, logger),
      toolkit_handler(
          GwGetObject(name.c_str(), class_name.empty() ? nullptr : class_name.c_str())) {
  const key_t key = ftok(semaphore_key_path(logger).c_str(), kSemaphoreProjectId);
  GwSetObjPropInt(toolkit_handler, "MPFileSemKey", static_cast<int>(key));
}

EkHandler::~EkHandler() {
  if (toolkit_handler != nullptr) {
    GwReleaseObject(toolkit_handler);
    toolkit_handler = nullptr;
  }
}

std::string EkHandler::get_file_name() {
  if (toolkit_handler == nullptr) return std::string();
  unsigned char found = 0;
  char* text = GwGetObjProp(toolkit_handler, "fileName", &found);
  if (found == 0) return std::string();
  std::string copy = text != nullptr ? text : "";
  OruMemoryFree(text);
  return copy;
}

void EkHandler::set_file_name(const std::string& name, const std::string& location) {
  Handler::set_file_name(name.empty() ? get_file_name() : name, location);
  if (toolkit_handler != nullptr) write_file_name();
}

void EkHandler::append_logfile_name_suffix(const std::string& suffix) {
  if (toolkit_handler == nullptr) return;
  file_name += suffix;
  write_file_name();
}

void EkHandler::reset_defaultlog_location(const std::string& location) {
  if (toolkit_handler == nullptr) return;
  file_name = location + "/" + LogManager::get_file_leaf_name(file_name, false);
  write_file_name();
}

void EkHandler::add_formatter(const std::string& name, const std::string& class_name) {
  // Never left holding the deleted formatter, even if the new one throws.
  Formatter* previous = formatter;
  formatter = nullptr;
  delete previous;
  formatter = EkFormatter::get_formatter(name, class_name, *this);
}

void EkHandler::write_file_name() { GwSetObjProp(toolkit_handler, "fileName", file_name.c_str()); }

}  // namespace Log

#include "eklogger/handler.h"

#include "eklogger/formatter.h"

namespace Log {

Handler::Handler(const std::string& name, const std::string& class_name, const Logger& logger)
    : formatter(nullptr), logger(&logger), name(name), class_name(class_name) {}

Handler::~Handler() { delete formatter; }

void Handler::set_file_name(const std::string& name, const std::string& location) {
  if (name.find('/') != std::string::npos) {
    file_name = name;
  } else {
    file_name = location + "/" + name;
  }
}

}  // namespace Log

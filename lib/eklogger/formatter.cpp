#include "eklogger/formatter.h"

namespace Log {

Formatter::Formatter(const std::string& name, const std::string& class_name, const Handler& handler)
    : handler(&handler), name(name), class_name(class_name) {}

Formatter::~Formatter() = default;

void Formatter::format() {}

const char* Formatter::get_head(const Handler&) { return nullptr; }

const char* Formatter::get_tail(const Handler&) { return nullptr; }

Formatter* Formatter::get_formatter(const std::string& name, const std::string& class_name,
                                    const Handler& handler) {
  return new Formatter(name, class_name, handler);
}

}  // namespace Log

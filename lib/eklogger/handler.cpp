#include "eklogger/handler.h"

#include "eklogger/formatter.h"

namespace Log {

namespace {

// True when the relative name has a ".." component.  Such a name is kept as
// given rather than joined to the location, out of which it would climb;
// the toolkit refuses one that comes from its configuration file.
bool climbs(const std::string& name) {
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type slash = name.find('/', start);
    const std::string::size_type end = slash == std::string::npos ? name.size() : slash;
    if (name.compare(start, end - start, "..") == 0) return true;
    if (slash == std::string::npos) return false;
    start = slash + 1;
  }
}

}  // namespace

Handler::Handler(const std::string& name, const std::string& class_name, const Logger& logger)
    : formatter(nullptr), logger(&logger), name(name), class_name(class_name) {}

Handler::~Handler() { delete formatter; }

void Handler::set_file_name(const std::string& name, const std::string& location) {
  // A relative name with directories goes into the location as a bare
  // name does ("sub/app.log" is not the working directory's "sub").
  if (name.find('/') != std::string::npos && (name[0] == '/' || climbs(name))) {
    file_name = name;
  } else {
    file_name = location + "/" + name;
  }
}

}  // namespace Log

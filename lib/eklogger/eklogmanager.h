// The library's entry point: creates the process's single manager, derives
// the product name and the log, catalog and properties locations from the
// program's name and directory, opens the logging toolkit, and builds groups
// whose loggers are bound to toolkit objects.
//
// The manager owns its groups; deleting it closes the toolkit and destroys
// every group, after which nothing of the library may be used.
//
// Thread safety: concurrent calls of initialize are serialised and all get
// the one manager, fully set up.  Obtaining, rebuilding and destroying
// groups must be serialised by the application; records may be written
// through obtained groups from any thread.
#ifndef EKLOGGER_EKLOGMANAGER_H_
#define EKLOGGER_EKLOGMANAGER_H_

#include <cstdint>
#include <string>

#include "eklogger/export.h"
#include "eklogger/logmanager.h"

namespace Log {

class EKLOGGER_EXPORT EkLogManager : public LogManager {
 public:
  // Creates and publishes the manager on the first call and returns it;
  // later calls return the same manager and change nothing.  An empty
  // log_dir means program_dir/../logs/server1/<product name>.  A toolkit
  // that fails to open is not reported here: get_logger then yields null
  // for every new name.
  static LogManager* initialize(const std::string& program_name, const std::string& program_dir,
                                int port, const std::string& log_dir);
  // The same; the third string is ignored.
  static LogManager* initialize(const std::string& program_name, const std::string& program_dir,
                                const std::string& unused, int port, const std::string& log_dir);

  // Stores both strings unchanged; touches neither g_log_manager nor the
  // toolkit.
  EkLogManager(const std::string& program_name, const std::string& program_dir);
  // Closes the toolkit, then destroys every group.
  ~EkLogManager() override;

  // The group of that name, built from the default parameters if it is new;
  // null when it is new and the toolkit is not open.  Owned by the manager.
  LoggerGroup* get_logger(const std::string& name) override;
  // Opens the toolkit with dir/eklogger.properties; true when it opened.
  bool set_attributes(const std::string& dir) override;
  // A new EkLogger without a handler; the caller owns it.  Never null.
  Logger* get_logger(const std::string& group_name, const std::string& logger_name,
                     const std::string& logger_class) override;

  // The catalog directory becomes dir/../catfiles.  initialize passes the
  // program directory, so by default a program reads the catalogs its
  // product ships beside bin/.  For the installed catalogs pass their
  // directory (EKLOGGER_CATALOG_DIR of the CMake package, pkg-config's
  // catalogdir): it is named catfiles, so dir/../catfiles is itself.
  void set_catfiles_location(const std::string& dir);

  std::int32_t get_prod_port() const { return prod_port; }
  const std::string& get_catfiles_location() const { return catfiles_location; }
  const std::string& get_program_name() const { return program_name; }
  const std::string& get_program_dir() const { return program_dir; }

 private:
  std::int32_t prod_port;
  std::string catfiles_location;
  std::string program_name;
  std::string program_dir;
};

}  // namespace Log

#endif  // EKLOGGER_EKLOGMANAGER_H_

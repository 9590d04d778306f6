// A program outside the project, built against an installed libeklogger:
//   consumer <scratch directory> [catalog directory]
// logs through a group into the scratch directory and prints message 1 of
// the "eklogger" catalog in French, found in the catalog directory (by
// default the one the CMake package named when it was built).
#include <cstdio>

#include "eklogger/eklogmanager.h"
#include "eklogger/ekmsg.h"
#include "eklogger/loggergroup.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  Log::LogManager* manager = Log::EkLogManager::initialize("consumer", argv[1], 0, argv[1]);
  const char* catalog_dir = argc > 2 ? argv[2] : nullptr;
#ifdef CONSUMER_CATALOG_DIR
  if (catalog_dir == nullptr) catalog_dir = CONSUMER_CATALOG_DIR;
#endif
  // The installed catalogs: <catalog_dir>/<locale>/eklogger.cat.
  auto* ek_manager = dynamic_cast<Log::EkLogManager*>(manager);
  if (catalog_dir != nullptr && ek_manager != nullptr)
    ek_manager->set_catfiles_location(catalog_dir);
  const char* table[] = {"eklogger 1", "Server started on port %1$d"};
  const char* text = Log::EkMsg::format(table, 1, "fr");
  std::printf("fr: %s\n", text != nullptr ? text : "(none)");

  Log::LoggerGroup* group = manager->get_logger("main");
  std::printf("group %s\n", group != nullptr ? "ready" : "missing");
  if (group != nullptr) group->info("installed and linked", 1);
  delete manager;
  return 0;
}

#include <cstdio>

#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  Log::LogManager* manager = Log::EkLogManager::initialize("consumer", argv[1], 0, argv[1]);
  Log::LoggerGroup* group = manager->get_logger("main");
  std::printf("group %s\n", group != nullptr ? "ready" : "missing");
  if (group != nullptr) group->info("installed and linked", 1);
  delete manager;
  return 0;
}

// Run under strace by rsyslog_test: opens the toolkit with the given
// configuration, sends one record (which connects), then COUNT more.
#include <cstdlib>

#include "eklogger/platform/toolkit.h"

int main(int argc, char** argv) {
  if (argc != 3 || GwOpenToolkit(argv[1]) != 1) return 2;
  GwHandle logger = GwGetObject("logger.app", nullptr);
  GwLogInfo(logger, "eklogger", 1, 1, "first");
  const int count = std::atoi(argv[2]);
  for (int i = 0; i < count; ++i) GwLogInfo(logger, "eklogger", 1, 2, "probe record");
  GwReleaseObject(logger);
  GwCloseToolkit();
  return 0;
}

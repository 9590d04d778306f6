// A program that the system-call test runs under strace: it configures one
// logger on one file, writes a first record (which opens the file), then
// the number of records given, alternating message and trace records, and
// closes the toolkit.  Usage: toolkit_probe <directory> <records> [limit [rotate]]
// (a limit turns rotation on, with the count kept by the processes' shared state;
// rotate, "daily" or "hourly", rotation by time besides)
// Exits 3 when the records left the file empty (no formatter to render).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "eklogger/platform/toolkit.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s <directory> <records> [limit [rotate]]\n", argv[0]);
    return 2;
  }
  const std::string directory = argv[1];
  const int records = std::atoi(argv[2]);
  const std::string config = directory + "/probe.properties";
  const std::string log = directory + "/probe.log";
  std::ofstream(config) << "logger.probe.level = ALL\n"
                           "logger.probe.handlers = handler.probe\n"
                           "handler.probe.formatter = formatter.probe\n"
                           "handler.probe.fileName = "
                        << log
                        << "\n"
                           "formatter.probe.className = gw_basicformatter\n"
                        << (argc >= 4 ? std::string("handler.probe.limit = ") + argv[3] +
                                            "\nhandler.probe.count = 2\n"
                                      : std::string())
                        << (argc >= 5 ? std::string("handler.probe.rotate = ") + argv[4] + "\n"
                                      : std::string());
  if (GwOpenToolkit(config.c_str()) != 1) return 1;
  GwHandle logger = GwGetObject("logger.probe", nullptr);
  GwSetObjProp(logger, "product", "probe");
  GwLogInfo(logger, "probe", 1, 1, "first record, opens the file", nullptr);
  for (int i = 0; i < records; ++i) {
    if (i % 2 == 0) {
      GwLogInfo(logger, "probe", 1, 2, "a message record of steady size", nullptr);
    } else {
      GwLogDebugMin(logger, "probe.cpp", "main", 42, "a trace record of steady size", nullptr);
    }
  }
  GwReleaseObject(logger);
  GwCloseToolkit();
  struct stat status;
  return ::stat(log.c_str(), &status) == 0 && status.st_size > 0 ? 0 : 3;
}

#include "bench_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace bench {

const char kProgramName[] = "bench";

const char kOurProperties[] =
    "logger.dc.msg.level = INFO\n"
    "logger.dc.msg.handlers = handler.file.dc.msg\n"
    "logger.dc.err.level = SEVERE\n"
    "logger.dc.err.handlers = handler.file.dc.err\n"
    "logger.dc.trace.level = FINEST\n"
    "logger.dc.trace.handlers = handler.file.dc.trace\n"
    "handler.file.dc.msg.fileName = msg.log\n"
    "handler.file.dc.msg.formatter = formatter.msg\n"
    "formatter.msg.className = gw_basicformatter\n"
    "handler.file.dc.err.fileName = err.log\n"
    "handler.file.dc.err.formatter = formatter.err\n"
    "formatter.err.className = gw_basicformatter\n"
    "handler.file.dc.trace.fileName = trace.log\n"
    "handler.file.dc.trace.formatter = formatter.trace\n"
    "formatter.trace.className = gw_basicformatter\n";

const char kStagingProperties[] =
    "handler.file.dc.msg.staging = 1048576\n"
    "handler.file.dc.trace.staging = 1048576\n";

bool write_program_dir(const std::string& program_dir, std::string& reason,
                       const char* extra_properties) {
  if (::mkdir(program_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    reason = program_dir + ": " + std::strerror(errno);
    return false;
  }
  // Every process writes the same text and renames it into place, so two
  // processes starting together never read half a file.
  const std::string path = program_dir + "/eklogger.properties";
  const std::string temporary = path + "." + std::to_string(::getpid());
  {
    std::ofstream out(temporary);
    out << kOurProperties << extra_properties;
    if (!out) {
      reason = temporary + ": cannot write";
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    reason = path + ": " + std::strerror(errno);
    return false;
  }
  // The handlers' cross-process semaphore key is made from the program's
  // own file, which must exist.
  std::ofstream(program_dir + "/" + kProgramName, std::ios::app);
  return true;
}

}  // namespace bench

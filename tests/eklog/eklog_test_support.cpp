#include "eklog_test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace eklog_test {

std::string eklog_program() { return EKLOG_PROGRAM; }

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

Result shell(const std::string& command) {
  const TempDir dir("eklog-run");
  const std::string full = "( " + command + " ) >" + dir.file("out") + " 2>" + dir.file("err");
  Result result;
  const int status = std::system(full.c_str());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read_file(dir.file("out"));
  result.err = read_file(dir.file("err"));
  return result;
}

Result eklog(const std::string& arguments) { return shell(eklog_program() + " " + arguments); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

Scratch::Scratch() {
  if (std::getenv("EKLOG_TEST_KEEP") != nullptr) dir_.keep();
}

void Scratch::write(const std::string& name, const std::string& content) const {
  write_file(path(name), content);
}

void write_mixed_properties(const Scratch& scratch, long limit, int count) {
  ::mkdir(scratch.path("bin").c_str(), 0700);
  ::mkdir(scratch.path("logs").c_str(), 0700);
  std::ofstream(scratch.path("bin/server")) << "program\n";
  std::ofstream properties(scratch.path("bin/eklogger.properties"));
  properties << "logger.dc.msg.level = INFO\n"
                "logger.dc.err.level = WARNING\n"
                "logger.dc.trace.level = FINEST\n";
  // The basic handler under the name of the library's trace handler, so
  // that trace records carry the process and thread identifiers.
  for (const char* role : {"msg", "err", "trace"}) {
    properties << "logger.dc." << role
               << ".handlers = handler.file.dc.trace handler.xml handler.json\n";
  }
  const struct {
    const char* name;
    const char* file;
    const char* formatter;
  } handlers[] = {{"xml", "all.xml", "gw_xmlformatter"},
                  {"json", "all.json", "gw_jsonformatter"},
                  {"file.dc.trace", "all.log", "gw_basicformatter"}};
  for (const auto& handler : handlers) {
    properties << "handler." << handler.name << ".className = gw_filehandler\n"
               << "handler." << handler.name << ".fileName = " << scratch.path("logs/")
               << handler.file << "\n"
               << "handler." << handler.name << ".formatter = formatter." << handler.name << "\n"
               << "handler." << handler.name << ".limit = " << limit << "\n"
               << "handler." << handler.name << ".count = " << count << "\n"
               << "formatter." << handler.name << ".className = " << handler.formatter << "\n";
  }
}

int start_mixed_writer(const Scratch& scratch, long records, long pause_us) {
  const std::string bin = scratch.path("bin"), logs = scratch.path("logs");
  const std::string records_text = std::to_string(records), pause_text = std::to_string(pause_us);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(EKLOG_MIXED_WRITER, EKLOG_MIXED_WRITER, bin.c_str(), logs.c_str(), records_text.c_str(),
            pause_text.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

}  // namespace eklog_test

// A small server-like program: it initialises logging from the shipped
// configuration and catalogs, starts worker threads that log catalogued
// messages, warnings, errors and trace records through two groups, and then
// shows where its log files are and a few of their lines.
//
// Usage: server_demo [locale]   (default: the LANG of the environment)
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "eklogger/eklevel.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/ekmsg.h"
#include "eklogger/handler.h"
#include "eklogger/logger.h"
#include "eklogger/loggergroup.h"
#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"

namespace {

// Default texts of the "eklogger" catalog, used where no catalog file for the
// locale exists.  Entry 0 names the catalog and counts the messages.
const char* kMessages[] = {
    "eklogger 6",
    "Server started on port %1$d",
    "Configuration file %1$s could not be read",
    "Client %1$s connected",
    "Shutting down",
    "Request took %1$d ms",
    "%1$d requests received from %2$s",
};

enum Message {
  kStarted = 1,
  kConfigUnreadable,
  kClientConnected,
  kShuttingDown,
  kRequestTook,
  kRequestsReceived,
};

// The message's text in the locale, with its arguments filled in.  The
// caller frees the result with OruMemoryFree.
char* message_text(int number, const char* locale, std::vector<nxPrintfArgVal> args) {
  const char* format = Log::EkMsg::format(kMessages, number, locale);
  nxPrintfArgVal end{};
  end.type = NX_ARG_END;
  args.push_back(end);
  return Log::EkMsg::format(format != nullptr ? format : kMessages[number], args.data());
}

nxPrintfArgVal int_arg(long long value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_INT;
  arg.value.i = value;
  return arg;
}

nxPrintfArgVal string_arg(const char* value) {
  nxPrintfArgVal arg{};
  arg.type = NX_ARG_STRING;
  arg.value.s = value;
  return arg;
}

void log_message(Log::LoggerGroup* group, int number, const char* locale,
                 std::vector<nxPrintfArgVal> args) {
  char* text = message_text(number, locale, std::move(args));
  group->info(text, number);
  OruMemoryFree(text);
}

void handle_requests(Log::LoggerGroup* group, const char* locale, int worker) {
  group->entry("worker", __func__);
  for (int request = 0; request < 3; ++request) {
    const std::string client = "10.0.0." + std::to_string(worker * 10 + request);
    log_message(group, kClientConnected, locale, {string_arg(client.c_str())});
    group->finer(("serving " + client).c_str(), __FILE__, __func__, __LINE__);
    log_message(group, kRequestTook, locale, {int_arg(5 + worker * request)});
  }
  log_message(group, kRequestsReceived, locale, {int_arg(3), string_arg("10.0.0.0/24")});
  if (worker == 1) group->warning("Request queue is above 80% of its limit", 6);
  if (worker == 2) group->severe("Lost the connection to the database", 7);
  group->exitf("worker", __func__);
}

std::string executable_dir() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  path[length] = '\0';
  std::string dir(path);
  return dir.substr(0, dir.rfind('/'));
}

// Prints the last lines of a log file, which this run has just written.
void show_file(const std::string& path, std::size_t lines) {
  std::ifstream file(path);
  if (!file) {
    std::cout << "  " << path << " (not written)\n";
    return;
  }
  std::deque<std::string> last;
  for (std::string line; std::getline(file, line);) {
    last.push_back(line);
    if (last.size() > lines) last.pop_front();
  }
  std::cout << "  " << path << ", last lines:\n";
  const std::size_t width = 150;
  for (std::string& line : last) {
    // XML records end with their text, so they are shortened from the front.
    if (line.size() > width) {
      line = line.compare(0, 7, "<record") == 0 ? "..." + line.substr(line.size() - width)
                                                : line.substr(0, width) + "...";
    }
    std::cout << "    " << line << "\n";
  }
}

// Rotation to compressed archives, shown on the trace file: a limit of
// 4 KiB, three archives kept, each compressed in the background, as
// "handler.<name>.limit = 4096", "count = 3" and "compress = gzip" in the
// configuration would have it.
void show_compressed_rotation(Log::LoggerGroup* group, const std::string& trace_file) {
  GwHandle handler = GwGetObject("handler.file.dc.trace", nullptr);
  if (handler == nullptr) return;
  GwSetObjProp(handler, "count", "3");
  GwSetObjProp(handler, "compress", "gzip");
  GwSetObjProp(handler, "limit", "4096");
  GwReleaseObject(handler);
  for (int order = 0; order < 100; ++order) {
    group->finer(("order " + std::to_string(order) + " priced").c_str(), __FILE__, __func__,
                 __LINE__);
  }
  const std::string archive = trace_file + ".1.gz";
  for (int wait = 0; wait < 300 && access(archive.c_str(), F_OK) != 0; ++wait) usleep(10000);
  std::cout << "  " << trace_file << " rotated at 4 KiB, archives compressed in the background:\n";
  for (int index = 1; index <= 3; ++index) {
    const std::string name = trace_file + "." + std::to_string(index);
    const bool packed = access((name + ".gz").c_str(), F_OK) == 0;
    if (packed || access(name.c_str(), F_OK) == 0) {
      std::cout << "    " << name << (packed ? ".gz" : " (being compressed)") << "\n";
    }
  }
  std::cout << "  (zcat " << archive << " reads one)\n";
}

}  // namespace

int main(int argc, char** argv) {
  const char* locale = argc > 1 ? argv[1] : nullptr;
  const std::string dir = executable_dir();

  Log::LogManager* manager = Log::EkLogManager::initialize("server_demo", dir, 9000, "");
  Log::LoggerGroup* orders = manager->get_logger("orders");
  Log::LoggerGroup* billing = manager->get_logger("billing");
  if (orders == nullptr || billing == nullptr) {
    std::cerr << "server_demo: the logging toolkit did not open " << manager->get_prop_file()
              << "\n";
    delete manager;
    return 1;
  }
  // Trace is off in the shipped configuration; turn it on for one group.
  orders->get_logger(Log::kTraceLogger)->set_log_level(new Log::EkLevel(1000));

  log_message(orders, kStarted, locale, {int_arg(9000)});
  std::vector<std::thread> workers;
  for (int worker = 0; worker < 4; ++worker) {
    Log::LoggerGroup* group = worker % 2 == 0 ? orders : billing;
    workers.emplace_back(handle_requests, group, locale, worker);
  }
  for (std::thread& worker : workers) worker.join();
  log_message(orders, kShuttingDown, locale, {});

  std::vector<std::string> files;
  for (int role = 0; role < 3; ++role) {
    if (Log::Handler* handler = orders->get_logger(role)->get_handler()) {
      files.push_back(handler->get_file_name());
    }
  }

  std::cout << "server_demo logged through the groups \"orders\" and \"billing\".\n"
            << "Log files (configuration " << dir << "/eklogger.properties):\n";
  for (const std::string& file : files) show_file(file, 6);
  if (files.size() == 3) show_compressed_rotation(orders, files[2]);
  delete manager;
  return 0;
}

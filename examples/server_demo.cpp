// A small server-like program: it initialises logging from the shipped
// configuration and catalogs, starts worker threads that log catalogued
// messages, warnings, errors and trace records through two groups, then
// turns tracing on by editing its own eklogger.properties while a worker
// runs, and shows where its log files are and a few of their lines.
//
// Usage: server_demo [locale]   (default: the LANG of the environment)
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <sstream>
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

std::string file_text(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Replaces the file by a new one, as editors do: a reader sees the old
// text or the new, never a part.
bool replace_file(const std::string& path, const std::string& text) {
  const std::string next = path + ".new";
  {
    std::ofstream file(next, std::ios::trunc);
    if (!(file << text)) return false;
  }
  return std::rename(next.c_str(), path.c_str()) == 0;
}

// text with the first line that starts with key given value instead.
std::string with_setting(std::string text, const std::string& key, const std::string& value) {
  for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
    if (text.compare(at, key.size(), key) == 0) {
      const std::size_t end = text.find('\n', at);
      return text.replace(at, end == std::string::npos ? std::string::npos : end - at,
                          key + " = " + value);
    }
    if (text.find('\n', at) == std::string::npos) break;
  }
  return text + key + " = " + value + "\n";
}

std::size_t lines_with(const std::string& path, const std::string& part) {
  std::ifstream file(path);
  std::size_t count = 0;
  for (std::string line; std::getline(file, line);) count += line.find(part) != std::string::npos;
  return count;
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
  // FINE: the edit above made FINE the trace level of every group.
  for (int order = 0; order < 100; ++order) {
    group->fine(("order " + std::to_string(order) + " priced").c_str(), __FILE__, __func__,
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
  // Its own configuration, looked at every second for this run (the shipped
  // file says every 10), and put back as it was at the end.
  const std::string configuration = dir + "/eklogger.properties";
  const std::string shipped = file_text(configuration);
  replace_file(configuration, with_setting(shipped, "toolkit.reloadInterval", "1"));

  Log::LogManager* manager = Log::EkLogManager::initialize("server_demo", dir, 9000, "");
  Log::LoggerGroup* orders = manager->get_logger("orders");
  Log::LoggerGroup* billing = manager->get_logger("billing");
  if (orders == nullptr || billing == nullptr) {
    std::cerr << "server_demo: the logging toolkit did not open " << manager->get_prop_file()
              << "\n";
    delete manager;
    replace_file(configuration, shipped);
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

  // Tracing is off for "billing" in the file: a worker traces all the same
  // (nothing is written) while the file is edited to turn it on, which each
  // process of the program notices by itself within the interval.
  std::string trace_file;
  if (Log::Handler* handler = billing->get_logger(Log::kTraceLogger)->get_handler()) {
    trace_file = handler->get_file_name();
  }
  const std::size_t traced_before = lines_with(trace_file, "[billing]");
  std::atomic<bool> working{true};
  std::thread tracer([&] {
    for (int request = 0; working.load(); ++request) {
      billing->fine(("billing request " + std::to_string(request)).c_str(), __FILE__, __func__,
                    __LINE__);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::cout << "server_demo: editing " << configuration << ": logger.dc.trace.level = FINE"
            << std::endl;
  const auto edited = std::chrono::steady_clock::now();
  replace_file(configuration,
               with_setting(file_text(configuration), "logger.dc.trace.level", "FINE"));
  while (lines_with(trace_file, "[billing]") == traced_before &&
         std::chrono::steady_clock::now() - edited < std::chrono::seconds(4)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - edited);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  working.store(false);
  tracer.join();
  const std::size_t traced = lines_with(trace_file, "[billing]") - traced_before;
  std::cout << "server_demo: " << trace_file << " "
            << (traced > 0
                    ? "started filling " + std::to_string(waited.count()) +
                          " ms after the edit: " + std::to_string(traced) + " billing trace records"
                    : "did not fill: the file was not re-read")
            << std::endl;
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
  replace_file(configuration, shipped);
  return 0;
}

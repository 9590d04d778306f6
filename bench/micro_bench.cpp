// Microbenchmarks of one record on each path of our library, of the pieces
// under it, and of the peers' disabled calls for comparison.  One manager
// serves every benchmark (it cannot be made twice in a process); levels are
// changed through the loggers between benchmarks.  Each benchmark of ours
// reports "allocs/record" from the counting allocator linked in.
#include <benchmark/benchmark.h>
#include <glog/logging.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_config.h"
#include "call_floor.h"
#include "counting_allocator.h"
#include "eklogger/eklevel.h"
#include "eklogger/eklogger.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/ekmsg.h"
#include "eklogger/loggergroup.h"
#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"

namespace {

enum : int { kFinest = 1000, kFiner = 2000, kInfo = 4000, kWarning = 5000 };

Log::LogManager* manager = nullptr;
Log::LoggerGroup* group = nullptr;
std::string log_dir;
const std::string text(
    "order accepted for settlement queue order accepted for settlement queue order acc");

bool have_group(benchmark::State& state) {
  if (group != nullptr) return true;
  state.SkipWithError("toolkit not available");
  return false;
}

void set_level(int role, int level) {
  group->get_logger(role)->set_log_level(new Log::EkLevel(level));
}

// Keeps the log files from growing without bound between benchmarks.
void empty_log_files() {
  for (const char* name : {"/msg.log", "/trace.log", "/err.log"}) {
    if (::truncate((log_dir + name).c_str(), 0) != 0) {
      // Not there yet: nothing to empty.
    }
  }
}

// Counts allocations over the timed loop and reports them per record.
class AllocationCounter {
 public:
  explicit AllocationCounter(benchmark::State& state)
      : state_(state), before_(bench::allocation_count()) {}
  ~AllocationCounter() {
    const double made = static_cast<double>(bench::allocation_count() - before_);
    state_.counters["allocs/record"] =
        state_.iterations() > 0 ? made / static_cast<double>(state_.iterations()) : 0;
  }

 private:
  benchmark::State& state_;
  std::uint64_t before_;
};

// ---- records below their level ------------------------------------------

void BM_FinerTraceOff(benchmark::State& state) {
  if (!have_group(state)) return;
  set_level(Log::kTraceLogger, kInfo);
  {
    AllocationCounter counter(state);
    for (auto _ : state) group->finer(text.c_str(), "orders.cpp", "submit", 42);
  }
  set_level(Log::kTraceLogger, kFinest);
}
BENCHMARK(BM_FinerTraceOff);

void BM_InfoAtWarning(benchmark::State& state) {
  if (!have_group(state)) return;
  set_level(Log::kMessageLogger, kWarning);
  {
    AllocationCounter counter(state);
    for (auto _ : state) group->info(text.c_str(), 42);
  }
  set_level(Log::kMessageLogger, kInfo);
}
BENCHMARK(BM_InfoAtWarning);

void BM_EntryExitTraceOff(benchmark::State& state) {
  if (!have_group(state)) return;
  set_level(Log::kTraceLogger, kInfo);
  {
    AllocationCounter counter(state);
    for (auto _ : state) {
      group->entry(nullptr, "process_order");
      group->exitf(nullptr, "process_order");
    }
  }
  set_level(Log::kTraceLogger, kFinest);
}
BENCHMARK(BM_EntryExitTraceOff);

void BM_GwIsLoggable(benchmark::State& state) {
  if (!have_group(state)) return;
  set_level(Log::kTraceLogger, kInfo);
  const auto* trace = dynamic_cast<const Log::EkLogger*>(group->get_logger(Log::kTraceLogger));
  const GwHandle handle = trace->get_toolkit_logger();
  for (auto _ : state) benchmark::DoNotOptimize(GwIsLoggable(handle, kFiner));
  set_level(Log::kTraceLogger, kFinest);
}
BENCHMARK(BM_GwIsLoggable);

// The floor: a virtual call into a shared library and one call from there
// into another, with nothing else.
void BM_CallFloor(benchmark::State& state) {
  static bench::FloorLogger* floor = bench::make_floor_logger();
  bench::FloorLogger* logger = floor;
  benchmark::DoNotOptimize(logger);
  for (auto _ : state) logger->finer(text.c_str(), "orders.cpp", "submit", 42);
}
BENCHMARK(BM_CallFloor);

// The peers' disabled calls, measured in the same run.
void BM_SpdlogDisabled(benchmark::State& state) {
  static auto logger =
      std::make_shared<spdlog::logger>("disabled", std::make_shared<spdlog::sinks::null_sink_mt>());
  logger->set_level(spdlog::level::info);
  for (auto _ : state) logger->debug("{}", text);
}
BENCHMARK(BM_SpdlogDisabled);

void BM_GlogVlogDisabled(benchmark::State& state) {
  FLAGS_v = 0;
  for (auto _ : state) VLOG(2) << text;
}
BENCHMARK(BM_GlogVlogDisabled);

void BM_Log4cxxDisabled(benchmark::State& state) {
  static log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("disabled");
  logger->setLevel(log4cxx::Level::getInfo());
  for (auto _ : state) LOG4CXX_DEBUG(logger, text);
}
BENCHMARK(BM_Log4cxxDisabled);

// ---- records written through the whole stack into a file ----------------

void BM_InfoToFile(benchmark::State& state) {
  if (!have_group(state)) return;
  group->info(text.c_str(), 42);  // the file is open and the buffers warm
  {
    AllocationCounter counter(state);
    for (auto _ : state) group->info(text.c_str(), 42);
  }
  empty_log_files();
}
BENCHMARK(BM_InfoToFile);

void BM_DecoratedFinerToFile(benchmark::State& state) {
  if (!have_group(state)) return;
  group->finer(text.c_str(), "orders.cpp", "submit", 42);
  {
    AllocationCounter counter(state);
    for (auto _ : state) group->finer(text.c_str(), "orders.cpp", "submit", 42);
  }
  empty_log_files();
}
BENCHMARK(BM_DecoratedFinerToFile);

void BM_EntryExitToFile(benchmark::State& state) {
  if (!have_group(state)) return;
  group->entry(nullptr, "process_order");
  {
    AllocationCounter counter(state);
    for (auto _ : state) {
      group->entry(nullptr, "process_order");
      group->exitf(nullptr, "process_order");
    }
  }
  empty_log_files();
}
BENCHMARK(BM_EntryExitToFile);

// ---- formatting ----------------------------------------------------------

void BM_EkMsgFormat(benchmark::State& state) {
  nxPrintfArgVal args[4];
  args[0].type = NX_ARG_INT;
  args[0].value.i = 42;
  args[1].type = NX_ARG_STRING;
  args[1].value.s = "settlement";
  args[2].type = NX_ARG_DOUBLE;
  args[2].value.d = 3.25;
  args[3].type = NX_ARG_END;
  AllocationCounter counter(state);
  for (auto _ : state) {
    char* formatted = Log::EkMsg::format("order %d queued for %s at %.2f", args);
    benchmark::DoNotOptimize(formatted);
    OruMemoryFree(formatted);
  }
}
BENCHMARK(BM_EkMsgFormat);

void BM_NxStringBuffPrintfA(benchmark::State& state) {
  nxPrintfArgVal args[4];
  args[0].type = NX_ARG_INT;
  args[0].value.i = 42;
  args[1].type = NX_ARG_STRING;
  args[1].value.s = "settlement";
  args[2].type = NX_ARG_DOUBLE;
  args[2].value.d = 3.25;
  args[3].type = NX_ARG_END;
  NxStringBuff buffer = {nullptr, 0, 0};
  for (auto _ : state) {
    buffer.length = 0;  // reuse the capacity, as snprintf reuses its array
    benchmark::DoNotOptimize(
        NxStringBuffPrintfA(nullptr, &buffer, "order %d queued for %s at %.2f", args));
  }
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
}
BENCHMARK(BM_NxStringBuffPrintfA);

void BM_Snprintf(benchmark::State& state) {
  char buffer[256];
  int number = 42;
  const char* name = "settlement";
  double value = 3.25;
  benchmark::DoNotOptimize(number);
  benchmark::DoNotOptimize(name);
  benchmark::DoNotOptimize(value);
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buffer, sizeof(buffer), "order %d queued for %s at %.2f",
                                           number, name, value));
  }
}
BENCHMARK(BM_Snprintf);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  char directory[] = "/tmp/eklogger-micro-XXXXXX";
  const char* made = ::mkdtemp(directory);
  log_dir = made != nullptr ? made : ".";
  if (const char* dir = std::getenv("EKLOGGER_BENCH_DIR")) log_dir = dir;
  ::mkdir(log_dir.c_str(), 0755);
  std::string reason;
  if (!bench::write_program_dir(log_dir + "/program", reason)) {
    std::fprintf(stderr, "eklogger_micro_bench: %s\n", reason.c_str());
    return 1;
  }
  manager = Log::EkLogManager::initialize(bench::kProgramName, log_dir + "/program", 0, log_dir);
  group = manager->get_logger("orders");
  if (group == nullptr) std::fprintf(stderr, "eklogger_micro_bench: toolkit not available\n");
  google::InitGoogleLogging(bench::kProgramName);
  FLAGS_logtostderr = true;

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete manager;
  log4cxx::LogManager::shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(log_dir, ignored);
  return 0;
}

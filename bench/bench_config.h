// What the benchmarks share about our library's set-up: the program name,
// the properties file they give the toolkit (write-through, or with the
// message and trace handlers staged), and the program directory that holds
// it.  Used from one thread before any record is written.
#ifndef EKLOGGER_BENCH_BENCH_CONFIG_H_
#define EKLOGGER_BENCH_BENCH_CONFIG_H_

#include <string>

namespace bench {

extern const char kProgramName[];
// Messages at INFO and trace at FINEST, each role to its own file in the log
// directory, with the basic formatter (so trace records are decorated).
extern const char kOurProperties[];
// Added to kOurProperties: the message and trace handlers stage their
// records in 1 MiB each and the flusher writes them (the error handler
// stays write-through).
extern const char kStagingProperties[];

// Creates program_dir with eklogger.properties (kOurProperties, then
// extra_properties) and the program's file; false with a reason when it
// cannot.
bool write_program_dir(const std::string& program_dir, std::string& reason,
                       const char* extra_properties = "");

}  // namespace bench

#endif  // EKLOGGER_BENCH_BENCH_CONFIG_H_

// Fuzz target: eklog's reader of the basic format's lines, on arbitrary
// bytes split into lines (see eklog_record_fuzz.h for what is checked).
#include "eklog_record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::fuzz_record_lines(eklog::Format::kBasic, data, size);
  return 0;
}

// One-line reports on standard error: configuration mistakes, files that
// cannot be opened or written.  Each report is one write(2) of one line, so
// reports from several threads never interleave.  Safe from any thread.
#ifndef EKLOGGER_TOOLKIT_DIAGNOSTICS_H_
#define EKLOGGER_TOOLKIT_DIAGNOSTICS_H_

#include <string>
#include <string_view>

namespace gw {

// Writes text and a newline to standard error, as it stands.
void report_line(std::string_view text);

// Writes "gwtoolkit: " and text: for reports that have no file position.
void report(std::string_view text);

// "path:line: text", the form of a configuration-file mistake.
void report_at(std::string_view path, int line, std::string_view text);

// The C library's text for an errno value.
std::string error_text(int error_number);

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_DIAGNOSTICS_H_

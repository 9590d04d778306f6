// The toolkit's tests, and the syslog and journal tests built on them, name
// the shared test helpers (tests/common) as gw_test::TempDir and so on.
#ifndef EKLOGGER_TESTS_TOOLKIT_TEST_SUPPORT_H_
#define EKLOGGER_TESTS_TOOLKIT_TEST_SUPPORT_H_

#include "test_files.h"

namespace gw_test {

using ::exists;
using ::read_file;
using ::read_lines;
using ::TempDir;
using ::write_file;

}  // namespace gw_test

#endif  // EKLOGGER_TESTS_TOOLKIT_TEST_SUPPORT_H_

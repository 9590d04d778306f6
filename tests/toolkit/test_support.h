// Helpers of the toolkit's tests: a temporary directory removed at the end,
// whole-file reads and writes, and the lines of a file.
#ifndef EKLOGGER_TESTS_TOOLKIT_TEST_SUPPORT_H_
#define EKLOGGER_TESTS_TOOLKIT_TEST_SUPPORT_H_

#include <string>
#include <vector>

namespace gw_test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);  // empty when missing
std::vector<std::string> read_lines(const std::string& path);
bool exists(const std::string& path);

}  // namespace gw_test

#endif  // EKLOGGER_TESTS_TOOLKIT_TEST_SUPPORT_H_

// Files for tests: a temporary directory removed with everything in it when
// the test is done, whole-file reads and writes, and a file's lines.  A
// TempDir belongs to one test; the functions keep no state and are safe
// from any thread.
#ifndef EKLOGGER_TESTS_COMMON_TEST_FILES_H_
#define EKLOGGER_TESTS_COMMON_TEST_FILES_H_

#include <string>
#include <vector>

// A new directory below $TMPDIR (else /tmp), named prefix-XXXXXX and private
// to its owner, removed with its contents by the destructor unless keep()
// was called or EKLOGGER_KEEP_TEST_DIRS is set.  Directories that a test
// made unreadable are opened up first, so they go too.  Throws
// std::runtime_error when the directory cannot be made.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "eklogger-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // name (which may hold slashes) below the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Leaves the directory in place, for a look after a failure.
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// The file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
// Replaces the file's contents with bytes, making its missing parent
// directories first.
void write_file(const std::string& path, const std::string& bytes);
// The file's lines without their line feeds; an unterminated last line counts.
std::vector<std::string> read_lines(const std::string& path);
// True when the name leads to something: a file, a directory, a socket, ...
bool exists(const std::string& path);

#endif  // EKLOGGER_TESTS_COMMON_TEST_FILES_H_

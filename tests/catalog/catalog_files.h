// Test helpers for catalog files: a temporary directory removed with its
// contents, plain files and FIFOs in it, and catalogs compiled by gencat.
// Each object belongs to one test; nothing here is thread-safe.
#ifndef TESTS_CATALOG_CATALOG_FILES_H_
#define TESTS_CATALOG_CATALOG_FILES_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace catalog_files {

class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/lcs_test.XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes bytes to path, creating its directories.
inline void write_file(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void make_fifo(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
}

// Compiles gencat source text (UTF-8) into the catalog file cat_path.
inline void compile_catalog(const std::string& source, const std::string& cat_path) {
  const std::string msg_path = cat_path + ".msg";
  write_file(msg_path, source);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("LC_ALL", "C.UTF-8", 1);
    execl(EKLOGGER_GENCAT, "gencat", "-o", cat_path.c_str(), msg_path.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "gencat failed for " << cat_path;
  std::filesystem::remove(msg_path);
}

}  // namespace catalog_files

#endif  // TESTS_CATALOG_CATALOG_FILES_H_

// Test helpers for catalog files: FIFOs in place of catalogs, and catalogs
// compiled by gencat.  Not thread-safe.
#ifndef TESTS_CATALOG_CATALOG_FILES_H_
#define TESTS_CATALOG_CATALOG_FILES_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_files.h"

namespace catalog_files {

inline void make_fifo(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
}

// Compiles gencat source text (UTF-8) into the catalog file cat_path.
inline void compile_catalog(const std::string& source, const std::string& cat_path) {
  const std::string msg_path = cat_path + ".msg";
  write_file(msg_path, source);  // with its directories
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

// The fixture of the toolkit's C-interface tests: a temporary directory
// with the configuration file, owned handles, and property reads.
#ifndef EKLOGGER_TESTS_TOOLKIT_TOOLKIT_FIXTURE_H_
#define EKLOGGER_TESTS_TOOLKIT_TOOLKIT_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>

#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"
#include "test_support.h"

namespace gw_test {

// A handle released once when it goes out of scope.
class Ref {
 public:
  explicit Ref(GwHandle handle) : handle_(handle) {}
  Ref(const char* name, const char* class_name = nullptr)
      : handle_(GwGetObject(name, class_name)) {}
  ~Ref() {
    if (handle_ != nullptr) GwReleaseObject(handle_);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  GwHandle get() const { return handle_; }
  operator GwHandle() const { return handle_; }

 private:
  GwHandle handle_;
};

// The property's text, or "<none>" when it is not found.
inline std::string property(GwHandle object, const char* name) {
  unsigned char found = 0;
  char* text = GwGetObjProp(object, name, &found);
  if (found == 0) return text == nullptr ? "<none>" : "<text without found flag>";
  std::string value = text;
  OruMemoryFree(text);
  return value;
}

class ToolkitFixture : public ::testing::Test {
 protected:
  void TearDown() override { GwCloseToolkit(); }

  std::string config_path() const { return dir_.file("eklogger.properties"); }
  int open_with(const std::string& text) {
    write_file(config_path(), text);
    return GwOpenToolkit(config_path().c_str());
  }
  // Opens with text and returns what the toolkit wrote on standard error.
  std::string open_capturing(const std::string& text, int* result = nullptr) {
    ::testing::internal::CaptureStderr();
    const int opened = open_with(text);
    if (result != nullptr) *result = opened;
    return ::testing::internal::GetCapturedStderr();
  }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

}  // namespace gw_test

#endif  // EKLOGGER_TESTS_TOOLKIT_TOOLKIT_FIXTURE_H_

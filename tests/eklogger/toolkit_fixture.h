// A fixture for the toolkit-bound classes: the recording platform double,
// reset, and a process-wide EkLogManager for the program "prog" in
// /opt/p/bin, as the loggers and handlers expect to find one.
#ifndef EKLOGGER_TESTS_EKLOGGER_TOOLKIT_FIXTURE_H_
#define EKLOGGER_TESTS_EKLOGGER_TOOLKIT_FIXTURE_H_

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "eklogger/eklogmanager.h"
#include "platform_fake.h"

namespace testing_classes {

class ToolkitTest : public fake::FakeTest {
 protected:
  void SetUp() override {
    fake::FakeTest::SetUp();
    Log::LogManager::g_log_manager = nullptr;
  }
  void TearDown() override {
    delete Log::LogManager::g_log_manager;
    Log::LogManager::g_log_manager = nullptr;
    fake::FakeTest::TearDown();
  }

  // Publishes a manager that has not been initialised through the toolkit.
  Log::EkLogManager* install_manager(const std::string& program_name = "prog",
                                     const std::string& program_dir = "/opt/p/bin") {
    auto* manager = new Log::EkLogManager(program_name, program_dir);
    Log::LogManager::g_log_manager = manager;
    return manager;
  }
};

}  // namespace testing_classes

#endif  // EKLOGGER_TESTS_EKLOGGER_TOOLKIT_FIXTURE_H_

#include "recording_classes.h"

#include <gtest/gtest.h>

namespace testing_classes {

std::vector<std::string>& journal() {
  static std::vector<std::string> entries;
  return entries;
}

std::set<const Log::Handler*>& live_handlers() {
  static std::set<const Log::Handler*> handlers;
  return handlers;
}

int& handler_deletions() {
  static int count = 0;
  return count;
}

}  // namespace testing_classes

// A recording stand-in for the three platform libraries (toolkit, message
// catalogs, runtime), for the library's unit tests of call sequences.
//
// Every platform call is logged as one line, e.g.
//   GwSetObjProp(@logger.dc.msg.g, "product", "srv")
// with handles shown as @<object name>, texts quoted and null pointers as
// null.  Tests script the answers (which objects exist, properties,
// loggable thresholds, identifiers, catalog results) and read the log.
// Texts handed out through GwGetObjProp and NxStringBuffTakeStr are tracked,
// so a leaked or twice-freed text is caught.
//
// All functions are safe from several threads; the log keeps call order.
#ifndef EKLOGGER_TESTS_FAKE_PLATFORM_FAKE_H_
#define EKLOGGER_TESTS_FAKE_PLATFORM_FAKE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "eklogger/platform/toolkit.h"

namespace fake {

// Forgets every call, object, property and script setting.
void reset();

// The calls made since the last reset, in order.
std::vector<std::string> calls();
// Only the calls whose function name starts with prefix.
std::vector<std::string> calls_of(const std::string& prefix);
void clear_calls();

// --- Toolkit script -------------------------------------------------------
void set_open_result(int result);
// GwGetObject of this name returns null.
void set_missing_object(const std::string& name);
// The object's property as GwGetObjProp finds it (the library's own writes
// land here too).
void set_property(const std::string& object, const std::string& property, const std::string& value);
void clear_property(const std::string& object, const std::string& property);
// The property's current value, or "<unset>".
std::string property(const std::string& object, const std::string& property);
// GwIsLoggable(object, level) answers 1 when level >= threshold (default 0).
void set_threshold(const std::string& object, int threshold);
// GwHandlerGetFormatter(handler) returns the object of that name; "" none.
void set_handler_formatter(const std::string& handler, const std::string& formatter);
// GwHandlerGetFormatter throws std::bad_alloc, as a failed allocation
// inside the toolkit-bound formatter's construction would.
void set_formatter_lookup_throws(bool throws);
void set_handler_header(const std::string& handler, const char* header);
void set_handler_trailer(const std::string& handler, const char* trailer);
// How often GwReleaseObject was called with the object's handle.
int release_count(const std::string& object);
// The handle GwGetObject gives for the name (creating the object).
GwHandle handle_of(const std::string& name);

// A record call as the toolkit saw it, with the logger's "product" property
// at that moment.
struct Record {
  std::string function;
  std::string logger;
  std::string product;
  std::string text;
};
std::vector<Record> records();

// --- Runtime script -------------------------------------------------------
void set_process_id(std::uint64_t id);
// The calling thread's identifier from now on (threads get 1, 2, ... by
// default, in the order they first ask).
void set_thread_id(std::uint64_t id);

// --- Catalog script -------------------------------------------------------
void set_locale_fails(bool fails);
void set_codeset_fails(bool fails);
// lcs_catgets of (set, number) on any open catalog returns this text.
void set_catalog_text(int set, int number, const std::string& text);

// --- Memory checks --------------------------------------------------------
// Texts handed out and not yet freed through OruMemoryFree.
int outstanding_texts();
// OruMemoryFree calls with a pointer the fake never handed out (or handed
// out and freed already).
int bad_frees();

// A fixture that resets the fake before each test and checks afterwards
// that every handed-out text was freed exactly once.
class FakeTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    EXPECT_EQ(outstanding_texts(), 0) << "a property text was never freed";
    EXPECT_EQ(bad_frees(), 0) << "a text was freed twice or was not the platform's";
  }
};

}  // namespace fake

#endif  // EKLOGGER_TESTS_FAKE_PLATFORM_FAKE_H_

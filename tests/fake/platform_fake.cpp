#include "platform_fake.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <sstream>

#include "eklogger/platform/catalog.h"
#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"

namespace fake {

namespace {

struct Object {
  std::string name;
  std::map<std::string, std::string> properties;
  int threshold = 0;
  std::string formatter;  // for handlers: the formatter object's name
  const char* header = nullptr;
  const char* trailer = nullptr;
  int releases = 0;
};

struct State {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<Record> records;
  std::map<std::string, std::unique_ptr<Object>> objects;
  std::set<std::string> missing;
  std::set<void*> texts;  // handed out, not yet freed
  int bad_frees = 0;
  int open_result = 1;
  bool formatter_lookup_throws = false;
  std::uint64_t process_id = 4242;
  bool locale_fails = false;
  bool codeset_fails = false;
  std::map<std::pair<int, int>, std::string> catalog_texts;
  std::set<std::string> kept_texts;  // catalog texts live for the process
};

State& state() {
  static State* instance = new State;  // outlives every static destructor
  return *instance;
}

std::atomic<std::uint64_t> next_thread_id{1};
thread_local std::uint64_t current_thread_id = 0;

// Callers hold the mutex.
Object* object_named(const std::string& name) {
  std::unique_ptr<Object>& slot = state().objects[name];
  if (!slot) {
    slot.reset(new Object);
    slot->name = name;
  }
  return slot.get();
}

// The object behind a handle the fake handed out, or null.
Object* object_of(GwHandle handle) {
  for (auto& entry : state().objects) {
    if (entry.second.get() == handle) return entry.second.get();
  }
  return nullptr;
}

std::string quote(const char* text) {
  if (text == nullptr) return "null";
  return std::string("\"") + text + "\"";
}

std::string show(GwHandle handle) {
  if (handle == nullptr) return "null";
  Object* object = object_of(handle);
  return object != nullptr ? "@" + object->name : "@<unknown>";
}

void log(const std::string& line) { state().calls.push_back(line); }

char* hand_out(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  state().texts.insert(copy);
  return copy;
}

const char* trailing_pointer(va_list args) {
  return va_arg(args, void*) == nullptr ? "null" : "non-null";
}

int log_message(const char* function, GwHandle logger, const char* catalog, int set, int number,
                const char* text, va_list args) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::ostringstream line;
  line << function << "(" << show(logger) << ", " << quote(catalog) << ", " << set << ", " << number
       << ", " << quote(text) << ", " << trailing_pointer(args) << ")";
  log(line.str());
  Object* object = object_of(logger);
  state().records.push_back({function, object ? object->name : "",
                             object ? object->properties["product"] : "", text ? text : ""});
  return 1;
}

int log_debug(const char* function, GwHandle logger, const char* file, const char* name,
              int line_number, const char* text, va_list args) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::ostringstream line;
  line << function << "(" << show(logger) << ", " << quote(file) << ", " << quote(name) << ", "
       << line_number << ", " << quote(text) << ", " << trailing_pointer(args) << ")";
  log(line.str());
  Object* object = object_of(logger);
  state().records.push_back({function, object ? object->name : "",
                             object ? object->properties["product"] : "", text ? text : ""});
  return 1;
}

}  // namespace

void reset() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.clear();
  s.records.clear();
  s.objects.clear();
  s.missing.clear();
  for (void* text : s.texts) std::free(text);
  s.texts.clear();
  s.bad_frees = 0;
  s.open_result = 1;
  s.formatter_lookup_throws = false;
  s.process_id = 4242;
  s.locale_fails = false;
  s.codeset_fails = false;
  s.catalog_texts.clear();
}

std::vector<std::string> calls() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().calls;
}

std::vector<std::string> calls_of(const std::string& prefix) {
  std::vector<std::string> matching;
  for (const std::string& call : calls()) {
    if (call.compare(0, prefix.size(), prefix) == 0) matching.push_back(call);
  }
  return matching;
}

void clear_calls() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().calls.clear();
  state().records.clear();
}

void set_open_result(int result) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().open_result = result;
}

void set_missing_object(const std::string& name) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().missing.insert(name);
}

void set_property(const std::string& object, const std::string& property,
                  const std::string& value) {
  std::lock_guard<std::mutex> lock(state().mutex);
  object_named(object)->properties[property] = value;
}

void clear_property(const std::string& object, const std::string& property) {
  std::lock_guard<std::mutex> lock(state().mutex);
  object_named(object)->properties.erase(property);
}

std::string property(const std::string& object, const std::string& property) {
  std::lock_guard<std::mutex> lock(state().mutex);
  auto found = state().objects.find(object);
  if (found == state().objects.end()) return "<unset>";
  auto value = found->second->properties.find(property);
  return value == found->second->properties.end() ? "<unset>" : value->second;
}

void set_threshold(const std::string& object, int threshold) {
  std::lock_guard<std::mutex> lock(state().mutex);
  object_named(object)->threshold = threshold;
}

void set_handler_formatter(const std::string& handler, const std::string& formatter) {
  std::lock_guard<std::mutex> lock(state().mutex);
  object_named(handler)->formatter = formatter;
}

void set_formatter_lookup_throws(bool throws) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().formatter_lookup_throws = throws;
}

void set_handler_header(const std::string& handler, const char* header) {
  std::lock_guard<std::mutex> lock(state().mutex);
  object_named(handler)->header = header;
}

void set_handler_trailer(const std::string& handler, const char* trailer) {
  std::lock_guard<std::mutex> lock(state().mutex);
  object_named(handler)->trailer = trailer;
}

int release_count(const std::string& object) {
  std::lock_guard<std::mutex> lock(state().mutex);
  auto found = state().objects.find(object);
  return found == state().objects.end() ? 0 : found->second->releases;
}

GwHandle handle_of(const std::string& name) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return object_named(name);
}

std::vector<Record> records() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().records;
}

void set_process_id(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().process_id = id;
}

void set_thread_id(std::uint64_t id) {
  // The next NxThreadGetCurrentID keeps a 0 instead of drawing a new id.
  current_thread_id = id == 0 ? UINT64_MAX : id;
}

void set_locale_fails(bool fails) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().locale_fails = fails;
}

void set_codeset_fails(bool fails) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().codeset_fails = fails;
}

void set_catalog_text(int set, int number, const std::string& text) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().catalog_texts[{set, number}] = text;
}

int outstanding_texts() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return static_cast<int>(state().texts.size());
}

int bad_frees() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().bad_frees;
}

}  // namespace fake

using fake::log;
using fake::object_named;
using fake::object_of;
using fake::quote;
using fake::show;
using fake::state;

extern "C" {

// --- Toolkit ---------------------------------------------------------------

int GwOpenToolkit(const char* properties_path) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwOpenToolkit(" + quote(properties_path) + ")");
  return state().open_result;
}

int GwCloseToolkit(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwCloseToolkit()");
  return 1;
}

GwHandle GwGetObject(const char* name, const char* class_name) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwGetObject(" + quote(name) + ", " + quote(class_name) + ")");
  if (name == nullptr || state().missing.count(name) != 0) return nullptr;
  return object_named(name);
}

int GwReleaseObject(GwHandle object) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwReleaseObject(" + show(object) + ")");
  if (fake::Object* known = object_of(object)) ++known->releases;
  return 1;
}

char* GwGetObjProp(GwHandle object, const char* property, unsigned char* found) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwGetObjProp(" + show(object) + ", " + quote(property) + ")");
  fake::Object* known = object_of(object);
  if (known == nullptr || property == nullptr) return nullptr;
  auto value = known->properties.find(property);
  if (value == known->properties.end()) return nullptr;
  *found = 1;
  return fake::hand_out(value->second);
}

int GwSetObjProp(GwHandle object, const char* property, const char* value) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwSetObjProp(" + show(object) + ", " + quote(property) + ", " + quote(value) + ")");
  fake::Object* known = object_of(object);
  if (known == nullptr || property == nullptr || value == nullptr) return 0;
  known->properties[property] = value;
  return 1;
}

int GwSetObjPropInt(GwHandle object, const char* property, int value) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwSetObjPropInt(" + show(object) + ", " + quote(property) + ", " + std::to_string(value) +
      ")");
  fake::Object* known = object_of(object);
  if (known == nullptr || property == nullptr) return 0;
  known->properties[property] = std::to_string(value);
  return 1;
}

GwHandle GwHandlerGetFormatter(GwHandle handler) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwHandlerGetFormatter(" + show(handler) + ")");
  if (state().formatter_lookup_throws) throw std::bad_alloc();
  fake::Object* known = object_of(handler);
  if (known == nullptr || known->formatter.empty()) return nullptr;
  return object_named(known->formatter);
}

int GwHandlerSetFormatter(GwHandle handler, GwHandle formatter) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwHandlerSetFormatter(" + show(handler) + ", " + show(formatter) + ")");
  fake::Object* known = object_of(handler);
  fake::Object* attached = object_of(formatter);
  if (known == nullptr) return 0;
  known->formatter = attached != nullptr ? attached->name : "";
  return 1;
}

const char* GwHandlerGetFmtHeader(GwHandle handler) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwHandlerGetFmtHeader(" + show(handler) + ")");
  fake::Object* known = object_of(handler);
  return known != nullptr ? known->header : nullptr;
}

const char* GwHandlerGetFmtTrailer(GwHandle handler) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwHandlerGetFmtTrailer(" + show(handler) + ")");
  fake::Object* known = object_of(handler);
  return known != nullptr ? known->trailer : nullptr;
}

int GwGetLevelFromString(const char* text) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwGetLevelFromString(" + quote(text) + ")");
  static const std::map<std::string, int> kNames = {
      {"SEVERE", 6000}, {"WARNING", 5000}, {"INFO", 4000}, {"FINE", 3000},
      {"FINER", 2000},  {"FINEST", 1000},  {"ALL", 0},     {"OFF", INT_MAX}};
  if (text == nullptr) return 4000;
  auto named = kNames.find(text);
  if (named != kNames.end()) return named->second;
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(text, &end, 10);
  if (end != text && *end == '\0' && errno == 0) return static_cast<int>(number);
  return 4000;
}

int GwIsLoggable(GwHandle logger, int level) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwIsLoggable(" + show(logger) + ", " + std::to_string(level) + ")");
  fake::Object* known = object_of(logger);
  return known != nullptr && level >= known->threshold ? 1 : 0;
}

int GwLogText(GwHandle logger, const char* text) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("GwLogText(" + show(logger) + ", " + quote(text) + ")");
  fake::Object* object = object_of(logger);
  state().records.push_back({"GwLogText", object ? object->name : "",
                             object ? object->properties["product"] : "", text ? text : ""});
  return 1;
}

#define FAKE_MESSAGE_CALL(function)                                                                \
  int function(GwHandle logger, const char* catalog, int set, int number, const char* text, ...) { \
    va_list args;                                                                                  \
    va_start(args, text);                                                                          \
    int result = fake::log_message(#function, logger, catalog, set, number, text, args);           \
    va_end(args);                                                                                  \
    return result;                                                                                 \
  }
FAKE_MESSAGE_CALL(GwLogError)
FAKE_MESSAGE_CALL(GwLogWarn)
FAKE_MESSAGE_CALL(GwLogInfo)

#define FAKE_DEBUG_CALL(function)                                                               \
  int function(GwHandle logger, const char* file, const char* name, int line, const char* text, \
               ...) {                                                                           \
    va_list args;                                                                               \
    va_start(args, text);                                                                       \
    int result = fake::log_debug(#function, logger, file, name, line, text, args);              \
    va_end(args);                                                                               \
    return result;                                                                              \
  }
FAKE_DEBUG_CALL(GwLogDebugMin)
FAKE_DEBUG_CALL(GwLogDebugMid)
FAKE_DEBUG_CALL(GwLogDebugMax)

// --- Runtime ---------------------------------------------------------------

uint64_t NxThreadGetCurrentID(void) {
  if (fake::current_thread_id == 0) fake::current_thread_id = fake::next_thread_id++;
  std::uint64_t id = fake::current_thread_id == UINT64_MAX ? 0 : fake::current_thread_id;
  std::lock_guard<std::mutex> lock(state().mutex);
  log("NxThreadGetCurrentID()");
  return id;
}

uint64_t NxProcessGetCurrentID(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("NxProcessGetCurrentID()");
  return state().process_id;
}

void OruMemoryFree(void* memory) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (memory == nullptr) {
    log("OruMemoryFree(null)");
    return;
  }
  if (state().texts.erase(memory) == 0) {
    ++state().bad_frees;
    log("OruMemoryFree(<not handed out>)");
    return;
  }
  log("OruMemoryFree(" + quote(static_cast<const char*>(memory)) + ")");
  std::free(memory);
}

int NxStringBuffPrintfA(void* context, NxStringBuff* buffer, const char* format,
                        const nxPrintfArgVal* args) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log(std::string("NxStringBuffPrintfA(") + (context ? "non-null" : "null") + ", " +
      (buffer ? "buffer" : "null") + ", " + quote(format) + ", " + (args ? "args" : "null") + ")");
  if (buffer == nullptr || format == nullptr) return -1;
  // Appends the format itself: enough to see what reached the runtime.
  const std::size_t length = std::strlen(format);
  char* grown = static_cast<char*>(std::realloc(buffer->text, buffer->length + length + 1));
  std::memcpy(grown + buffer->length, format, length + 1);
  buffer->text = grown;
  buffer->length += length;
  buffer->capacity = buffer->length + 1;
  return static_cast<int>(length);
}

char* NxStringBuffTakeStr(NxStringBuff* buffer) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("NxStringBuffTakeStr()");
  std::string text = buffer->text != nullptr ? buffer->text : "";
  std::free(buffer->text);
  *buffer = NxStringBuff{nullptr, 0, 0};
  return fake::hand_out(text);
}

// --- Message catalogs --------------------------------------------------------

struct lcs_loc {
  std::string name;
};
struct lcs_cat {
  std::string path;
};
struct lcs_cs {
  std::string name;
};

lcs_loc* lcs_loc_new(const char* locale) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("lcs_loc_new(" + quote(locale) + ")");
  if (state().locale_fails || locale == nullptr) return nullptr;
  return new lcs_loc{locale};
}

void lcs_loc_free(lcs_loc* locale) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("lcs_loc_free(" + (locale ? quote(locale->name.c_str()) : std::string("null")) + ")");
  delete locale;
}

lcs_cat* lcs_catopen(const char* path, int flags, lcs_loc* locale) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("lcs_catopen(" + quote(path) + ", " + std::to_string(flags) + ", " +
      (locale ? quote(locale->name.c_str()) : std::string("null")) + ")");
  return new lcs_cat{path != nullptr ? path : ""};
}

const char* lcs_catgets(lcs_cat* catalog, int set, int number, const char* default_text,
                        lcs_cs* codeset) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("lcs_catgets(" + std::string(catalog ? "cat" : "null") + ", " + std::to_string(set) + ", " +
      std::to_string(number) + ", " + quote(default_text) + ", " +
      (codeset ? quote(codeset->name.c_str()) : std::string("null")) + ")");
  auto text = state().catalog_texts.find({set, number});
  if (catalog == nullptr || text == state().catalog_texts.end()) return default_text;
  return state().kept_texts.insert(text->second).first->c_str();
}

void lcs_catclose(lcs_cat* catalog) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("lcs_catclose()");
  delete catalog;
}

lcs_cs* lcs_cs_new(const char* codeset) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("lcs_cs_new(" + quote(codeset) + ")");
  if (state().codeset_fails || codeset == nullptr) return nullptr;
  return new lcs_cs{codeset};
}

void lcs_cs_free(lcs_cs* codeset) {
  std::lock_guard<std::mutex> lock(state().mutex);
  log("lcs_cs_free()");
  delete codeset;
}

}  // extern "C"

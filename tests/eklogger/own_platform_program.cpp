// A program that brings its own platform functions, as the closed libraries
// or any other double would, and drives the library through them: it
// initialises, logs every record kind through two groups and deletes the
// manager.  It exits non-zero when a record did not arrive as expected.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "eklogger/eklogmanager.h"
#include "eklogger/loggergroup.h"
#include "eklogger/platform/catalog.h"
#include "eklogger/platform/runtime.h"
#include "eklogger/platform/toolkit.h"

namespace {

struct Object {
  std::map<std::string, std::string> properties;
  int releases = 0;
};
std::map<std::string, Object> objects;
std::map<std::string, int> records;  // record function -> count
bool open_called = false;
bool closed = false;
int released_after_close = 0;

Object* as_object(GwHandle handle) { return static_cast<Object*>(handle); }

int count(const char* function) {
  ++records[function];
  return 1;
}

}  // namespace

extern "C" {

int GwOpenToolkit(const char*) {
  open_called = true;
  return 1;
}
int GwCloseToolkit(void) {
  closed = true;
  return 1;
}
GwHandle GwGetObject(const char* name, const char*) { return &objects[name]; }
int GwReleaseObject(GwHandle object) {
  ++as_object(object)->releases;
  if (closed) ++released_after_close;
  return 1;
}
char* GwGetObjProp(GwHandle object, const char* property, unsigned char* found) {
  if (object == nullptr) return nullptr;
  auto value = as_object(object)->properties.find(property);
  if (value == as_object(object)->properties.end()) return nullptr;
  *found = 1;
  return strdup(value->second.c_str());
}
int GwSetObjProp(GwHandle object, const char* property, const char* value) {
  if (object != nullptr) as_object(object)->properties[property] = value;
  return 1;
}
int GwSetObjPropInt(GwHandle object, const char* property, int value) {
  if (object != nullptr) as_object(object)->properties[property] = std::to_string(value);
  return 1;
}
GwHandle GwHandlerGetFormatter(GwHandle) { return nullptr; }
int GwHandlerSetFormatter(GwHandle, GwHandle) { return 1; }
const char* GwHandlerGetFmtHeader(GwHandle) { return nullptr; }
const char* GwHandlerGetFmtTrailer(GwHandle) { return nullptr; }
int GwGetLevelFromString(const char*) { return 0; }
int GwIsLoggable(GwHandle, int) { return 1; }
int GwLogText(GwHandle, const char*) { return count("text"); }
int GwLogError(GwHandle, const char*, int, int, const char*, ...) { return count("error"); }
int GwLogWarn(GwHandle, const char*, int, int, const char*, ...) { return count("warn"); }
int GwLogInfo(GwHandle, const char*, int, int, const char*, ...) { return count("info"); }
int GwLogDebugMin(GwHandle, const char*, const char*, int, const char*, ...) {
  return count("min");
}
int GwLogDebugMid(GwHandle, const char*, const char*, int, const char*, ...) {
  return count("mid");
}
int GwLogDebugMax(GwHandle, const char*, const char*, int, const char*, ...) {
  return count("max");
}

uint64_t NxThreadGetCurrentID(void) { return 2; }
uint64_t NxProcessGetCurrentID(void) { return 1; }
void OruMemoryFree(void* memory) { std::free(memory); }
int NxStringBuffPrintfA(void*, NxStringBuff*, const char*, const nxPrintfArgVal*) { return -1; }
char* NxStringBuffTakeStr(NxStringBuff*) { return strdup(""); }

lcs_loc* lcs_loc_new(const char*) { return nullptr; }
void lcs_loc_free(lcs_loc*) {}
lcs_cat* lcs_catopen(const char*, int, lcs_loc*) { return nullptr; }
const char* lcs_catgets(lcs_cat*, int, int, const char* default_text, lcs_cs*) {
  return default_text;
}
void lcs_catclose(lcs_cat*) {}
lcs_cs* lcs_cs_new(const char*) { return nullptr; }
void lcs_cs_free(lcs_cs*) {}

}  // extern "C"

int main() {
  Log::LogManager* manager = Log::EkLogManager::initialize("srv", "/opt/p/bin", 9000, "");
  Log::LoggerGroup* groups[] = {manager->get_logger("one"), manager->get_logger("two")};
  for (Log::LoggerGroup* group : groups) {
    if (group == nullptr) return 1;
    group->severe("severe", 1);
    group->warning("warning", 2);
    group->info("info", 3);
    group->fine("fine", __FILE__, __func__, __LINE__);
    group->finer("finer", __FILE__, __func__, __LINE__);
    group->finest("finest", __FILE__, __func__, __LINE__);
    group->entry(nullptr, __func__);
    group->exitf("done", __func__);
  }
  delete manager;

  const std::map<std::string, int> expected = {{"error", 4}, {"warn", 2}, {"info", 2},
                                               {"min", 2},   {"mid", 2},  {"max", 6}};
  bool ok = open_called && closed && records == expected;
  for (const auto& entry : objects) {
    if (entry.second.releases != 1 && entry.first.rfind("formatter", 0) != 0) {
      std::fprintf(stderr, "%s released %d times\n", entry.first.c_str(), entry.second.releases);
      ok = false;
    }
  }
  // 6 loggers, 3 handlers and 3 formatter handles, all after the close.
  ok = ok && released_after_close == 12;
  std::printf("%s: %d records, %d handles released after close\n", ok ? "ok" : "FAILED",
              static_cast<int>(records.size()), released_after_close);
  return ok ? 0 : 1;
}

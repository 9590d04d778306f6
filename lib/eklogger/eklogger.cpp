#include "eklogger/eklogger.h"

#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "eklogger/ekformatter.h"
#include "eklogger/ekhandler.h"
#include "eklogger/eklogmanager.h"
#include "eklogger/platform/runtime.h"

namespace Log {

namespace {

// Every logger's decoration lock, held across fork() so that a child can
// write a trace record at once whatever the parent's threads held.  The
// handlers are registered when the first logger is made, after its toolkit
// object, so after the toolkit's own: they run first before a fork, taking
// these locks before the toolkit's, which a decorating thread may wait for.
struct DecorationLocks {
  std::mutex mutex;
  std::vector<std::mutex*> held;  // guarded by mutex
};

// Leaked on purpose: loggers may outlive static destruction.
DecorationLocks& decoration_locks() {
  static DecorationLocks* locks = [] {
    auto made = new DecorationLocks;
    const auto release = [] {
      for (std::mutex* mutex : decoration_locks().held) mutex->unlock();
      decoration_locks().mutex.unlock();
    };
    pthread_atfork(
        [] {
          decoration_locks().mutex.lock();
          for (std::mutex* mutex : decoration_locks().held) mutex->lock();
        },
        release, release);
    return made;
  }();
  return *locks;
}

}  // namespace

// A text composed on the stack when it is short, on the heap otherwise.
class ComposedText {
 public:
  ComposedText() { local_[0] = '\0'; }

  void append(const char* text, std::size_t length) {
    if (heap_.empty() && length_ + length < sizeof(local_)) {
      std::memcpy(local_ + length_, text, length);
      length_ += length;
      local_[length_] = '\0';
      return;
    }
    if (heap_.empty()) heap_.assign(local_, length_);
    heap_.append(text, length);
  }
  void append(const char* text) { append(text, std::strlen(text)); }
  const char* c_str() const { return heap_.empty() ? local_ : heap_.c_str(); }

 private:
  char local_[256];  // not cleared: only the composed part is ever read
  std::size_t length_ = 0;
  std::string heap_;
};

namespace {

enum : int {
  kFinest = 1000,
  kFiner = 2000,
  kFine = 3000,
  kInfo = 4000,
  kWarning = 5000,
  kSevere = 6000,
};

// The source position that function entry and exit records carry.
const char kSourceFile[] = "lib/eklogger/eklogger.cpp";
const int kEntryLine = 221;
const int kExitLine = 237;

const char kBasicFormatterClass[] = "gw_basicformatter";

// Frees a text that the toolkit handed out.
struct ToolkitTextFree {
  void operator()(char* text) const { OruMemoryFree(text); }
};
using ToolkitText = std::unique_ptr<char, ToolkitTextFree>;

// The text of a property, or null when the toolkit has none.
ToolkitText get_text_property(GwHandle object, const char* property) {
  unsigned char found = 0;
  char* text = GwGetObjProp(object, property, &found);
  if (found == 0) return ToolkitText();
  return ToolkitText(text);
}

void compose_function_record(const char* prefix, const char* detail, const char* function,
                             ComposedText& text) {
  text.append(prefix);
  if (function != nullptr) {
    text.append(function);
    text.append(".", 1);
    if (detail != nullptr) {
      text.append(" ", 1);
      text.append(detail);
    }
  }
}

// " pid=<process> tid=<thread>" as the calling thread last composed it:
// the same on every trace record of a thread until a fork changes the
// process id.  Trivially destructible, and in the default TLS model: this
// library takes no room in the static TLS block that a late dlopen of it
// would have to find.
struct IdentifierSuffix {
  std::uint64_t process_id;
  std::uint64_t thread_id;
  std::size_t length;  // 0: not composed yet
  char text[56];       // two labels and two 20-digit numbers at most
};

thread_local IdentifierSuffix t_suffix = {};

char* put_identifier(char* at, const char* name, std::uint64_t id) {
  std::memcpy(at, name, 5);
  return std::to_chars(at + 5, at + 25, id).ptr;
}

void append_identifiers(std::uint64_t process_id, std::uint64_t thread_id, ComposedText& text) {
  IdentifierSuffix& suffix = t_suffix;
  if (suffix.length == 0 || suffix.process_id != process_id || suffix.thread_id != thread_id) {
    char* at = suffix.text;
    if (process_id != 0) at = put_identifier(at, " pid=", process_id);
    if (thread_id != 0) at = put_identifier(at, " tid=", thread_id);
    suffix.length = static_cast<std::size_t>(at - suffix.text);
    suffix.process_id = process_id;
    suffix.thread_id = thread_id;
  }
  text.append(suffix.text, suffix.length);
}

}  // namespace

Logger* EkLogger::get_logger(const std::string& component, const std::string& logger_name,
                             const std::string& class_name) {
  return new EkLogger(component, logger_name, class_name);
}

EkLogger::EkLogger(const std::string& component, const std::string& logger_name,
                   const std::string& class_name)
    : Logger(component, logger_name, class_name),
      toolkit_logger(GwGetObject(name.c_str(),
                                 this->class_name.empty() ? nullptr : this->class_name.c_str())) {
  DecorationLocks& locks = decoration_locks();
  std::lock_guard<std::mutex> hold(locks.mutex);
  locks.held.push_back(&decoration_mutex);
}

EkLogger::~EkLogger() {
  {
    DecorationLocks& locks = decoration_locks();
    std::lock_guard<std::mutex> hold(locks.mutex);
    locks.held.erase(std::find(locks.held.begin(), locks.held.end(), &decoration_mutex));
  }
  if (toolkit_logger != nullptr) GwReleaseObject(toolkit_logger);
}

bool EkLogger::is_loggable(const EkLevel& level) { return passes(level.value); }

void EkLogger::severe(const char* text, int message_number, const char* catalog, int set) {
  if (text == nullptr || !passes(kSevere)) return;
  GwLogError(toolkit_logger, catalog, set, message_number, text, nullptr);
}

void EkLogger::warning(const char* text, int message_number, const char* catalog, int set) {
  if (text == nullptr || !passes(kWarning)) return;
  GwLogWarn(toolkit_logger, catalog, set, message_number, text, nullptr);
}

void EkLogger::info(const char* text, int message_number, const char* catalog, int set) {
  if (text == nullptr || !passes(kInfo)) return;
  GwLogInfo(toolkit_logger, catalog, set, message_number, text, nullptr);
}

// Out of line and kept out of its callers, so that their level test needs
// no stack frame for the composed text.
__attribute__((noinline)) void EkLogger::write_trace(DebugCall call, const char* text,
                                                     const char* file, const char* function,
                                                     int line) {
  ComposedText product;
  if (!compose_decoration(product)) {
    call(toolkit_logger, file, function, line, text, nullptr);
    return;
  }
  // The product this thread composed stays in place until its record is
  // written.
  std::lock_guard<std::mutex> lock(decoration_mutex);
  GwSetObjProp(toolkit_logger, "product", product.c_str());
  call(toolkit_logger, file, function, line, text, nullptr);
}

void EkLogger::fine(const char* text, const char* file, const char* function, int line) {
  if (passes(kFine)) write_trace(GwLogDebugMin, text, file, function, line);
}

void EkLogger::finer(const char* text, const char* file, const char* function, int line) {
  if (passes(kFiner)) write_trace(GwLogDebugMid, text, file, function, line);
}

void EkLogger::finest(const char* text, const char* file, const char* function, int line) {
  if (passes(kFinest)) write_trace(GwLogDebugMax, text, file, function, line);
}

void EkLogger::entry(const char* detail, const char* function, ...) {
  ComposedText text;
  compose_function_record("Entering the function ", detail, function, text);
  finest(text.c_str(), kSourceFile, function, kEntryLine);
}

void EkLogger::exitf(const char* detail, const char* function) {
  ComposedText text;
  compose_function_record("Exiting the function ", detail, function, text);
  finest(text.c_str(), kSourceFile, function, kExitLine);
}

void EkLogger::message(const char* text) {
  if (toolkit_logger == nullptr || text == nullptr) return;
  ComposedText product;
  if (!compose_decoration(product)) {
    GwLogText(toolkit_logger, text);
    return;
  }
  std::lock_guard<std::mutex> lock(decoration_mutex);
  GwSetObjProp(toolkit_logger, "product", product.c_str());
  GwLogText(toolkit_logger, text);
}

void EkLogger::append_proc_thr_id() {
  ComposedText product;
  if (compose_decoration(product)) GwSetObjProp(toolkit_logger, "product", product.c_str());
}

bool EkLogger::compose_decoration(ComposedText& product) {
  if (handler == nullptr) return false;
  const EkFormatter* formatter = dynamic_cast<const EkFormatter*>(handler->get_formatter());
  if (formatter == nullptr) return false;
  {
    ToolkitText formatter_class = get_text_property(formatter->toolkit_formatter, "className");
    if (!formatter_class || std::strcmp(formatter_class.get(), kBasicFormatterClass) != 0) {
      return false;
    }
  }
  const std::uint64_t thread_id = NxThreadGetCurrentID();
  const std::uint64_t process_id = NxProcessGetCurrentID();
  {
    ToolkitText undecorated = get_text_property(toolkit_logger, "prod_port");
    if (!undecorated) return false;
    product.append(undecorated.get());
  }
  append_identifiers(process_id, thread_id, product);
  return true;
}

void EkLogger::set_log_level(Level* new_level) {
  if (new_level == nullptr) {
    ToolkitText configured = get_text_property(toolkit_logger, "level");
    new_level = new EkLevel(configured ? GwGetLevelFromString(configured.get()) : 0);
  }
  if (new_level != level) {
    delete level;
    level = new_level;
  }
  if (toolkit_logger != nullptr) GwSetObjPropInt(toolkit_logger, "level", level->value);
}

void EkLogger::set_prod_name(const std::string& product) {
  std::string text = product;
  const EkLogManager* manager = dynamic_cast<const EkLogManager*>(LogManager::g_log_manager);
  if (manager != nullptr && manager->get_prod_port() > 0) {
    text += "port=";
    text += std::to_string(manager->get_prod_port());
  }
  GwSetObjProp(toolkit_logger, "product", text.c_str());
  GwSetObjProp(toolkit_logger, "prod_port", text.c_str());
  GwSetObjProp(toolkit_logger, "component", component.c_str());
}

Handler* EkLogger::add_handler(const std::string& name, const std::string& class_name) {
  if (handler != nullptr) {
    Handler* previous = handler;
    handler = nullptr;
    LogManager::g_log_manager->dispose_handler(previous);
  }
  handler = EkHandler::get_handler(name, class_name, *this);
  return handler;
}

}  // namespace Log

// The pool of message texts handed out by lcs_catgets.  A text outlives the
// catalog it came from, so each distinct text is kept once for the life of
// the process: memory grows with the number of distinct messages, not with
// the number of lookups.
#include <unordered_set>

#include "catalog/lcs_internal.h"

namespace lcs {

namespace {

struct TextPool {
  std::mutex mutex;
  // Node-based, so a stored text never moves.  Guarded by mutex.
  std::unordered_set<std::string> texts;
};

TextPool& text_pool() {
  // Never destroyed: texts must stay valid in atexit handlers and in
  // threads still running while the process exits.
  static TextPool* pool = [] {
    auto made = new TextPool;
    hold_across_fork(made->mutex);
    return made;
  }();
  return *pool;
}

}  // namespace

const char* intern_text(const std::string& text) {
  TextPool& pool = text_pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  return pool.texts.insert(text).first->c_str();
}

}  // namespace lcs

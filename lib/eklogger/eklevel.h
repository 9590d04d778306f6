// The level type that the toolkit-bound logger hands to the logging toolkit.
// Every int is accepted unchanged: no mapping and no range check.  A value
// type like Level; safe to read from any thread.
#ifndef EKLOGGER_EKLEVEL_H_
#define EKLOGGER_EKLEVEL_H_

#include "eklogger/export.h"
#include "eklogger/level.h"

namespace Log {

class EKLOGGER_EXPORT EkLevel : public Level {
 public:
  EkLevel() : Level() {}
  explicit EkLevel(int v) : Level(v) {}
  // Inline, so that the temporary of a level test costs nothing.
  ~EkLevel() override = default;
};

}  // namespace Log

#endif  // EKLOGGER_EKLEVEL_H_

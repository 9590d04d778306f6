// A logging threshold: one signed level number, smaller is finer.
//
// Level numbers in use: 1000 finest, 2000 finer, 3000 fine, 4000 info,
// 5000 warning, 6000 severe; 0 is the default.  A Level is a plain value;
// copies are independent and one object may be read from any thread.
#ifndef EKLOGGER_LEVEL_H_
#define EKLOGGER_LEVEL_H_

#include <cstdint>

#include "eklogger/export.h"

namespace Log {

class EKLOGGER_EXPORT Level {
 public:
  Level() : value(0) {}
  explicit Level(int v) : value(v) {}
  // Virtual so that a derived level deleted through a Level pointer, as a
  // logger deletes the level it owns, is destroyed in a well-defined way.
  virtual ~Level();

  Level(const Level&) = default;
  Level& operator=(const Level&) = default;

  // Read directly by the loggers.
  std::int32_t value;
};

}  // namespace Log

#endif  // EKLOGGER_LEVEL_H_

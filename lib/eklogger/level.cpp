#include "eklogger/level.h"

namespace Log {

Level::~Level() = default;

}  // namespace Log

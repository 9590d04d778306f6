#include "eklogger/eklevel.h"

namespace Log {

EkLevel::~EkLevel() = default;

}  // namespace Log

#include "eklogger/eklevel.h"

// EkLevel is defined inline in its header.

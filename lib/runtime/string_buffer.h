// Growth of the runtime's NxStringBuff, shared by the buffer's public calls
// and the formatter.  A buffer is either all zero (empty, nothing allocated)
// or holds malloc'd text of capacity bytes with a NUL at text[length].
// A buffer belongs to one thread at a time; these helpers take no lock.
#ifndef NXRT_STRING_BUFFER_H_
#define NXRT_STRING_BUFFER_H_

#include <cstddef>

#include "eklogger/platform/runtime.h"

namespace nxrt {

// Makes room for `extra` more bytes plus the terminating NUL.  False, with
// the buffer unchanged, when the size overflows or memory is exhausted.
bool buffer_reserve(NxStringBuff* buffer, size_t extra);
// Appends size bytes (which may include NULs); false as buffer_reserve.
bool buffer_append(NxStringBuff* buffer, const char* bytes, size_t size);
// Cuts the text back to length bytes (no larger than the current length).
void buffer_truncate(NxStringBuff* buffer, size_t length);

}  // namespace nxrt

#endif  // NXRT_STRING_BUFFER_H_

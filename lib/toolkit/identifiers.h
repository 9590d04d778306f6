// The kernel's identifiers of this process and of the calling thread, asked
// once (per thread) rather than per record; a forked child asks again.
// Safe from any thread.
#ifndef EKLOGGER_TOOLKIT_IDENTIFIERS_H_
#define EKLOGGER_TOOLKIT_IDENTIFIERS_H_

#include <sys/types.h>

namespace gw {

pid_t process_id();
pid_t thread_id();

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_IDENTIFIERS_H_

// The background compression of a file handler's rotated files
// (compress = gzip): name.N becomes name.N.gz on one thread of the toolkit,
// never in a record call.  A pass over a set compresses each rotated file
// that should be (all, or all but name.1 with delayCompress) into
// name.N.gz.tmp, fsyncs it, renames it to name.N.gz, fsyncs the directory
// and only then removes name.N; the choice of a file and the rename are
// made under the processes' lock of the file (process_lock.h), so that a
// rotation's renames never cross them, and the compression itself under
// none.  A process killed at any point leaves name.N or name.N.gz whole,
// and the next pass (at the next rotation or open, by any process)
// finishes the job.  The thread is detached: it never keeps the process
// from exiting, and a child forked meanwhile does not go on with its work.
// Every function is safe from any thread.
#ifndef EKLOGGER_TOOLKIT_ARCHIVE_COMPRESSOR_H_
#define EKLOGGER_TOOLKIT_ARCHIVE_COMPRESSOR_H_

#include <sys/types.h>

#include <string>

namespace gw {

// What a pass needs of a file handler; copied, so the handler may go first.
struct ArchiveSet {
  std::string owner;   // the handler's name, for reports
  std::string path;    // the live file; its rotated ones are path.N
  key_t key = -1;      // of the processes' lock, as the handler's
  int count = 0;       // rotated files kept
  bool delay = false;  // path.1 stays uncompressed until the next rotation
};

// Sets up what fork() needs of the compression; called by a file handler
// that compresses when it is made, before it takes any lock.
void prepare_archive_compression();

// Queues a pass over set (one per path at a time: a pass already queued
// covers it) and starts the thread if none runs.  Called by the file
// handler after each rotation and at its first open, with its own mutex
// held, possibly with the processes' lock held too.
void compress_archives(const ArchiveSet& set);

// The names of the members of one place in the set, in the order they are
// shifted: name.N, name.N.gz, name.N.gz.tmp.
constexpr const char* kArchiveSuffixes[] = {"", ".gz", ".gz.tmp"};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_ARCHIVE_COMPRESSOR_H_

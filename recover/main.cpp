// eklog-recover: writes what processes that ended without closing left in
// their staging areas into the log files those records were staged for,
// without starting a server.  A staged file handler keeps each record in a
// staging area in /dev/shm until its flusher writes it; after SIGKILL (or
// _exit, or an exec) the records wait there for the next process that opens
// the same file, or for this command.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/file_sink.h"
#include "toolkit/stager.h"
#include "toolkit/staging_area.h"

namespace {

constexpr char kHelp[] =
    "eklog-recover - write the records that ended processes left staged into their log files\n"
    "SYNOPSIS\n"
    "    eklog-recover [--list] [LOGFILE...]\n"
    "DESCRIPTION\n"
    "    A file handler with staging copies each record into a staging area, a\n"
    "    shared-memory file in /dev/shm that outlives its process, and a flusher\n"
    "    thread writes it into the log file at most flushDelay later.  When a\n"
    "    process ends without closing (SIGKILL, _exit, an exec), what it staged\n"
    "    waits in its area: the next process that opens the same log file writes\n"
    "    it, and so do the flushers of live processes of that file within about a\n"
    "    second.  eklog-recover does it without starting a server: each area whose\n"
    "    process has ended is written into its log file, in the order it was\n"
    "    staged, with that file's rotation, and then removed.  An area whose\n"
    "    process still lives is left alone.  A write the dead process had begun is\n"
    "    looked for in the file first, so no record is written twice.\n"
    "\n"
    "    With LOGFILE arguments, only the areas staged for those files (absolute\n"
    "    paths or paths from the current directory) are written.\n"
    "OPTIONS\n"
    "    --list       show the areas (name, state, log file, bytes staged) and\n"
    "                 write nothing\n"
    "    --help       this text\n"
    "EXIT STATUS\n"
    "    0 when every area asked for was written or is alive, 1 when one could not\n"
    "    be read, 2 for a wrong option.\n"
    "FILES\n"
    "    /dev/shm/gwstage-*   the staging areas (this user's own, mode 0600)\n";

bool wanted(const std::vector<std::string>& files, const char* path) {
  if (files.empty()) return true;
  for (const std::string& file : files) {
    if (file == path) return true;
  }
  return false;
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char directory[PATH_MAX];
  if (getcwd(directory, sizeof directory) == nullptr) return path;
  return std::string(directory) + "/" + path;
}

}  // namespace

int main(int argc, char** argv) {
  bool list = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--list") == 0) {
      list = true;
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "eklog-recover: unknown option %s (see eklog-recover --help)\n",
                   argv[i]);
      return 2;
    } else {
      files.push_back(absolute(argv[i]));
    }
  }
  int status = 0;
  for (const std::string& name : gw::StagingArea::list(-1, std::string())) {
    std::string why;
    std::unique_ptr<gw::StagingArea> area = gw::StagingArea::adopt(name, why);
    if (area == nullptr) {
      if (why.empty()) {
        if (list) std::printf("%s: its process lives\n", name.c_str());
      } else {
        std::fprintf(stderr, "eklog-recover: %s: %s\n", name.c_str(), why.c_str());
        status = 1;
      }
      continue;
    }
    const gw::StagingHeader& header = area->header();
    if (!wanted(files, header.path)) continue;
    if (list) {
      std::printf("%s: left by process %d: %llu bytes for %s\n", name.c_str(), header.owner,
                  static_cast<unsigned long long>(area->head() - area->flushed()), header.path);
      continue;
    }
    gw::FileSinkOptions options;
    options.owner = "eklog-recover";
    options.path = header.path;
    options.permissions = static_cast<mode_t>(header.permissions);
    options.limit = header.limit;
    options.count = header.count;
    options.key = static_cast<key_t>(header.key);
    gw::FileSink sink(options);
    const char* head_text = header.header_text[0] != '\0' ? header.header_text : nullptr;
    const char* tail_text = header.trailer_text[0] != '\0' ? header.trailer_text : nullptr;
    gw::StagingScratch scratch;
    const std::size_t moved = gw::Stager::move_records(*area, sink, head_text, tail_text, scratch);
    area->remove();
    std::printf("%s: %zu records into %s\n", name.c_str(), moved, header.path);
  }
  return status;
}

// Fuzz target: the staging area's reader on an area its writer left
// damaged.  The input stages records (a count, then each record's length
// and bytes), then damages the ring (pairs of an offset and a byte to xor
// in), as a process that died mid-copy, or a stray write, would leave it.
// The area is then read as an orphan, the way a drainer reads it.
//
// Besides memory safety it checks what the log file relies on: every record
// read is one that was staged, whole, at most once and in staged order, and
// every record whose frame the damage did not touch is read.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/staging_area.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "staging_area_fuzz: %s: \"%s\"\n", what, detail.c_str());
  std::abort();
}

struct Staged {
  std::string text;
  std::uint64_t from = 0;  // the frame's ring position
  std::uint64_t to = 0;
  bool touched = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t at = 0;
  const std::size_t count = data[at++] % 64;
  std::string why;
  std::unique_ptr<gw::StagingArea> area =
      gw::StagingArea::create({"/fuzz/staged.log", -1, 0, 0, 0600}, 0, why);
  if (area == nullptr) fail("no area", why);
  const std::string name = area->name();
  std::vector<Staged> staged;
  const std::uint64_t first = area->head();
  for (std::size_t i = 0; i < count && at < size; ++i) {
    const std::size_t wanted = data[at++];
    const std::size_t length = std::min(wanted, size - at);
    Staged record;
    record.text.assign(reinterpret_cast<const char*>(data) + at, length);
    at += length;
    record.from = area->head();
    if (area->stage(record.text) >= gw::StagingArea::Staged::kFull) break;
    record.to = area->head();
    staged.push_back(record);
  }
  const std::uint64_t end = area->head();
  const std::uint64_t used = end - first;
  const std::uint64_t capacity = area->header().capacity;
  area.reset();  // the owner is gone: its lock with it

  // The damage, through the area's file, as another process would see it.
  const int fd = shm_open(name.c_str(), O_RDWR, 0);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) fail("area gone", name);
  const off_t ring = status.st_size - static_cast<off_t>(capacity);
  for (; used > 0 && at + 3 <= size; at += 3) {
    const std::uint64_t position = first + (std::uint64_t{data[at]} << 8 | data[at + 1]) % used;
    const off_t where = ring + static_cast<off_t>(position % capacity);
    const unsigned char flip = data[at + 2];
    unsigned char byte;
    if (flip == 0 || pread(fd, &byte, 1, where) != 1) continue;
    byte ^= flip;
    if (pwrite(fd, &byte, 1, where) != 1) fail("pwrite", name);
    for (Staged& record : staged) {
      if (position >= record.from && position < record.to) record.touched = true;
    }
  }
  close(fd);

  std::unique_ptr<gw::StagingArea> orphan = gw::StagingArea::adopt(name, why);
  if (orphan == nullptr) fail("cannot adopt", why);
  std::string text;
  std::vector<gw::StagedEnd> ends;
  std::uint64_t damaged = 0;
  std::uint64_t position = orphan->flushed();
  for (;;) {
    const std::uint64_t reached = orphan->collect(position, 4096, text, ends, damaged);
    if (reached == position) break;
    if (reached < position || reached > end) fail("read outside the ring", name);
    position = reached;
  }
  orphan->remove();
  std::size_t next = 0;  // the first staged record not matched yet
  std::size_t start = 0;
  for (const gw::StagedEnd& end : ends) {
    const std::string got = text.substr(start, end.text_end - start);
    start = end.text_end;
    while (next < staged.size() && staged[next].to != end.ring_end) {
      if (!staged[next].touched) fail("an untouched record was not read", staged[next].text);
      ++next;
    }
    if (next == staged.size()) fail("a record read that was not staged there", got);
    if (got != staged[next].text) fail("a record read other than staged", got);
    ++next;
  }
  for (; next < staged.size(); ++next) {
    if (!staged[next].touched) fail("an untouched record was not read", staged[next].text);
  }
  return 0;
}

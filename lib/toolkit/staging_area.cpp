#include "toolkit/staging_area.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "toolkit/diagnostics.h"
#include "toolkit/os.h"
#include "toolkit/shared_file_state.h"

namespace gw {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHeaderBytes = (sizeof(StagingHeader) + kPage - 1) / kPage * kPage;

constexpr std::uint64_t frame_bytes(std::size_t length) {
  return StagingArea::kFrameHead + ((length + 7) & ~std::size_t{7});
}

struct FrameHead {
  std::uint32_t length;
  std::uint32_t checksum;
  std::uint64_t position;  // written last, with release
};
static_assert(sizeof(FrameHead) == StagingArea::kFrameHead);

// CRC-32C (Castagnoli), with the SSE4.2 instruction where the processor has
// it: the record's one pass over its text besides the copy.
std::uint32_t crc32c_table_entry(std::uint32_t index) {
  std::uint32_t crc = index;
  for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1)));
  return crc;
}

std::uint32_t crc32c_portable(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  static const auto table = [] {
    struct Table {
      std::uint32_t entries[256];
    } built{};
    for (std::uint32_t i = 0; i < 256; ++i) built.entries[i] = crc32c_table_entry(i);
    return built;
  }();
  for (std::size_t i = 0; i < size; ++i) crc = table.entries[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t crc32c_sse42(std::uint32_t crc,
                                                             const unsigned char* data,
                                                             std::size_t size) {
  std::uint64_t value = crc;
  for (; size >= 8; size -= 8, data += 8) {
    std::uint64_t word;
    std::memcpy(&word, data, 8);
    value = __builtin_ia32_crc32di(value, word);
  }
  crc = static_cast<std::uint32_t>(value);
  for (; size > 0; --size, ++data) crc = __builtin_ia32_crc32qi(crc, *data);
  return crc;
}
const bool kHaveSse42 = __builtin_cpu_supports("sse4.2");
#endif

std::uint32_t crc32c(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
  if (kHaveSse42) return crc32c_sse42(crc, bytes, size);
#endif
  return crc32c_portable(crc, bytes, size);
}

// Of the frame's length, position and text: a frame moved, cut or damaged
// does not pass.
std::uint32_t frame_checksum(std::uint32_t length, std::uint64_t position, const char* text) {
  unsigned char fixed[12];
  std::memcpy(fixed, &length, 4);
  std::memcpy(fixed + 4, &position, 8);
  return crc32c(crc32c(~0u, fixed, sizeof fixed), text, length) ^ ~0u;
}

std::size_t round_capacity(std::size_t capacity) {
  std::size_t rounded = StagingArea::kMinCapacity;
  while (rounded < capacity && rounded < StagingArea::kMaxCapacity) rounded <<= 1;
  return rounded;
}

void copy_text(char* to, std::size_t room, const char* text) {
  const std::size_t length = text == nullptr ? 0 : std::strlen(text);
  if (length >= room) {
    to[0] = '\0';
    return;
  }
  std::memcpy(to, text == nullptr ? "" : text, length + 1);
}

bool lock_whole(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return os().fcntl_lock(fd, F_OFD_SETLK, &whole) == 0;
}

}  // namespace

std::string StagingArea::prefix_for(key_t key, const std::string& path) {
  // "/gwtoolkit-<key>-<hash of path>" names the file's shared state.
  return "/gwstage-" + SharedSegment::name_for(key, path).substr(11) + "-";
}

bool StagingArea::map(int fd, std::size_t capacity) {
  const std::size_t total = kHeaderBytes + 2 * capacity;
  void* base = os().mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return false;
  auto* bytes = static_cast<char*>(base);
  constexpr int kShared = MAP_SHARED | MAP_FIXED;
  if (os().mmap(bytes, kHeaderBytes + capacity, PROT_READ | PROT_WRITE, kShared, fd, 0) ==
          MAP_FAILED ||
      os().mmap(bytes + kHeaderBytes + capacity, capacity, PROT_READ | PROT_WRITE, kShared, fd,
                static_cast<off_t>(kHeaderBytes)) == MAP_FAILED) {
    os().munmap(base, total);
    return false;
  }
  header_ = reinterpret_cast<StagingHeader*>(bytes);
  ring_ = bytes + kHeaderBytes;
  capacity_ = capacity;
  mask_ = capacity - 1;
  return true;
}

std::unique_ptr<StagingArea> StagingArea::create(const StagingIdentity& identity,
                                                 std::size_t capacity, std::string& why) {
  if (identity.path.size() >= sizeof(StagingHeader::path)) {
    why = "its path is too long for a staging area";
    return nullptr;
  }
  static std::atomic<unsigned> sequence{0};
  capacity = round_capacity(capacity);
  std::unique_ptr<StagingArea> area(new StagingArea);
  for (int attempt = 0;; ++attempt) {
    area->name_ = prefix_for(identity.key, identity.path) + std::to_string(os().getpid()) + "-" +
                  std::to_string(sequence.fetch_add(1));
    area->fd_ = os().shm_open(area->name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                              0600);
    if (area->fd_ >= 0 && lock_whole(area->fd_)) break;
    const int error = errno;
    if (area->fd_ >= 0) {
      // A drainer took it between the two: it removes the name.
      os().close(area->fd_);
      area->fd_ = -1;
    } else if (error != EEXIST) {
      why = "cannot make its staging area: " + error_text(error);
      return nullptr;
    }
    if (attempt == 8) {
      why = "cannot make its staging area: " + error_text(error);
      return nullptr;
    }
  }
  if (os().ftruncate(area->fd_, static_cast<off_t>(kHeaderBytes + capacity)) != 0 ||
      !area->map(area->fd_, capacity)) {
    why = "cannot map its staging area: " + error_text(errno);
    area->remove();
    return nullptr;
  }
  StagingHeader& header = *area->header_;
  header.capacity = capacity;
  header.limit = identity.limit;
  header.key = static_cast<std::int32_t>(identity.key);
  header.count = identity.count;
  header.permissions = static_cast<std::uint32_t>(identity.permissions);
  header.owner = static_cast<std::int32_t>(os().getpid());
  std::memcpy(header.path, identity.path.c_str(), identity.path.size() + 1);
  header.magic.store(StagingHeader::kMagic, std::memory_order_release);
  return area;
}

std::unique_ptr<StagingArea> StagingArea::adopt(const std::string& name, std::string& why) {
  why.clear();
  std::unique_ptr<StagingArea> area(new StagingArea);
  area->name_ = name;
  area->fd_ = os().shm_open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (area->fd_ < 0) {
    if (errno != ENOENT) why = "cannot open it: " + error_text(errno);
    return nullptr;
  }
  if (!lock_whole(area->fd_)) return nullptr;  // its owner lives, or another drains it
  area->orphan_ = true;
  struct stat status;
  if (os().fstat(area->fd_, &status) != 0 || status.st_uid != os().geteuid() ||
      (status.st_mode & 077) != 0) {
    why = "it is not this user's own";
    return nullptr;
  }
  std::uint64_t capacity = 0;
  bool whole = false;
  if (status.st_size >= static_cast<off_t>(kHeaderBytes)) {
    void* mapped = os().mmap(nullptr, kHeaderBytes, PROT_READ, MAP_SHARED, area->fd_, 0);
    if (mapped != MAP_FAILED) {
      const auto* header = static_cast<const StagingHeader*>(mapped);
      capacity = header->capacity;
      whole = header->magic.load(std::memory_order_acquire) == StagingHeader::kMagic &&
              capacity >= kMinCapacity && capacity <= kMaxCapacity &&
              (capacity & (capacity - 1)) == 0 &&
              static_cast<std::uint64_t>(status.st_size) == kHeaderBytes + capacity &&
              std::memchr(header->path, '\0', sizeof header->path) != nullptr;
      os().munmap(mapped, kHeaderBytes);
    }
  }
  if (!whole) {
    why = "it is not a whole staging area";
    // Left by a maker that died making it: nothing in it was ever staged.
    if (status.st_size < static_cast<off_t>(kHeaderBytes + kMinCapacity)) area->remove();
    return nullptr;
  }
  if (!area->map(area->fd_, capacity)) {
    why = "cannot map it: " + error_text(errno);
    return nullptr;
  }
  return area;
}

std::vector<std::string> StagingArea::list(key_t key, const std::string& path) {
  const std::string prefix = (path.empty() ? std::string("/gwstage-") : prefix_for(key, path)).substr(1);
  std::vector<std::string> names;
  DIR* directory = os().opendir("/dev/shm");
  if (directory == nullptr) return names;
  while (const dirent* entry = os().readdir(directory)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      names.push_back("/" + std::string(entry->d_name));
    }
  }
  os().closedir(directory);
  return names;
}

StagingArea::~StagingArea() {
  if (header_ != nullptr) os().munmap(header_, kHeaderBytes + 2 * capacity_);
  if (fd_ >= 0) os().close(fd_);
}

void StagingArea::remove() { os().shm_unlink(name_.c_str()); }

void StagingArea::abandon() {
  if (fd_ >= 0) os().close(fd_);
  fd_ = -1;
}

StagingArea::Staged StagingArea::stage(std::string_view record) {
  const std::uint64_t frame = frame_bytes(record.size());
  if (frame > capacity_ / 4) return Staged::kTooLarge;
  std::uint64_t position = header_->head.load(std::memory_order_relaxed);
  std::uint64_t used;
  do {
    used = position - header_->flushed.load(std::memory_order_acquire);
    if (used + frame > capacity_) return Staged::kFull;
  } while (!header_->head.compare_exchange_weak(position, position + frame));
  char* slot = ring_ + (position & mask_);
  auto* head = reinterpret_cast<FrameHead*>(slot);
  const auto length = static_cast<std::uint32_t>(record.size());
  std::memcpy(slot + kFrameHead, record.data(), record.size());
  head->length = length;
  head->checksum = frame_checksum(length, position, slot + kFrameHead);
  __atomic_store_n(&head->position, position, __ATOMIC_RELEASE);
  const std::uint64_t half = capacity_ / 2;
  return used < half && used + frame >= half ? Staged::kDoneWake : Staged::kDone;
}

std::uint64_t StagingArea::head() const {
  // An orphan's head may be anything: never past one ring of its mark.
  const std::uint64_t head = header_->head.load(std::memory_order_acquire);
  const std::uint64_t flushed = header_->flushed.load(std::memory_order_acquire);
  return head - flushed > capacity_ ? flushed + capacity_ : head;
}

std::uint64_t StagingArea::collect(std::uint64_t from, std::size_t max, std::string& out,
                                   std::vector<StagedEnd>& ends, std::uint64_t& damaged) const {
  const std::uint64_t end = head();
  std::uint64_t position = from;
  bool skipping = false;  // an orphan's bytes that are not a frame
  while (position + kFrameHead <= end && out.size() < max) {
    const char* slot = ring_ + (position & mask_);
    const auto* frame = reinterpret_cast<const FrameHead*>(slot);
    const bool placed = __atomic_load_n(&frame->position, __ATOMIC_ACQUIRE) == position;
    if (!placed && !orphan_) break;  // still being copied
    const std::uint32_t length = frame->length;
    const bool fits = placed && frame_bytes(length) <= end - position;
    if (fits && frame->checksum == frame_checksum(length, position, slot + kFrameHead)) {
      out.append(slot + kFrameHead, length);
      position += frame_bytes(length);
      ends.push_back({out.size(), position});
      skipping = false;
      continue;
    }
    if (!skipping) ++damaged;
    if (fits && !orphan_) {
      position += frame_bytes(length);  // damaged in place: its length still holds
      ends.push_back({out.size(), position});
      continue;
    }
    // Resynchronise: the next frame starts on an 8-byte boundary and names
    // its own position.
    skipping = true;
    position += 8;
  }
  if (orphan_ && position + kFrameHead > end) position = end;
  return position;
}

void StagingArea::note_intent(std::uint64_t from, std::uint64_t to, dev_t device, ino_t inode,
                              std::int64_t size) {
  header_->intent_from = from;
  header_->intent_to = to;
  header_->intent_device = device;
  header_->intent_inode = inode;
  header_->intent_size = size;
  header_->intent.store(1, std::memory_order_release);
}

void StagingArea::mark_flushed(std::uint64_t to) {
  header_->flushed.store(to, std::memory_order_release);
  header_->intent.store(0, std::memory_order_release);
}

void StagingArea::remember_frame(const char* header, const char* trailer) {
  copy_text(header_->header_text, sizeof header_->header_text, header);
  copy_text(header_->trailer_text, sizeof header_->trailer_text, trailer);
}

}  // namespace gw

// A table indexed by a dense number that grows in chunks which are never
// moved or freed until the table goes, so that a reader finds an element
// with one load of its chunk and no lock.  Elements are default-constructed
// with their chunk; writers that make chunks serialise among themselves
// (their caller's lock).  The objects table and the handle table use it.
#ifndef EKLOGGER_TOOLKIT_CHUNKED_TABLE_H_
#define EKLOGGER_TOOLKIT_CHUNKED_TABLE_H_

#include <atomic>
#include <cstdint>

namespace gw {

template <typename Element>
class ChunkedTable {
 public:
  static constexpr std::uint32_t kChunkSize = 1024;
  static constexpr std::uint32_t kChunks = 4096;
  static constexpr std::uint32_t kCapacity = kChunkSize * kChunks;

  ChunkedTable() = default;
  ~ChunkedTable() {
    for (std::atomic<Chunk*>& chunk : chunks_) delete chunk.load(std::memory_order_relaxed);
  }
  ChunkedTable(const ChunkedTable&) = delete;
  ChunkedTable& operator=(const ChunkedTable&) = delete;

  // The element of index, null when its chunk was never made.
  Element* find(std::uint32_t index) const {
    if (index >= kCapacity) return nullptr;
    Chunk* chunk = chunks_[index / kChunkSize].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : &chunk->elements[index % kChunkSize];
  }
  // The element of index, its chunk made if needed; null beyond capacity.
  Element* make(std::uint32_t index) {
    if (index >= kCapacity) return nullptr;
    std::atomic<Chunk*>& slot = chunks_[index / kChunkSize];
    Chunk* chunk = slot.load(std::memory_order_acquire);
    if (chunk == nullptr) {
      chunk = new Chunk;
      slot.store(chunk, std::memory_order_release);
    }
    return &chunk->elements[index % kChunkSize];
  }

 private:
  struct Chunk {
    Element elements[kChunkSize] = {};
  };
  std::atomic<Chunk*> chunks_[kChunks] = {};
};

}  // namespace gw

#endif  // EKLOGGER_TOOLKIT_CHUNKED_TABLE_H_

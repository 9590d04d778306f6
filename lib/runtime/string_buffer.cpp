#include "runtime/string_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/block_cache.h"

namespace nxrt {

namespace {
// A first allocation big enough for a typical log message, with the room a
// conversion asks for before it knows its length.
constexpr size_t kInitialCapacity = 128;
}  // namespace

bool buffer_reserve(NxStringBuff* buffer, size_t extra) {
  if (extra > SIZE_MAX - 1 - buffer->length) return false;
  const size_t needed = buffer->length + extra + 1;
  if (buffer->text != nullptr && needed <= buffer->capacity) return true;
  size_t capacity = buffer->capacity < kInitialCapacity ? kInitialCapacity : buffer->capacity;
  // Doubling keeps appending linear overall.
  while (capacity < needed) capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
  char* text = static_cast<char*>(buffer->text == nullptr ? allocate_text(capacity)
                                                          : std::realloc(buffer->text, capacity));
  if (text == nullptr) return false;
  if (buffer->text == nullptr) text[0] = '\0';
  buffer->text = text;
  buffer->capacity = capacity;
  return true;
}

bool buffer_append(NxStringBuff* buffer, const char* bytes, size_t size) {
  if (!buffer_reserve(buffer, size)) return false;
  if (size > 0) std::memcpy(buffer->text + buffer->length, bytes, size);
  buffer->length += size;
  buffer->text[buffer->length] = '\0';
  return true;
}

void buffer_truncate(NxStringBuff* buffer, size_t length) {
  if (buffer->text == nullptr || length > buffer->length) return;
  buffer->length = length;
  buffer->text[length] = '\0';
}

}  // namespace nxrt

extern "C" {

char* NxStringBuffTakeStr(NxStringBuff* buffer) {
  if (buffer == nullptr) return nullptr;
  char* text = buffer->text;
  if (text == nullptr) {
    // An empty buffer still hands out a text the caller can free; null only
    // when not even one byte can be allocated.
    text = static_cast<char*>(nxrt::allocate_text(1));
    if (text != nullptr) text[0] = '\0';
  }
  buffer->text = nullptr;
  buffer->length = 0;
  buffer->capacity = 0;
  return text;
}

}  // extern "C"

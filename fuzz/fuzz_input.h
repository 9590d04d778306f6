// A reader that splits one fuzzer input into the values a target needs:
// small integers, choices and byte strings.  It works the same under clang's
// libFuzzer and the gcc-built replay of saved inputs, so a regression input
// takes the same path in both.  Reads past the end give zeros and empty
// strings.  One reader per input; not shared between threads.
#ifndef EKLOGGER_FUZZ_FUZZ_INPUT_H_
#define EKLOGGER_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }
  std::size_t remaining() const { return size_ - offset_; }

  std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }

  // A value in [0, bound), for bound > 0.
  std::uint32_t below(std::uint32_t bound) {
    std::uint32_t value = byte();
    if (bound > 256) value = value << 8 | byte();
    if (bound > 65536) value = value << 8 | byte();
    return value % bound;
  }

  std::uint64_t u64() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | byte();
    return value;
  }

  // Bytes up to the next 0xff byte (dropped) or the end, at most max_size:
  // a string field whose length the fuzzer controls by placing a separator.
  std::string field(std::size_t max_size = 4096) {
    std::string text;
    while (offset_ < size_ && text.size() < max_size) {
      const std::uint8_t next = data_[offset_++];
      if (next == 0xff) break;
      text.push_back(static_cast<char>(next));
    }
    return text;
  }

  // Everything that is left.
  std::string rest() {
    std::string text(reinterpret_cast<const char*>(data_) + offset_, size_ - offset_);
    offset_ = size_;
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

}  // namespace fuzz

#endif  // EKLOGGER_FUZZ_FUZZ_INPUT_H_

#include "block_cache.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "eklogger/platform/runtime.h"

namespace {

// A text taken again after a free is reused only when it is big enough;
// under AddressSanitizer malloc_usable_size is the size asked for, so a
// block that is too small would be caught by the writes below.
TEST(BlockCacheTest, AFreedBlockIsTakenAgainOnlyWhenItIsBigEnough) {
  char* large = static_cast<char*>(nxrt::allocate_text(200));
  ASSERT_NE(large, nullptr);
  OruMemoryFree(large);
  char* small = static_cast<char*>(nxrt::allocate_text(20));
  EXPECT_EQ(small, large);  // no trip to malloc for the next text
  std::memset(small, 'x', 20);

  char* tiny = static_cast<char*>(nxrt::allocate_text(1));
  ASSERT_NE(tiny, nullptr);
  *tiny = '\0';
  OruMemoryFree(tiny);
  const std::size_t tiny_size = malloc_usable_size(tiny);
  char* bigger = static_cast<char*>(nxrt::allocate_text(tiny_size + 1));
  ASSERT_NE(bigger, nullptr);
  EXPECT_NE(bigger, tiny);
  std::memset(bigger, 'y', tiny_size + 1);

  // Blocks too large to cache, and more blocks than the cache holds, go
  // back to malloc; the string buffer's text comes from the same place.
  std::vector<void*> blocks;
  for (int i = 0; i < 16; ++i) blocks.push_back(nxrt::allocate_text(i % 2 == 0 ? 48 : 4096));
  for (void* block : blocks) OruMemoryFree(block);
  NxStringBuff buffer = {nullptr, 0, 0};
  nxPrintfArgVal no_args[1];
  no_args[0].type = NX_ARG_END;
  ASSERT_EQ(NxStringBuffPrintfA(nullptr, &buffer, "text", no_args), 4);
  OruMemoryFree(NxStringBuffTakeStr(&buffer));
  OruMemoryFree(bigger);
  OruMemoryFree(small);
  OruMemoryFree(nullptr);
}

// OruMemoryFree takes any malloc'd block as one of its own, and null, which
// it accepts too, is no block: however many nulls, none takes the room of a
// block.  On a thread of its own, whose cache starts empty; the block goes
// back to malloc when the thread ends.
TEST(BlockCacheTest, FreeKeepsAMallocdBlockAndNeverANull) {
  std::thread([] {
    for (int i = 0; i < 100; ++i) OruMemoryFree(nullptr);
    void* block = std::malloc(200);
    ASSERT_NE(block, nullptr);
    OruMemoryFree(block);
    // malloc would not hand out a 200-byte block for 20 bytes: only the cache does.
    void* text = nxrt::allocate_text(20);
    EXPECT_EQ(text, block);
    OruMemoryFree(text);
  }).join();
}

// Blocks that a thread keeps go back to malloc when the thread ends, also
// blocks that were taken on another thread.  The main arena's count of
// bytes in use shows it: the blocks are malloc'd on this thread.
TEST(BlockCacheTest, BlocksAThreadKeepsAreFreedWhenItEnds) {
  // The first thread leaves what the C library keeps for threads.
  std::thread([] { OruMemoryFree(std::malloc(8)); }).join();
  const std::size_t before = mallinfo2().uordblks;
  void* blocks[4];
  for (void*& block : blocks) block = std::malloc(300);
  std::thread([&blocks] {
    // Constructed first, so destroyed after the thread's cache: a text
    // taken and freed then goes straight back to malloc (AddressSanitizer's
    // leak check would see it kept).
    static thread_local struct Late {
      ~Late() { OruMemoryFree(nxrt::allocate_text(64)); }
    } late;
    static_cast<void>(&late);
    for (void* block : blocks) OruMemoryFree(block);
  }).join();
  // Small bookkeeping of the threads' own may move; a kept block would not.
  EXPECT_LT(mallinfo2().uordblks, before + 300);
}

}  // namespace

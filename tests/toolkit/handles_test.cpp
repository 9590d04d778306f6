#include "handles.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace gw {
namespace {

TEST(HandlesTest, EachAcquireGivesADistinctLiveHandle) {
  HandleTable table;
  const std::uintptr_t a = table.acquire(7);
  const std::uintptr_t b = table.acquire(7);
  ASSERT_NE(a, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(table.lookup(a), 7u);
  EXPECT_EQ(table.lookup(b), 7u);
}

TEST(HandlesTest, ReleasedHandleStaysDeadWhenItsSlotIsReused) {
  HandleTable table;
  const std::uintptr_t old_handle = table.acquire(1);
  EXPECT_TRUE(table.release(old_handle));
  EXPECT_FALSE(table.release(old_handle));
  const std::uintptr_t new_handle = table.acquire(2);
  EXPECT_NE(new_handle, old_handle);
  EXPECT_EQ(table.lookup(old_handle), HandleTable::kNoObject);
  EXPECT_FALSE(table.release(old_handle)) << "must not release the slot's new owner";
  EXPECT_EQ(table.lookup(new_handle), 2u);
}

TEST(HandlesTest, ForgedValuesAreNoHandles) {
  HandleTable table;
  const std::uintptr_t live = table.acquire(3);
  for (const std::uintptr_t forged :
       {std::uintptr_t{0}, std::uintptr_t{1}, live + 1, live ^ (std::uintptr_t{1} << 40),
        ~std::uintptr_t{0}, reinterpret_cast<std::uintptr_t>(&table)}) {
    EXPECT_EQ(table.lookup(forged), HandleTable::kNoObject) << forged;
    EXPECT_FALSE(table.release(forged)) << forged;
  }
  EXPECT_EQ(table.lookup(live), 3u);
}

TEST(HandlesTest, RacingReleasesOfOneHandleSucceedOnce) {
  HandleTable table;
  for (int round = 0; round < 200; ++round) {
    const std::uintptr_t handle = table.acquire(static_cast<std::uint32_t>(round));
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] { released += table.release(handle) ? 1 : 0; });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(released.load(), 1);
  }
}

}  // namespace
}  // namespace gw

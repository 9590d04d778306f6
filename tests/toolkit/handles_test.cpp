#include "handles.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace gw {
namespace {

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

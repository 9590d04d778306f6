#include "toolkit/handles.h"

#include <gtest/gtest.h>

#include <climits>
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

TEST(HandlesTest, TargetOnlyThroughALiveHandle) {
  HandleTable table;
  int first = 0;
  int second = 0;
  const std::uintptr_t handle = table.acquire(1, &first);
  EXPECT_EQ(table.lookup_target(handle), &first);
  for (std::uintptr_t forged : {std::uintptr_t{0}, handle + 1, handle ^ (std::uintptr_t{1} << 32),
                                std::uintptr_t{0xFFFFFFFF}, ~std::uintptr_t{0}}) {
    EXPECT_EQ(table.lookup_target(forged), nullptr) << forged;
    EXPECT_EQ(table.lookup(forged), HandleTable::kNoObject) << forged;
  }
  ASSERT_TRUE(table.release(handle));
  const std::uintptr_t reused = table.acquire(2, &second);
  EXPECT_EQ(table.lookup_target(handle), nullptr);
  EXPECT_EQ(table.lookup_target(reused), &second);
}

TEST(HandlesTest, StaleHandleNeverReachesTheSlotsNextOwner) {
  // One thread keeps releasing a handle and handing its slot to another
  // target; readers of the old handles may see their own target or none.
  HandleTable table;
  int mine = 0;
  int theirs = 0;
  std::atomic<std::uintptr_t> current{table.acquire(1, &mine)};
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<int> started{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      ++started;
      while (!stop.load()) {
        const std::uintptr_t handle = current.load();
        void* target = table.lookup_target(handle);
        if (target != nullptr && target != &mine) ++wrong;
      }
    });
  }
  while (started.load() < 2) std::this_thread::yield();
  for (int round = 0; round < 20000; ++round) {
    const std::uintptr_t old_handle = current.load();
    table.release(old_handle);
    const std::uintptr_t other = table.acquire(2, &theirs);  // the freed slot
    table.release(other);
    current.store(table.acquire(1, &mine));
  }
  stop.store(true);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(HandlesTest, GateFollowsThresholdsAndDiesWithItsHandle) {
  HandleTable table;
  const std::uintptr_t closed = table.acquire(0);
  const std::uintptr_t open = table.acquire(1, nullptr, 500);
  EXPECT_FALSE(table.passes(closed, INT_MAX - 1)) << "a new handle is closed by default";
  EXPECT_TRUE(table.passes(open, 500));
  EXPECT_FALSE(table.passes(open, 499));

  // Thresholds come from the object index; negative ones survive the packing.
  table.set_gates([](std::uint32_t object) { return object == 0 ? -100 : 900; });
  EXPECT_TRUE(table.passes(closed, -100));
  EXPECT_FALSE(table.passes(closed, -101));
  EXPECT_FALSE(table.passes(open, 800));

  // A released handle fails even after its slot is handed out again open.
  ASSERT_TRUE(table.release(open));
  EXPECT_FALSE(table.passes(open, 1000));
  const std::uintptr_t reused = table.acquire(2, nullptr, 0);
  EXPECT_TRUE(table.passes(reused, 0));
  EXPECT_FALSE(table.passes(open, 1000)) << "stale handle must not see the new owner's gate";
  EXPECT_FALSE(table.passes(0, 1000));
  EXPECT_FALSE(table.passes(~std::uintptr_t{0}, 1000));
}

}  // namespace
}  // namespace gw

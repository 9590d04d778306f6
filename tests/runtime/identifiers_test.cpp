#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "eklogger/platform/runtime.h"

namespace {

uint64_t kernel_thread_id() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

TEST(IdentifiersTest, ThreadIdIsTheKernelThreadIdAndStable) {
  const uint64_t id = NxThreadGetCurrentID();
  EXPECT_EQ(id, kernel_thread_id());
  EXPECT_EQ(NxThreadGetCurrentID(), id);
  EXPECT_EQ(NxProcessGetCurrentID(), static_cast<uint64_t>(getpid()));
}

TEST(IdentifiersTest, EveryThreadHasItsOwnId) {
  std::mutex mutex;
  std::set<uint64_t> ids;
  int mismatches = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      const uint64_t first = NxThreadGetCurrentID();
      const uint64_t again = NxThreadGetCurrentID();
      std::lock_guard<std::mutex> lock(mutex);
      if (first != kernel_thread_id() || again != first) ++mismatches;
      if (NxProcessGetCurrentID() != static_cast<uint64_t>(getpid())) ++mismatches;
      ids.insert(first);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(ids.size(), 8u);
  EXPECT_EQ(ids.count(NxThreadGetCurrentID()), 0u);
}

// The child reports through its exit status: 0 when its ids are its own.
TEST(IdentifiersTest, ForkedChildReportsItsOwnIds) {
  const uint64_t parent_process = NxProcessGetCurrentID();
  const uint64_t parent_thread = NxThreadGetCurrentID();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 0;
    if (NxProcessGetCurrentID() != static_cast<uint64_t>(getpid())) status |= 1;
    if (NxProcessGetCurrentID() == parent_process) status |= 2;
    if (NxThreadGetCurrentID() != kernel_thread_id()) status |= 4;
    if (NxThreadGetCurrentID() == parent_thread) status |= 8;
    uint64_t in_thread = 0;
    std::thread([&] { in_thread = NxThreadGetCurrentID(); }).join();
    if (in_thread == 0 || in_thread == NxThreadGetCurrentID()) status |= 16;
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(NxProcessGetCurrentID(), parent_process);
  EXPECT_EQ(NxThreadGetCurrentID(), parent_thread);
}

}  // namespace

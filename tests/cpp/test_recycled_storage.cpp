// recycled_storage: freed sample storage handed out again for the same size, within bounds.
#include "core/recycled_storage.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace pluvo {
namespace {

using recycled_storage::kMaxPooledBytes;
using recycled_storage::kMaxRecycledBytes;
using recycled_storage::kSlots;

// The slots are shared by the whole process: empty them with allocations of the same sizes.
void drain(std::size_t bytes) {
  std::vector<void*> taken;
  for (std::size_t i = 0; i < kSlots; ++i) taken.push_back(recycled_storage::allocate(bytes));
  for (void* data : taken) std::free(data);
}

TEST(RecycledStorage, FreedStorageComesBackForTheSameSizeOnly) {
  constexpr std::size_t kBytes = 2048;
  drain(kBytes);
  drain(4096);
  void* first = recycled_storage::allocate(kBytes);
  ASSERT_NE(first, nullptr);
  std::memset(first, 0xab, kBytes);  // usable to its last byte
  recycled_storage::release(first, kBytes);
  void* other_size = recycled_storage::allocate(4096);
  EXPECT_NE(other_size, first);
  EXPECT_EQ(recycled_storage::allocate(kBytes), first);
  recycled_storage::release(first, kBytes);
  recycled_storage::release(other_size, 4096);
  drain(kBytes);
  drain(4096);
}

class RecycledStorageBounds : public ::testing::TestWithParam<std::size_t> {};

// Small buffers fill every slot, large ones the bytes the slots may hold; the oldest go first.
TEST_P(RecycledStorageBounds, KeepsWhatItsBoundsAllowTheNewestFirst) {
  const std::size_t bytes = GetParam();
  const std::size_t kept = std::min(kSlots, kMaxPooledBytes / bytes);
  drain(bytes);
  std::vector<void*> freed;
  for (std::size_t i = 0; i < kept + 3; ++i) freed.push_back(recycled_storage::allocate(bytes));
  for (void* data : freed) recycled_storage::release(data, bytes);
  // The newest come back first.
  std::set<void*> back;
  for (std::size_t i = 0; i < kept; ++i) back.insert(recycled_storage::allocate(bytes));
  EXPECT_EQ(back, std::set<void*>(freed.end() - static_cast<std::ptrdiff_t>(kept), freed.end()));
  for (void* data : back) std::free(data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecycledStorageBounds,
                         ::testing::Values(std::size_t{512}, std::size_t{16384},
                                           kMaxRecycledBytes));

TEST(RecycledStorage, ThreadsNeverShareABuffer) {
  // Each thread writes its own mark into what it holds and checks it before freeing it; two
  // threads handed the same buffer would see each other's marks (and the sanitizers would see a
  // double free).
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  std::atomic<int> clashes{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &clashes] {
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t bytes = std::size_t{64} * static_cast<std::size_t>(1 + round % 3);
        auto* data = static_cast<std::uint32_t*>(recycled_storage::allocate(bytes));
        const auto mark = static_cast<std::uint32_t>(t * kRounds + round);
        for (std::size_t i = 0; i < bytes / 4; ++i) data[i] = mark;
        std::this_thread::yield();
        for (std::size_t i = 0; i < bytes / 4; ++i) {
          if (data[i] != mark) ++clashes;
        }
        recycled_storage::release(data, bytes);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(clashes.load(), 0);
}

}  // namespace
}  // namespace pluvo

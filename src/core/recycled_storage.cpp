#include "core/recycled_storage.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>

namespace pluvo::recycled_storage {
namespace {

struct Slot {
  void* data;
  std::size_t bytes;
};

// Trivially destructible, so buffers freed while the process exits never meet a destroyed pool.
struct Pool {
  std::atomic_flag busy;
  std::array<Slot, kSlots> slots;  // [0, used) hold buffers, the most recently freed last
  std::size_t used;
  std::size_t bytes;  // held in [0, used)
};

constinit Pool pool{};  // NOLINT(*-avoid-non-const-global-variables): shared by every reader

// Another thread in the pool means plain malloc or free instead: nobody ever waits.
class Lock {
 public:
  Lock() noexcept : held_(!pool.busy.test_and_set(std::memory_order_acquire)) {}
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  Lock(Lock&&) = delete;
  Lock& operator=(Lock&&) = delete;
  ~Lock() {
    if (held_) pool.busy.clear(std::memory_order_release);
  }
  [[nodiscard]] bool held() const noexcept { return held_; }

 private:
  bool held_;
};

}  // namespace

void* allocate(std::size_t bytes) noexcept {
  if (bytes <= kMaxRecycledBytes) {
    const Lock lock;
    if (lock.held()) {
      for (std::size_t i = pool.used; i-- > 0;) {
        if (pool.slots[i].bytes != bytes) continue;
        void* const data = pool.slots[i].data;
        std::copy(pool.slots.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                  pool.slots.begin() + static_cast<std::ptrdiff_t>(pool.used),
                  pool.slots.begin() + static_cast<std::ptrdiff_t>(i));
        --pool.used;
        pool.bytes -= bytes;
        return data;
      }
    }
  }
  return std::malloc(bytes);
}

void release(void* data, std::size_t bytes) noexcept {
  if (bytes <= kMaxRecycledBytes) {
    const Lock lock;
    if (lock.held()) {
      // The oldest buffers go: a reader of another record size takes the slots over.
      std::size_t oldest = 0;
      while (pool.used - oldest == kSlots || pool.bytes + bytes > kMaxPooledBytes) {
        std::free(pool.slots[oldest].data);
        pool.bytes -= pool.slots[oldest].bytes;
        ++oldest;
      }
      std::copy(pool.slots.begin() + static_cast<std::ptrdiff_t>(oldest),
                pool.slots.begin() + static_cast<std::ptrdiff_t>(pool.used), pool.slots.begin());
      pool.used -= oldest;
      pool.slots[pool.used++] = Slot{data, bytes};
      pool.bytes += bytes;
      return;
    }
  }
  std::free(data);
}

}  // namespace pluvo::recycled_storage

// The re-entrancy guard of an object: free (0), exclusively borrowed (-1), or borrowed by a count
// of shared holders. Taking it fails with RuntimeError instead of waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "python/errors.hpp"

namespace pluvo {

class BorrowFlag {
 public:
  class Exclusive {
   public:
    Exclusive(Exclusive&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    Exclusive& operator=(Exclusive&&) = delete;
    ~Exclusive() {
      if (flag_ != nullptr) flag_->state_.store(0, std::memory_order_release);
    }

   private:
    friend class BorrowFlag;
    explicit Exclusive(BorrowFlag* flag) noexcept : flag_(flag) {}
    BorrowFlag* flag_;
  };

  PyResult<Exclusive> take_exclusive() {
    std::intptr_t expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
      return PendingError::with_text(PyExc_RuntimeError, "Already borrowed");
    }
    return Exclusive(this);
  }

  // Takes and at once releases a shared borrow: only the check is needed.
  PyStatus check_shared() {
    std::intptr_t current = state_.load(std::memory_order_relaxed);
    while (current != -1) {
      if (state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
        state_.fetch_sub(1, std::memory_order_release);
        return {};
      }
    }
    return PendingError::with_text(PyExc_RuntimeError, "Already mutably borrowed");
  }

 private:
  std::atomic<std::intptr_t> state_{0};
};

}  // namespace pluvo

// One reader, one thread at a time. A thread that finds the reader taken by another waits for its
// turn with the interpreter lock released, as io.BufferedReader does; the holder itself calling
// in again (from a signal handler, a finalizer, an import hook) would wait for itself forever,
// so it gets the RuntimeError of a re-entrant borrow instead. The holder and the count of
// waiters change only under the interpreter lock, so taking a free reader costs no atomic
// read-modify-write.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#include "python/errors.hpp"

namespace pluvo {

class ReaderLock {
 public:
  class Held {
   public:
    Held(Held&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Held& operator=(Held&&) = delete;
    ~Held() {
      if (lock_ != nullptr) lock_->release();
    }

   private:
    friend class ReaderLock;
    explicit Held(ReaderLock* lock) noexcept : lock_(lock) {}
    ReaderLock* lock_;
  };

  // For next() and the like: "Already borrowed" when this thread holds the reader already.
  PyResult<Held> acquire();
  // For iter(): waits while another thread holds the reader; "Already mutably borrowed" when this
  // thread does.
  PyStatus wait_until_free();

 private:
  // Waits, the interpreter lock released, until no thread holds the reader; an exception of a
  // signal handler run meanwhile ends the wait.
  PyStatus wait_for_turn();
  void release() noexcept;

  std::atomic<std::uintptr_t> holder_{0};  // the holding thread's identity, 0 when free
  int waiters_ = 0;
  std::mutex mutex_;
  std::condition_variable freed_;
};

}  // namespace pluvo

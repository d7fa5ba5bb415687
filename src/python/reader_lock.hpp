// One reader, one thread at a time, as io.BufferedReader does it: a thread that finds the reader
// taken by another waits for its turn with the interpreter lock released, waking to run signal
// handlers; the holder itself calling in again (from a signal handler, a finalizer, an import
// hook) would wait for itself forever, so it gets a RuntimeError instead. The lock's own state
// does not lean on the interpreter lock, and a free reader is taken with one atomic operation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <utility>

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

  // Takes the reader for this thread; RuntimeError `reentered` when this thread holds it already.
  Held acquire(std::string_view reentered);

 private:
  void release() noexcept;

  std::atomic<unsigned long> holder_{0};  // the holding thread's identity, 0 when free
  std::atomic<int> waiters_{0};
  std::mutex mutex_;  // only for waiting
  std::condition_variable freed_;
};

}  // namespace pluvo

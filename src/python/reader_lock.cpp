#include "python/reader_lock.hpp"

#include <pythread.h>

#include <chrono>

#include "python/blocking_calls.hpp"

namespace pluvo {
namespace {

std::uintptr_t this_thread() {
  return static_cast<std::uintptr_t>(PyThread_get_thread_ident());
}

// How often a waiting thread looks for signals (Ctrl-C) while another thread holds the reader.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

}  // namespace

PyResult<ReaderLock::Held> ReaderLock::acquire() {
  const std::uintptr_t me = this_thread();
  for (;;) {
    const std::uintptr_t holder = holder_.load(std::memory_order_relaxed);
    if (holder == 0) {
      holder_.store(me, std::memory_order_relaxed);
      return Held(this);
    }
    if (holder == me) return PendingError::with_text(PyExc_RuntimeError, "Already borrowed");
    if (auto error = wait_for_turn()) return std::move(*error);
  }
}

PyStatus ReaderLock::wait_until_free() {
  const std::uintptr_t me = this_thread();
  for (;;) {
    const std::uintptr_t holder = holder_.load(std::memory_order_relaxed);
    if (holder == 0) return {};
    if (holder == me) {
      return PendingError::with_text(PyExc_RuntimeError, "Already mutably borrowed");
    }
    if (auto error = wait_for_turn()) return error;
  }
}

PyStatus ReaderLock::wait_for_turn() {
  ++waiters_;
  bool free = false;
  while (!free) {
    PyThreadState* const state = PyEval_SaveThread();
    {
      std::unique_lock lock(mutex_);
      free = freed_.wait_for(lock, kSignalCheckInterval,
                             [&] { return holder_.load(std::memory_order_acquire) == 0; });
    }
    PyEval_RestoreThread(state);
    if (!free && !run_signal_handlers()) {
      --waiters_;
      return PendingError::fetch();
    }
  }
  --waiters_;
  return {};
}

void ReaderLock::release() noexcept {
  holder_.store(0, std::memory_order_release);
  if (waiters_ != 0) {
    // Taken and dropped, so a waiter is either asleep or not yet looking: none misses the news.
    { const std::lock_guard lock(mutex_); }
    freed_.notify_all();
  }
}

}  // namespace pluvo

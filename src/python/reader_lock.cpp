#include "python/reader_lock.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <chrono>

#include "python/blocking_calls.hpp"
#include "python/errors.hpp"

namespace pluvo {

ReaderLock::Held ReaderLock::acquire(std::string_view reentered) {
  const unsigned long me = PyThread_get_thread_ident();
  for (;;) {
    unsigned long holder = 0;
    if (holder_.compare_exchange_strong(holder, me)) return Held(this);
    if (holder == me) raise_error(PyExc_RuntimeError, reentered);
    ++waiters_;
    PyThreadState* const state = PyEval_SaveThread();
    bool free = false;
    {
      std::unique_lock lock(mutex_);
      // Wakes this often to look for signals (Ctrl-C).
      free = freed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return holder_ == 0; });
    }
    PyEval_RestoreThread(state);
    --waiters_;
    if (!free && !run_signal_handlers()) throw_python_error();
  }
}

void ReaderLock::release() noexcept {
  holder_ = 0;
  if (waiters_ != 0) {
    // Taken and dropped, so a waiter is either asleep or not yet looking: none misses the news.
    { const std::lock_guard lock(mutex_); }
    freed_.notify_all();
  }
}

}  // namespace pluvo

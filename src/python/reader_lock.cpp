#include "python/reader_lock.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <chrono>

#include "python/blocking_calls.hpp"
#include "python/errors.hpp"

namespace pluvo {

ReaderLock::Held ReaderLock::acquire(std::string_view reentered) {
  // Only this thread ever stores its own identity, so a relaxed load cannot mistake another
  // thread's turn for its own.
  const unsigned long me = PyThread_get_thread_ident();
  if (!mutex_.try_lock()) {
    if (holder_.load(std::memory_order_relaxed) == me) raise_error(PyExc_RuntimeError, reentered);
    for (;;) {
      PyThreadState* const state = PyEval_SaveThread();
      // How often a waiting thread looks for signals (Ctrl-C).
      const bool taken = mutex_.try_lock_for(std::chrono::milliseconds(50));
      PyEval_RestoreThread(state);
      if (taken) break;
      if (!run_signal_handlers()) throw_python_error();
    }
  }
  holder_.store(me, std::memory_order_relaxed);
  return Held(this);
}

void ReaderLock::release() noexcept {
  holder_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
}

}  // namespace pluvo

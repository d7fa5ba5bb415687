// A process-wide cell that stays empty until a computation succeeds, then holds the result for
// good. A failed computation stores nothing, so the next use tries again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

#include "python/errors.hpp"

namespace pluvo {

template <class T>
class OnceCell {
 public:
  [[nodiscard]] const T* get() const noexcept { return value_.load(std::memory_order_acquire); }

  // `init` returns a PyResult<T>. A thread that finds another one filling the cell waits with
  // the interpreter lock released, so that the filling thread can call into the interpreter.
  template <class Init>
  PyResult<const T*> get_or_try_init(Init&& init) {
    if (const T* value = get()) return value;
    PyThreadState* released = PyEval_SaveThread();
    const std::lock_guard lock(mutex_);
    PyEval_RestoreThread(released);
    if (const T* value = get()) return value;
    PyResult<T> result = init();
    if (!result.ok()) return std::move(result).error();
    // The computation may have come back here on this thread and filled the cell itself.
    if (const T* value = get()) return value;
    const T* stored = &storage_.emplace(std::move(result).value());
    value_.store(stored, std::memory_order_release);
    return stored;
  }

 private:
  std::atomic<const T*> value_{nullptr};  // set once storage_ is filled
  // The filling thread may come back while its computation runs Python code (an import hook, a
  // finalizer); a plain mutex would deadlock it.
  std::recursive_mutex mutex_;
  std::optional<T> storage_;
};

}  // namespace pluvo

// A process-wide cell that stays empty until a computation succeeds, then holds the result for
// good: the module itself, the class of internal faults and NumPy's table. A computation that
// throws stores nothing, so the next use tries again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

namespace pluvo {

template <class T>
class OnceCell {
 public:
  [[nodiscard]] const T* get() const noexcept { return value_.load(std::memory_order_acquire); }

  // A thread that finds another one filling the cell waits with the interpreter lock released,
  // so that the filling thread can call into the interpreter.
  template <class Init>
  const T& get_or_init(Init&& init) {
    if (const T* value = get()) return *value;
    PyThreadState* released = PyEval_SaveThread();
    const std::lock_guard lock(mutex_);
    PyEval_RestoreThread(released);
    // The computation may have come back here on this thread and filled the cell itself.
    if (const T* value = get()) return *value;
    T made = init();
    if (const T* value = get()) return *value;
    const T* stored = std::construct_at(reinterpret_cast<T*>(storage_), std::move(made));
    value_.store(stored, std::memory_order_release);
    return *stored;
  }

 private:
  std::atomic<const T*> value_{nullptr};  // set once storage_ holds the value
  // The filling thread may come back while its computation runs Python code (an import hook, a
  // finalizer); a plain mutex would deadlock it.
  std::recursive_mutex mutex_;
  // Never destroyed: the value may hold references that must outlive the interpreter's end.
  alignas(T) std::byte storage_[sizeof(T)];
};

}  // namespace pluvo

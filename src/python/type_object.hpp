// Types declared to the interpreter from specifications at run time: created on first use, kept
// for the life of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "python/errors.hpp"

namespace pluvo {

class LazyTypeObject {
 public:
  // `create` returns a new type object, or null with the interpreter's exception set.
  LazyTypeObject(PyObject* (*create)(), const char* class_name) noexcept
      : create_(create), class_name_(class_name) {}

  // Should two creations overlap, the first one stored wins and the other is released.
  PyResult<PyTypeObject*> get_or_create();
  // As above, but a failure is reported as unraisable and then faults.
  PyTypeObject* get_or_fault() {
    if (PyTypeObject* type = type_.load(std::memory_order_acquire)) return type;
    return create_or_fault();
  }

 private:
  PyTypeObject* create_or_fault();

  PyObject* (*create_)();
  const char* class_name_;
  std::atomic<PyTypeObject*> type_{nullptr};
};

// A new, zeroed instance through the type's allocation slot; null with the exception set.
PyObject* allocate_instance(PyTypeObject* type);

// The last step of a deallocator: frees the object through its type's tp_free and drops the
// reference every instance of a heap type holds to its type.
void free_instance(PyObject* self);

}  // namespace pluvo

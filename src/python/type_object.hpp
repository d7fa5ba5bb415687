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

// A type that Python code cannot instantiate: its flags, and a slot to put before the ending zero
// slot. Interpreters without the flag (CPython 3.9, PyPy 3.9) would inherit object's constructor
// and make instances that hold nothing: there the slot refuses as the flag does, and elsewhere it
// is a second zero slot that the interpreter never reaches.
#if defined(Py_TPFLAGS_DISALLOW_INSTANTIATION) && !defined(PYPY_VERSION)
inline constexpr unsigned long kNotInstantiableFlags = Py_TPFLAGS_DISALLOW_INSTANTIATION;
inline constexpr PyType_Slot kRefuseInstantiationSlot = {0, nullptr};
#else
inline constexpr unsigned long kNotInstantiableFlags = 0;
PyObject* refuse_instantiation(PyTypeObject* type, PyObject* args, PyObject* kwargs);
inline const PyType_Slot kRefuseInstantiationSlot = {
    Py_tp_new, reinterpret_cast<void*>(&refuse_instantiation)};
#endif

// A new, zeroed instance through the type's allocation slot; null with the exception set.
PyObject* allocate_instance(PyTypeObject* type);

// The last step of a deallocator: frees the object through its type's tp_free and drops the
// reference every instance of a heap type holds to its type.
void free_instance(PyObject* self);

}  // namespace pluvo

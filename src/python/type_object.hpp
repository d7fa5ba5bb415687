// What the module's types share: their creation from their slots when the module is made,
// the refusal of instantiation, and the allocation and release of instances.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "python/py_ref.hpp"

namespace pluvo {

// What differs between the module's types. Each has `object` as its base and a name of
// "builtins." and the class name, since it declares no module.
struct TypeDescription {
  const char* name;
  std::size_t basic_size;
  unsigned long flags;
  bool instantiable;
  std::initializer_list<PyType_Slot> slots;  // without the base and the ending zero slot
};

// The type; a failure raises RuntimeError "An error occurred while initializing class <name>"
// with the interpreter's exception as its cause.
PyRef create_type(const TypeDescription& description);

inline PyTypeObject* as_type(const PyRef& type) noexcept {
  return reinterpret_cast<PyTypeObject*>(type.get());
}

// A type that Python code cannot instantiate: its flags, and a slot to put before the ending zero
// slot. Where the flag is missing (Python 3.9) or ignored (PyPy), object's constructor would make
// instances that hold nothing: there the slot refuses as the flag does, and elsewhere it is a
// second zero slot that the interpreter never reaches.
#if defined(Py_TPFLAGS_DISALLOW_INSTANTIATION) && !defined(PYPY_VERSION)
inline constexpr unsigned long kNotInstantiableFlags = Py_TPFLAGS_DISALLOW_INSTANTIATION;
inline constexpr PyType_Slot kRefuseInstantiationSlot = {0, nullptr};
#else
inline constexpr unsigned long kNotInstantiableFlags = 0;
PyObject* refuse_instantiation(PyTypeObject* type, PyObject* args, PyObject* kwargs);
inline const PyType_Slot kRefuseInstantiationSlot = {
    Py_tp_new, reinterpret_cast<void*>(&refuse_instantiation)};
#endif

// A new instance through the type's allocation slot, its fields zeroed; a type that takes part in
// garbage collection gets its instance tracked.
PyRef allocate_instance(PyTypeObject* type);

// The last step of a deallocator: frees the object through its type's tp_free and drops the
// reference every instance of a heap type holds to its type.
void free_instance(PyObject* self);

}  // namespace pluvo

#include "python/type_object.hpp"

#include <string>

#include "core/internal_fault.hpp"

namespace pluvo {

PyResult<PyTypeObject*> LazyTypeObject::get_or_create() {
  if (PyTypeObject* type = type_.load(std::memory_order_acquire)) return type;
  auto* created = reinterpret_cast<PyTypeObject*>(create_());
  if (created == nullptr) return PendingError::fetch();
  PyTypeObject* expected = nullptr;
  if (!type_.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

PyTypeObject* LazyTypeObject::create_or_fault() {
  auto type = get_or_create();
  if (type.ok()) return type.value();
  write_unraisable(std::move(type).error(), nullptr);
  throw InternalFault(std::string("failed to create type object for `") + class_name_ + "`");
}

#if !defined(Py_TPFLAGS_DISALLOW_INSTANTIATION) || defined(PYPY_VERSION)
PyObject* refuse_instantiation(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}
#endif

PyObject* allocate_instance(PyTypeObject* type) {
  const allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  return allocate(type, 0);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_free == nullptr) throw InternalFault("PyBaseObject_Type should have tp_free");
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace pluvo

#include "python/type_object.hpp"

#include <string>

#include "core/internal_fault.hpp"
#include "python/errors.hpp"
#include "python/messages.hpp"

namespace pluvo {

PyRef create_type(PyType_Spec& spec, std::string_view class_name) {
  try {
    return checked(PyType_FromSpec(&spec));
  } catch (PythonError& error) {
    throw exception_with_cause(PyExc_RuntimeError, messages::type_initialisation_failed(class_name),
                               error.instance());
  }
}

#if !defined(Py_TPFLAGS_DISALLOW_INSTANTIATION) || defined(PYPY_VERSION)
PyObject* refuse_instantiation(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}
#endif

PyObject* allocate_instance(PyTypeObject* type) {
  const allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  return checked(allocate(type, 0)).release();
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_free == nullptr) throw InternalFault(std::string(messages::kNoTpFree));
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace pluvo

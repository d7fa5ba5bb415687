#include "python/type_object.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/internal_fault.hpp"
#include "python/errors.hpp"
#include "python/messages.hpp"

namespace pluvo {

PyRef create_type(const TypeDescription& description) {
  std::vector<PyType_Slot> slots(description.slots);
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  if (!description.instantiable) slots.push_back(kRefuseInstantiationSlot);
  slots.push_back({0, nullptr});
  PyType_Spec spec = {
      .name = description.name,
      .basicsize = static_cast<int>(description.basic_size),
      .itemsize = 0,
      .flags = static_cast<unsigned int>(description.flags |
                                         (description.instantiable ? 0 : kNotInstantiableFlags)),
      .slots = slots.data(),
  };
  try {
    return checked(PyType_FromSpec(&spec));
  } catch (PythonError& error) {
    const std::string_view class_name = std::strchr(description.name, '.') + 1;
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

PyRef allocate_instance(PyTypeObject* type) {
  const allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  return checked(allocate(type, 0));
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_free == nullptr) throw InternalFault(std::string(messages::kNoTpFree));
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace pluvo

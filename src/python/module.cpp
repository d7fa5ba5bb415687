// The module's entry point: creates the module once per process and registers EventReader in it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/errors.hpp"
#include "python/event_reader.hpp"
#include "python/once_cell.hpp"
#include "python/py_ref.hpp"

namespace pluvo {
namespace {

PyObject* interned_all_name() {
  static PyObject* const name = [] {  // NOLINT(*-avoid-non-const-global-variables): a str
    PyObject* text = checked_api_result(PyUnicode_FromStringAndSize("__all__", 7)).release();
    PyUnicode_InternInPlace(&text);
    return text;
  }();
  return name;
}

// The module's __all__ list, created empty when the module has none.
PyResult<PyRef> all_list(PyObject* module) {
  PyRef all(PyObject_GetAttr(module, interned_all_name()));
  if (all) {
    if (PyList_Check(all.get()) == 0) return cast_failure(all.get(), &PyList_Type);
    return all;
  }
  PendingError error = PendingError::fetch();
  if (PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError) == 0) return error;
  PyRef created(PyList_New(0));
  if (!created || PyObject_SetAttr(module, interned_all_name(), created.get()) != 0) {
    return PendingError::fetch();
  }
  return created;
}

PyStatus add(PyObject* module, PyObject* name, PyObject* value) {
  auto all = all_list(module);
  if (!all.ok()) return std::move(all).error();
  if (PyList_Append(all.value().get(), name) != 0) {
    fault_with_python_error("could not append __name__ to __all__", PendingError::fetch());
  }
  if (PyObject_SetAttr(module, name, value) != 0) return PendingError::fetch();
  return {};
}

PyStatus add_event_reader_class(PyObject* module) {
  auto type = event_reader_type().get_or_create();
  if (!type.ok()) {
    NormalizedError cause = normalize(std::move(type).error());
    return exception_with_cause(PyExc_RuntimeError,
                                "An error occurred while initializing class EventReader",
                                std::move(cause.value));
  }
  const PyRef name(PyUnicode_FromStringAndSize("EventReader", 11));
  if (!name) return PendingError::fetch();
  return add(module, name.get(), reinterpret_cast<PyObject*>(type.value()));
}

PyResult<PyObject*> make_module() {
  static PyModuleDef definition = {
      .m_base = PyModuleDef_HEAD_INIT,
      .m_name = "pluvo",
      .m_doc = "",
      .m_size = 0,
      .m_methods = nullptr,
      .m_slots = nullptr,
      .m_traverse = nullptr,
      .m_clear = nullptr,
      .m_free = nullptr,
  };
  // Holds its reference for the life of the process.
  static OnceCell<PyObject*> module_cache;
  auto module = module_cache.get_or_try_init([]() -> PyResult<PyObject*> {
    PyRef created(PyModule_Create2(&definition, PYTHON_API_VERSION));
    if (!created) return PendingError::fetch();
#ifdef PYPY_VERSION
    // PyPy leaves an empty m_doc unset, and the module type's docstring would show through.
    const PyRef doc(PyUnicode_FromStringAndSize("", 0));
    if (!doc || PyObject_SetAttrString(created.get(), "__doc__", doc.get()) != 0) {
      return PendingError::fetch();
    }
#endif
    if (auto error = add_event_reader_class(created.get())) return std::move(*error);
    return created.release();
  });
  if (!module.ok()) return std::move(module).error();
  Py_INCREF(*module.value());
  return *module.value();
}

}  // namespace
}  // namespace pluvo

PyMODINIT_FUNC PyInit_pluvo() {
  return pluvo::entry_guard([] { return pluvo::make_module(); });
}

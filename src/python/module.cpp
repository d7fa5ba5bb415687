// The module's entry point: makes the module and everything it owns once per process, in one
// step with one failure path, and registers EventReader in it. Only the main interpreter may
// import it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/errors.hpp"
#include "python/event_batches.hpp"
#include "python/event_index.hpp"
#include "python/event_reader.hpp"
#include "python/messages.hpp"
#include "python/module_state.hpp"
#include "python/numpy.hpp"
#include "python/once_cell.hpp"
#include "python/py_ref.hpp"

namespace pluvo {
namespace {

struct Module {
  PyRef object;
  ModuleState state;
};

OnceCell<Module>& module_cell() {
  static OnceCell<Module> cell;
  return cell;
}

// The module's __all__ list, created empty when the module has none.
PyRef all_list(PyObject* module, PyObject* all_name) {
  if (PyRef all{PyObject_GetAttr(module, all_name)}) {
    if (PyList_Check(all.get()) == 0) raise_cast_failure(all.get(), &PyList_Type);
    return all;
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) throw_python_error();
  PyErr_Clear();
  PyRef created = checked(PyList_New(0));
  checked(PyObject_SetAttr(module, all_name, created.get()));
  return created;
}

// Appends the name to __all__, then sets the attribute.
void add(PyObject* module, const char* name, const PyRef& value) {
  const PyRef all = all_list(module, interned("__all__").get());
  const PyRef key = checked(PyUnicode_FromString(name));
  try {
    checked(PyList_Append(all.get(), key.get()));
  } catch (PythonError& error) {
    fault_with_python_error(messages::kAllNotExtended, std::move(error));
  }
  checked(PyObject_SetAttr(module, key.get(), value.get()));
}

// The module's cache, types and NumPy table belong to the process, made with the main
// interpreter's objects; another interpreter would share them, or clear them when it ends.
void require_main_interpreter() {
#ifndef PYPY_VERSION  // PyPy has one interpreter
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    raise_error(PyExc_ImportError, messages::kMainInterpreterOnly);
  }
#endif
}

Module make_module() {
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
  PyRef module = checked(PyModule_Create2(&definition, PYTHON_API_VERSION));
#ifdef PYPY_VERSION
  // PyPy leaves an empty m_doc unset, and the module type's docstring would show through.
  checked(PyObject_SetAttrString(module.get(), "__doc__", checked(PyUnicode_FromString("")).get()));
#endif
  // Made first, so that any fault from here on can be raised.
  panic_exception_type();
  ModuleState state;
  add(module.get(), "EventReader", state.event_reader);
  return {std::move(module), std::move(state)};
}

}  // namespace

ModuleState::ModuleState()
    : event_reader(create_event_reader_type()),
      event_batches(create_event_batches_type()),
      event_index(create_event_index_type()),
      slice_container(create_slice_container_type()) {
#ifdef PYPY_VERSION
  const PyRef globals = checked(PyDict_New());
  checked(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
  no_work = checked(PyRun_String("lambda: None", Py_eval_input, globals.get(), nullptr));
#endif
}

const ModuleState& module_state() noexcept {
  return module_cell().get()->state;
}

}  // namespace pluvo

PyMODINIT_FUNC PyInit_pluvo() {
  return pluvo::entry_guard([] {
    pluvo::require_main_interpreter();
    return pluvo::PyRef::borrowed(
               pluvo::module_cell().get_or_init(&pluvo::make_module).object.get())
        .release();
  });
}

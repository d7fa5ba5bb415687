#include "python/blocking_calls.hpp"

#include "python/errors.hpp"
#include "python/once_cell.hpp"

namespace pluvo {
namespace {

// This thread's state while a ReleasedInterpreter holds the interpreter lock released.
thread_local PyThreadState* released_state = nullptr;  // NOLINT(*-avoid-non-const-global-variables)

class InterpreterWaits final : public BlockingCalls {
 public:
  void* before_wait() noexcept override {
    if (released_state != nullptr) return nullptr;
    return PyEval_SaveThread();
  }

  void after_wait(void* token) noexcept override {
    if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
  }

  bool resume_after_interrupt() noexcept override {
    if (released_state == nullptr) return run_signal_handlers();
    // The handlers need the interpreter lock; their exception stays set for the caller.
    PyEval_RestoreThread(released_state);
    const bool resume = run_signal_handlers();
    released_state = PyEval_SaveThread();
    return resume;
  }
};

}  // namespace

bool run_signal_handlers() {
#ifdef PYPY_VERSION
  // PyPy's PyErr_CheckSignals() does nothing: its handlers run when Python code runs next, so a
  // function of no work gives them their turn.
  static OnceCell<PyObject*> nothing_cell;
  auto nothing = nothing_cell.get_or_try_init([]() -> PyResult<PyObject*> {
    const PyRef globals(PyDict_New());
    if (!globals ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) {
      return PendingError::fetch();
    }
    PyObject* made = PyRun_String("lambda: None", Py_eval_input, globals.get(), nullptr);
    if (made == nullptr) return PendingError::fetch();
    return made;
  });
  if (!nothing.ok()) {
    // The handlers may have run while the function was made, and raised.
    std::move(nothing).error().raise();
    return false;
  }
  const PyRef result(PyObject_CallNoArgs(*nothing.value()));
  return static_cast<bool>(result);
#else
  return PyErr_CheckSignals() == 0;
#endif
}

BlockingCalls* interpreter_waits() {
  // Never destroyed: readers may outlive static destructors.
  static auto* const waits = new InterpreterWaits;  // NOLINT(*-avoid-non-const-global-variables)
  return waits;
}

ReleasedInterpreter::ReleasedInterpreter() noexcept {
  released_state = PyEval_SaveThread();
}

ReleasedInterpreter::~ReleasedInterpreter() {
  PyThreadState* const state = released_state;
  released_state = nullptr;
  PyEval_RestoreThread(state);
}

}  // namespace pluvo

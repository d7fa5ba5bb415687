#include "python/blocking_calls.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/module_state.hpp"
#include "python/py_ref.hpp"

namespace pluvo {
namespace {

class InterpreterWaits final : public BlockingCalls {
 public:
  void* before_wait() noexcept override { return PyEval_SaveThread(); }
  void after_wait(void* token) noexcept override {
    PyEval_RestoreThread(static_cast<PyThreadState*>(token));
  }
  bool resume_after_interrupt() noexcept override { return run_signal_handlers(); }
};

// Stateless; handed out as the hooks of every reader.
constinit InterpreterWaits waits;  // NOLINT(*-avoid-non-const-global-variables)

}  // namespace

BlockingCalls* interpreter_waits() {
  return &waits;
}

bool run_signal_handlers() {
#ifdef PYPY_VERSION
  // PyPy's PyErr_CheckSignals() does nothing: its handlers run when Python code runs next, so a
  // function of no work gives them their turn.
  return static_cast<bool>(PyRef(PyObject_CallNoArgs(module_state().no_work.get())));
#else
  return PyErr_CheckSignals() == 0;
#endif
}

}  // namespace pluvo

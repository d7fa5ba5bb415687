// The interpreter's side of system calls that may wait: other threads run meanwhile, and a call
// interrupted by a signal runs the interpreter's signal handlers (as CPython's own I/O does since
// PEP 475), giving the call up when a handler raises, for Ctrl-C.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/blocking_calls.hpp"

namespace pluvo {

// Shared by every reader; lives for the rest of the process.
BlockingCalls* interpreter_waits();

// Runs the handlers of signals that arrived, with the interpreter lock held; false, with the
// exception set, when one raised (KeyboardInterrupt for Ctrl-C).
bool run_signal_handlers();

// Releases the interpreter lock for a stretch of reading code on this thread (a batch); the
// waits inside it then leave the lock alone, and take it only to run signal handlers.
class ReleasedInterpreter {
 public:
  ReleasedInterpreter() noexcept;
  ReleasedInterpreter(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter(ReleasedInterpreter&&) = delete;
  ReleasedInterpreter& operator=(ReleasedInterpreter&&) = delete;
  ~ReleasedInterpreter();
};

}  // namespace pluvo

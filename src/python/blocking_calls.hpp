// System calls that may wait (the open of a FIFO, a read from a slow device), made as CPython's own
// I/O makes them: the interpreter lock released around each call, and after EINTR the signal
// handlers run, the call given up when one raises (Ctrl-C). The core runs the retry loop; this is
// the interpreter's side of it.
#pragma once

#include "core/blocking_calls.hpp"

namespace pluvo {

// Shared by every reader; lives for the rest of the process.
BlockingCalls* interpreter_waits();

// Runs the handlers of signals that arrived, with the interpreter lock held; false, with the
// exception set, when one raised (KeyboardInterrupt for Ctrl-C).
bool run_signal_handlers();

}  // namespace pluvo

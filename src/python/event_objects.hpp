// Event dicts: a record's header values under the keys of its format's field table, then its
// samples as a NumPy array under "data".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

// A new dict; the samples move into its array. Every failure is an internal fault.
PyRef make_event(WD1Event& event);
PyRef make_event(WD2Event& event);

}  // namespace pluvo

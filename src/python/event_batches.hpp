// EventReader.batches(): an iterator over the same reader that yields whole columns of events.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/py_ref.hpp"

namespace pluvo {

inline constexpr const char* kBatchesDoc =
    "batches($self, /, max_events=65536, max_bytes=2097152, *, stop=None)\n--\n\n"
    "Iterate over the following events in batches: dicts with the keys of an event, each header\n"
    "key mapped to a 1-D array and \"data\" to a 2-D array with one row of samples per event.";

// The method EventReader.batches.
PyObject* event_reader_batches(PyObject* self, PyObject* args, PyObject* kwargs);

// The type of its iterators, made with the module.
PyRef create_event_batches_type();

}  // namespace pluvo

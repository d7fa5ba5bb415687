// EventReader.index(): where each event of the file starts and how many samples it holds, read
// from the headers alone, and the byte ranges that split the file between workers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/py_ref.hpp"

namespace pluvo {

inline constexpr const char* kIndexDoc =
    "index($self, /)\n--\n\n"
    "Index the whole file from its headers: where each event starts and how many samples it\n"
    "holds. The reader's own position does not change.";

// The method EventReader.index.
PyObject* event_reader_index(PyObject* self, PyObject* unused);

// The type of its results, made with the module.
PyRef create_event_index_type();

}  // namespace pluvo

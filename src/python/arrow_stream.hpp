// The batches of a reader as an Arrow C stream, which every Arrow tool takes without a copy: each
// record batch is one batch of the reader, its buffers the batch's own columns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/batch_reader.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

// A PyCapsule "arrow_array_stream" over the batches of `reader` (an EventReader, which the stream
// holds) with these limits. `requested_schema` is null, None or a PyCapsule "arrow_schema" that
// equals the stream's schema; another schema raises NotImplementedError naming the difference.
PyRef export_arrow_stream(PyObject* reader, const BatchLimits& limits, PyObject* requested_schema);

}  // namespace pluvo

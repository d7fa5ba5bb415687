// EventReader.batches(): an iterator over the same reader that yields whole columns of events.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <utility>
#include <variant>

#include "core/batch_reader.hpp"
#include "python/errors.hpp"
#include "python/event_reader.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

inline constexpr const char* kBatchesDoc =
    "batches($self, /, max_events=65536, max_bytes=2097152, *, stop=None)\n--\n\n"
    "Iterate over the following events in batches: dicts with the keys of an event, each header\n"
    "key mapped to a 1-D array and \"data\" to a 2-D array with one row of samples per event.";

// The next batch of the records, or none at their end; what next() would raise before the
// batch's first record is raised. A failure after its last record is deferred to the reader's
// next request, before anything else calls the interpreter: a signal handler's exception is
// pending there until it is taken.
template <class Records>
std::optional<Batch<typename Records::Record, typename Records::Sample>> read_next_batch(
    EventReaderObject& reader, Records& records, const BatchLimits& limits) {
  auto outcome = read_batch(records, limits);
  auto* batch = std::get_if<0>(&outcome);
  if (batch == nullptr) {
    if (auto* error = std::get_if<IoError>(&outcome)) raise_io_error(*error);
    return std::nullopt;
  }
  if (batch->failure) defer_failure(reader, *batch->failure);
  return std::move(*batch);
}

// The method EventReader.batches.
PyObject* event_reader_batches(PyObject* self, PyObject* args, PyObject* kwargs);

// The type of its iterators, made with the module.
PyRef create_event_batches_type();

}  // namespace pluvo

// The EventReader type: construction from a path and a reader type, iteration, deallocation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <utility>
#include <variant>

#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "python/errors.hpp"
#include "python/event_objects.hpp"
#include "python/reader_lock.hpp"
#include "python/type_object.hpp"

namespace pluvo {

using Reader = std::variant<WD1Reader, WD2Reader>;

struct EventReaderObject {
  PyObject_HEAD
  Reader reader;
  ReaderLock lock;
  RecentInts recent_ints;
  // A failure met after the records a batch returned, raised by the next request.
  std::optional<PendingError> deferred;
};

// Created on first use and kept for the life of the process.
LazyTypeObject& event_reader_type();

// `self` as an EventReader, or the TypeError of a wrong `self`.
PyResult<EventReaderObject*> as_event_reader(PyObject* self);

// Serves one request for records (next() or a batch) with this thread holding the reader: a
// failure deferred by the last batch is raised first, else `read` is called with the records.
template <class Read>
PyResult<PyObject*> serve_records(EventReaderObject& reader, Read&& read) {
  auto held = reader.lock.acquire();
  if (!held.ok()) return std::move(held).error();
  if (reader.deferred) {
    PendingError deferred = std::move(*reader.deferred);
    reader.deferred.reset();
    return deferred;
  }
  return std::visit(std::forward<Read>(read), reader.reader);
}

}  // namespace pluvo

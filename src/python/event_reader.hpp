// The EventReader type: construction from a path and a reader type, iteration, deallocation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
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

}  // namespace pluvo

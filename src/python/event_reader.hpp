// The EventReader type: construction from a path and a reader type, iteration, the position in
// the file, closing, deallocation; and how a request for records (an event or a batch) gets the
// reader.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

#include "core/io_error.hpp"
#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "python/errors.hpp"
#include "python/event_objects.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "python/reader_lock.hpp"

namespace pluvo {

using Reader = std::variant<WD1Reader, WD2Reader>;

// Everything an EventReader holds: built with the instance, destroyed with it.
struct ReaderState {
  explicit ReaderState(Reader opened) noexcept
      : format(opened.index()), reader(std::move(opened)) {}

  // The reader of the open file; ValueError once it is closed. Hold the lock.
  Reader& open_records() {
    if (!reader) raise_error(PyExc_ValueError, messages::kClosedFile);
    return *reader;
  }

  // The index in Reader of the file's format: set once, read without the lock, also once closed.
  std::size_t format;
  std::optional<Reader> reader;  // none once closed
  ReaderLock lock;
  PreviousEvent previous_event;
  // The failure met after the records a batch returned, raised by the next request.
  std::optional<PythonError> deferred;
  // By the collector, from the first deferred failure on: until then the instance holds no
  // object that could lead back to it.
  bool tracked = false;
};

struct EventReaderObject {
  PyObject_HEAD
  ReaderState state;
};

// `self` as an EventReader, or the TypeError of a wrong `self`.
EventReaderObject& as_event_reader(PyObject* self);

// Runs act(records) with this thread holding the reader of the open file: the closed-file
// ValueError once it is closed.
template <class Act>
decltype(auto) with_open_records(ReaderState& state, Act&& act) {
  const auto held = state.lock.acquire(messages::kAlreadyBorrowed);
  return std::visit(std::forward<Act>(act), state.open_records());
}

// Serves one request for records with this thread holding the reader: a closed file raises, and
// a failure deferred by the last batch is raised first; else act(records) is called with the
// reader of the file's format.
template <class Act>
decltype(auto) serve_request(EventReaderObject& reader, Act&& act) {
  const auto held = reader.state.lock.acquire(messages::kAlreadyBorrowed);
  Reader& opened = reader.state.open_records();
  if (reader.state.deferred) {
    std::move(*reader.state.deferred).restore();
    reader.state.deferred.reset();
    throw_python_error();
  }
  return std::visit(std::forward<Act>(act), opened);
}

// A request as serve_request() serves it, for a read(records, arrays) that makes NumPy arrays.
// Until NumPy's table is in hand, it is looked up only when a record is there before `stop`, and
// before the record is consumed: its header is read and given back first, so that an interruption
// of the lookup leaves it for the next request.
template <class Read>
PyObject* serve_records(EventReaderObject& reader, Read&& read,
                        std::uint64_t stop = std::numeric_limits<std::uint64_t>::max()) {
  return serve_request(reader, [&](auto& records) -> PyObject* {
    if (!ArrayMaker::table_found()) {
      if (records.position() >= stop) return nullptr;
      auto next = records.next_header();
      if (auto* error = std::get_if<IoError>(&next)) raise_io_error(*error);
      auto* header = std::get_if<0>(&next);
      if (header == nullptr) return nullptr;
      records.give_back(std::move(*header));
    }
    const ArrayMaker arrays;
    return read(records, arrays);
  });
}

// Keeps the exception of a failure for the reader's next request. A signal handler's exception is
// pending in the interpreter until this takes it: call it before any other interpreter call.
void defer_failure(EventReaderObject& reader, const IoError& failure);

// The type, made with the module.
PyRef create_event_reader_type();

}  // namespace pluvo

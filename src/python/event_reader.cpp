#include "python/event_reader.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/buf_reader.hpp"
#include "python/arguments.hpp"
#include "python/blocking_calls.hpp"
#include "python/event_batches.hpp"
#include "python/event_index.hpp"
#include "python/module_state.hpp"
#include "python/type_object.hpp"

namespace pluvo {
namespace {

// ---- construction ----

constexpr std::array<std::string_view, 2> kNewParameters = {"path", "reader_type"};
constexpr FunctionDescription kNewDescription{"EventReader", "__new__", kNewParameters, 2};

// The file is opened before the type is examined; a refused type closes it again.
Reader open_reader(std::string_view path, std::string_view reader_type) {
  auto input = BufReader::open(path, interpreter_waits());
  if (!input.ok()) raise_io_error(input.error());
  if (reader_type == "WD1") return WD1Reader(std::move(input).value());
  if (reader_type != "WD2")
    raise_error(PyExc_ValueError, messages::unknown_reader_type(reader_type));
  auto reader = WD2Reader::probe(std::move(input).value());
  // Not classified by kind: whatever stopped the probe is a plain OSError.
  if (!reader.ok()) raise_plain_os_error(reader.error());
  return std::move(reader).value();
}

PyObject* event_reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] {
    const Arguments arguments = kNewDescription.extract_arguments(args, kwargs);
    const std::string_view path = extract_argument(arguments["path"], "path", extract_text);
    const std::string_view reader_type =
        extract_argument(arguments["reader_type"], "reader_type", extract_text);
    Reader reader = open_reader(path, reader_type);
    PyObject* self = allocate_instance(subtype).release();
    // Allocation tracks an instance of a collected type; this one holds nothing to collect yet.
    PyObject_GC_UnTrack(self);
    std::construct_at(&reinterpret_cast<EventReaderObject*>(self)->state, std::move(reader));
    return self;
  });
}

int event_reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const auto& deferred = reinterpret_cast<EventReaderObject*>(self)->state.deferred;
  return deferred ? deferred->traverse(visit, arg) : 0;
}

int event_reader_clear(PyObject* self) {
  reinterpret_cast<EventReaderObject*>(self)->state.deferred.reset();
  return 0;
}

void event_reader_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  unraisable_guard([self] {
    std::destroy_at(&reinterpret_cast<EventReaderObject*>(self)->state);  // closes the file
    free_instance(self);
  });
}

// ---- iteration ----

PyObject* event_reader_iter(PyObject* self) {
  return entry_guard([&] {
    ReaderState& state = as_event_reader(self).state;
    // Waits while another thread reads.
    const auto held = state.lock.acquire(messages::kAlreadyMutablyBorrowed);
    state.open_records();
    return PyRef::borrowed(self).release();
  });
}

// The next event's dict; null with no exception set at the end of the records.
template <class RecordReader>
PyObject* next_event(RecordReader& reader, PreviousEvent& previous, const ArrayMaker& arrays) {
  auto outcome = reader.next();
  if (auto* event = std::get_if<0>(&outcome)) return make_event(*event, previous, arrays).release();
  // A failed read is raised, so a caller never takes a broken file for a complete one.
  if (auto* error = std::get_if<IoError>(&outcome)) raise_io_error(*error);
  return nullptr;
}

PyObject* event_reader_next(PyObject* self) {
  return entry_guard([&] {
    EventReaderObject& reader = as_event_reader(self);
    return serve_records(reader, [&](auto& records, const ArrayMaker& arrays) {
      return next_event(records, reader.state.previous_event, arrays);
    });
  });
}

// ---- the position in the file ----

PyObject* event_reader_tell(PyObject* self, PyObject* /*unused*/) {
  return entry_guard([&] {
    const std::uint64_t position = with_open_records(
        as_event_reader(self).state, [](auto& records) { return records.position(); });
    return checked(PyLong_FromUnsignedLongLong(position)).release();
  });
}

constexpr std::array<std::string_view, 1> kSeekParameters = {"offset"};
constexpr FunctionDescription kSeekDescription{"EventReader", "seek", kSeekParameters, 1};

PyObject* event_reader_seek(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] {
    ReaderState& state = as_event_reader(self).state;
    const Arguments arguments = kSeekDescription.extract_arguments(args, kwargs);
    const std::uint64_t offset =
        extract_offset(arguments["offset"], "offset", messages::negative_seek_position);
    with_open_records(state, [&](auto& records) {
      if (auto moved = records.seek(offset); !moved.ok()) raise_io_error(moved.error());
      state.deferred.reset();  // a file read again from elsewhere has not failed there
    });
    return checked(PyLong_FromUnsignedLongLong(offset)).release();
  });
}

// ---- closing ----

PyObject* event_reader_close(PyObject* self, PyObject* /*unused*/) {
  return entry_guard([&] {
    ReaderState& state = as_event_reader(self).state;
    // Waits for a read in progress; arrays handed out own their memory and stay valid.
    const auto held = state.lock.acquire(messages::kAlreadyBorrowed);
    state.reader.reset();
    state.deferred.reset();
    return PyRef::borrowed(Py_None).release();
  });
}

PyObject* event_reader_enter(PyObject* self, PyObject* /*unused*/) {
  return entry_guard([&] {
    with_open_records(as_event_reader(self).state, [](auto& /*records*/) {});
    return PyRef::borrowed(self).release();
  });
}

PyObject* event_reader_exit(PyObject* self, PyObject* /*args*/) {
  return event_reader_close(self, nullptr);
}

}  // namespace

EventReaderObject& as_event_reader(PyObject* self) {
  PyTypeObject* type = module_state().event_reader_type();
  if (Py_TYPE(self) != type && PyType_IsSubtype(Py_TYPE(self), type) == 0) {
    raise_cast_failure(self, type);
  }
  return *reinterpret_cast<EventReaderObject*>(self);
}

void defer_failure(EventReaderObject& reader, const IoError& failure) {
  reader.state.deferred.emplace(io_exception(failure));
  if (!reader.state.tracked) {
    PyObject_GC_Track(reinterpret_cast<PyObject*>(&reader));
    reader.state.tracked = true;
  }
}

PyRef create_event_reader_type() {
  static PyMethodDef methods[] = {
      {"batches",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&event_reader_batches)),
       METH_VARARGS | METH_KEYWORDS, kBatchesDoc},
      {"index", &event_reader_index, METH_NOARGS, kIndexDoc},
      {"tell", &event_reader_tell, METH_NOARGS,
       "tell($self, /)\n--\n\nOffset of the next record: the bytes of the file consumed."},
      {"seek", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&event_reader_seek)),
       METH_VARARGS | METH_KEYWORDS,
       "seek($self, /, offset)\n--\n\nRead the next record from byte offset; returns offset."},
      {"close", &event_reader_close, METH_NOARGS,
       "close($self, /)\n--\n\nClose the file now; closing again does nothing."},
      {"__enter__", &event_reader_enter, METH_NOARGS, nullptr},
      {"__exit__", &event_reader_exit, METH_VARARGS, nullptr},
      {nullptr, nullptr, 0, nullptr},
  };
  return create_type({
      .name = "builtins.EventReader",
      .basic_size = sizeof(EventReaderObject),
      // Collected only while it holds a deferred exception, whose traceback may lead back to it.
      .flags = Py_TPFLAGS_HAVE_GC,
      .instantiable = true,
      .slots = {{Py_tp_doc, const_cast<char*>("EventReader(path, reader_type)\n--\n\n")},
                {Py_tp_new, reinterpret_cast<void*>(&event_reader_new)},
                {Py_tp_iter, reinterpret_cast<void*>(&event_reader_iter)},
                {Py_tp_iternext, reinterpret_cast<void*>(&event_reader_next)},
                {Py_tp_methods, methods},
                {Py_tp_dealloc, reinterpret_cast<void*>(&event_reader_dealloc)},
                {Py_tp_traverse, reinterpret_cast<void*>(&event_reader_traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(&event_reader_clear)}},
  });
}

}  // namespace pluvo

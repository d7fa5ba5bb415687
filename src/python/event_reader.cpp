#include "python/event_reader.hpp"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "core/buf_reader.hpp"
#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "python/arguments.hpp"
#include "python/blocking_calls.hpp"
#include "python/errors.hpp"
#include "python/event_batches.hpp"
#include "python/event_objects.hpp"
#include "python/reader_lock.hpp"

namespace pluvo {
namespace {

// ---- construction ----

constexpr std::array<std::string_view, 2> kNewParameters = {"path", "reader_type"};
constexpr FunctionDescription kNewDescription = {
    .class_name = "EventReader",
    .function_name = "__new__",
    .positional_parameter_names = kNewParameters,
    .positional_only_parameters = 0,
    .required_positional_parameters = 2,
    .keyword_only_parameters = {},
};

// The file is opened before the type is examined; a refused type closes it again.
PyResult<Reader> open_reader(std::string_view path, std::string_view reader_type) {
  auto input = BufReader::open(path, interpreter_waits());
  if (!input.ok()) return from_io_error(input.error());
  if (reader_type == "WD1") return Reader(std::in_place_type<WD1Reader>, std::move(input).value());
  if (reader_type == "WD2") {
    auto reader = WD2Reader::probe(std::move(input).value());
    // Not classified by kind: whatever stopped the probe is a plain OSError.
    if (!reader.ok()) return plain_os_error(reader.error());
    return Reader(std::move(reader).value());
  }
  return PendingError::with_text(
      PyExc_ValueError,
      "unknown reader type '" + std::string(reader_type) + "', expected 'WD1' or 'WD2'");
}

PyObject* event_reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return entry_guard([&]() -> PyResult<PyObject*> {
    std::array<PyObject*, kNewParameters.size()> arguments = {};
    if (auto error = kNewDescription.extract_arguments(args, kwargs, arguments)) {
      return std::move(*error);
    }
    auto path = extract_text(arguments[0]);
    if (!path.ok()) return argument_extraction_error("path", std::move(path).error());
    auto reader_type = extract_text(arguments[1]);
    if (!reader_type.ok()) {
      return argument_extraction_error("reader_type", std::move(reader_type).error());
    }
    auto reader = open_reader(path.value(), reader_type.value());
    if (!reader.ok()) return std::move(reader).error();
    PyObject* self = allocate_instance(subtype);
    if (self == nullptr) return PendingError::fetch();
    auto* object = reinterpret_cast<EventReaderObject*>(self);
    std::construct_at(&object->reader, std::move(reader).value());
    std::construct_at(&object->lock);
    std::construct_at(&object->recent_ints);
    std::construct_at(&object->deferred);
    return self;
  });
}

void event_reader_dealloc(PyObject* self) {
  unraisable_guard([self] {
    auto* object = reinterpret_cast<EventReaderObject*>(self);
    std::destroy_at(&object->deferred);
    std::destroy_at(&object->recent_ints);
    std::destroy_at(&object->lock);
    std::destroy_at(&object->reader);  // closes the file
    free_instance(self);
  });
}

// ---- iteration ----

PyObject* event_reader_iter(PyObject* self) {
  return entry_guard([&]() -> PyResult<PyObject*> {
    auto object = as_event_reader(self);
    if (!object.ok()) return std::move(object).error();
    if (auto error = object.value()->lock.wait_until_free()) return std::move(*error);
    Py_INCREF(self);
    return self;
  });
}

// The next event's dict; null with no exception set at the end of the records.
template <class RecordReader>
PyResult<PyObject*> next_event(RecordReader& reader, RecentInts& recent) {
  auto outcome = reader.next();
  if (auto* event = std::get_if<0>(&outcome)) return make_event(*event, recent).release();
  // A failed read is raised, so a caller never takes a broken file for a complete one.
  if (auto* error = std::get_if<IoError>(&outcome)) return from_io_error(*error);
  return nullptr;
}

PyObject* event_reader_next(PyObject* self) {
  return entry_guard([&]() -> PyResult<PyObject*> {
    auto object = as_event_reader(self);
    if (!object.ok()) return std::move(object).error();
    EventReaderObject* reader = object.value();
    return serve_records(*reader,
                         [&](auto& records) { return next_event(records, reader->recent_ints); });
  });
}

PyObject* create_event_reader_type() {
  static PyMethodDef event_reader_methods[] = {
      {"batches",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&event_reader_batches)),
       METH_VARARGS | METH_KEYWORDS, kBatchesDoc},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("EventReader(path, reader_type)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(&event_reader_new)},
      {Py_tp_iter, reinterpret_cast<void*>(&event_reader_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(&event_reader_next)},
      {Py_tp_methods, event_reader_methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(&event_reader_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.EventReader",
      .basicsize = sizeof(EventReaderObject),
      .itemsize = 0,
      .flags = 0,
      .slots = slots,
  };
  return PyType_FromSpec(&spec);
}

}  // namespace

PyResult<EventReaderObject*> as_event_reader(PyObject* self) {
  PyTypeObject* type = event_reader_type().get_or_fault();
  if (Py_TYPE(self) != type && PyType_IsSubtype(Py_TYPE(self), type) == 0) {
    return cast_failure(self, type);
  }
  return reinterpret_cast<EventReaderObject*>(self);
}

LazyTypeObject& event_reader_type() {
  static LazyTypeObject type(&create_event_reader_type, "EventReader");
  return type;
}

}  // namespace pluvo

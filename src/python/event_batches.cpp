#include "python/event_batches.hpp"

#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/batch_reader.hpp"
#include "python/arguments.hpp"
#include "python/blocking_calls.hpp"
#include "python/errors.hpp"
#include "python/event_objects.hpp"
#include "python/event_reader.hpp"
#include "python/type_object.hpp"

namespace pluvo {
namespace {

struct EventBatchesObject {
  PyObject_HEAD
  PyObject* reader;  // an EventReader, owned
  BatchLimits limits;
};

constexpr std::size_t kDefaultMaxEvents = 65536;
constexpr std::size_t kDefaultMaxBytes = std::size_t{16} << 20;

constexpr std::array<std::string_view, 2> kBatchesParameters = {"max_events", "max_bytes"};
constexpr FunctionDescription kBatchesDescription = {
    .class_name = "EventReader",
    .function_name = "batches",
    .positional_parameter_names = kBatchesParameters,
    .positional_only_parameters = 0,
    .required_positional_parameters = 0,
    .keyword_only_parameters = {},
};

// An int of at least 1; one beyond what memory can hold means no limit.
PyResult<std::size_t> extract_limit(PyObject* object, std::string_view name) {
  if (PyLong_Check(object) == 0) {
    return argument_extraction_error(name, cast_failure(object, &PyLong_Type));
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) return PendingError::fetch();
  if (overflow > 0) return std::numeric_limits<std::size_t>::max();
  if (overflow < 0 || value < 1) {
    return PendingError::with_text(PyExc_ValueError, std::string(name) + " must be at least 1");
  }
  return static_cast<std::size_t>(std::min<unsigned long long>(
      static_cast<unsigned long long>(value), std::numeric_limits<std::size_t>::max()));
}

// The next batch's dict; null with no exception set when no event is left.
template <class Records>
PyResult<PyObject*> next_batch(Records& records, const BatchLimits& limits,
                               EventReaderObject& reader) {
  auto outcome = [&] {
    // Other threads run while the records are read and copied.
    const ReleasedInterpreter released;
    return read_batch(records, limits);
  }();
  if (auto* batch = std::get_if<0>(&outcome)) {
    if (batch->failure) reader.deferred = from_io_error(*batch->failure);
    return make_batch(*batch).release();
  }
  if (auto* error = std::get_if<IoError>(&outcome)) return from_io_error(*error);
  return nullptr;
}

PyObject* event_batches_next(PyObject* self) {
  return entry_guard([&]() -> PyResult<PyObject*> {
    auto* batches = reinterpret_cast<EventBatchesObject*>(self);
    auto* reader = reinterpret_cast<EventReaderObject*>(batches->reader);
    return serve_records(
        *reader, [&](auto& records) { return next_batch(records, batches->limits, *reader); });
  });
}

PyObject* event_batches_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

void event_batches_dealloc(PyObject* self) {
  unraisable_guard([self] {
    Py_DECREF(reinterpret_cast<EventBatchesObject*>(self)->reader);
    free_instance(self);
  });
}

PyObject* create_event_batches_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>("Batches of the events of an EventReader, from its position on")},
      {Py_tp_iter, reinterpret_cast<void*>(&event_batches_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(&event_batches_next)},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(&event_batches_dealloc)},
      kRefuseInstantiationSlot,
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.EventBatches",
      .basicsize = sizeof(EventBatchesObject),
      .itemsize = 0,
      .flags = kNotInstantiableFlags,
      .slots = slots,
  };
  return PyType_FromSpec(&spec);
}

LazyTypeObject& event_batches_type() {
  static LazyTypeObject type(&create_event_batches_type, "EventBatches");
  return type;
}

}  // namespace

PyObject* event_reader_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry_guard([&]() -> PyResult<PyObject*> {
    auto reader = as_event_reader(self);
    if (!reader.ok()) return std::move(reader).error();
    std::array<PyObject*, kBatchesParameters.size()> arguments = {};
    if (auto error = kBatchesDescription.extract_arguments(args, kwargs, arguments)) {
      return std::move(*error);
    }
    BatchLimits limits{kDefaultMaxEvents, kDefaultMaxBytes};
    const std::array<std::size_t*, kBatchesParameters.size()> given = {&limits.max_events,
                                                                       &limits.max_bytes};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (arguments[i] == nullptr) continue;
      auto limit = extract_limit(arguments[i], kBatchesParameters[i]);
      if (!limit.ok()) return std::move(limit).error();
      *given.at(i) = limit.value();
    }
    PyObject* batches = allocate_instance(event_batches_type().get_or_fault());
    if (batches == nullptr) return PendingError::fetch();
    auto* object = reinterpret_cast<EventBatchesObject*>(batches);
    Py_INCREF(self);
    object->reader = self;
    object->limits = limits;
    return batches;
  });
}

}  // namespace pluvo

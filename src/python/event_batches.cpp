#include "python/event_batches.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <variant>

#include "core/batch_reader.hpp"
#include "python/arguments.hpp"
#include "python/arrow_stream.hpp"
#include "python/errors.hpp"
#include "python/event_objects.hpp"
#include "python/event_reader.hpp"
#include "python/messages.hpp"
#include "python/module_state.hpp"
#include "python/type_object.hpp"

namespace pluvo {
namespace {

struct EventBatchesObject {
  PyObject_HEAD
  PyObject* reader;  // an EventReader, owned
  BatchLimits limits;
};

constexpr std::size_t kDefaultMaxEvents = 65536;
// Measured: larger batches meet more memory the C library has just given back to the system.
constexpr std::size_t kDefaultMaxBytes = std::size_t{2} << 20;

constexpr std::array<std::string_view, 2> kBatchesParameters = {"max_events", "max_bytes"};
constexpr std::array<std::string_view, 1> kBatchesKeywordOnly = {"stop"};
constexpr FunctionDescription kBatchesDescription{"EventReader", "batches", kBatchesParameters, 0,
                                                  kBatchesKeywordOnly};

constexpr std::array<std::string_view, 1> kArrowStreamParameters = {"requested_schema"};
constexpr FunctionDescription kArrowStreamDescription{"EventBatches", "__arrow_c_stream__",
                                                      kArrowStreamParameters, 0};

// No offset at all: a stop of None, or one past what 64 bits hold.
constexpr std::uint64_t kNoStop = std::numeric_limits<std::uint64_t>::max();

std::uint64_t extract_stop(PyObject* given) {
  if (given == nullptr || given == Py_None) return kNoStop;
  return extract_offset(given, "stop", messages::stop_too_small, kNoStop);
}

// The next batch's dict; null with no exception set when no event is left.
template <class Records>
PyObject* next_batch(EventReaderObject& reader, Records& records, const BatchLimits& limits,
                     const ArrayMaker& arrays) {
  auto batch = read_next_batch(reader, records, limits);
  return batch ? make_batch(*batch, arrays).release() : nullptr;
}

PyObject* event_batches_next(PyObject* self) {
  return entry_guard([&] {
    auto* batches = reinterpret_cast<EventBatchesObject*>(self);
    auto& reader = *reinterpret_cast<EventReaderObject*>(batches->reader);
    return serve_records(
        reader,
        [&](auto& records, const ArrayMaker& arrays) {
          return next_batch(reader, records, batches->limits, arrays);
        },
        batches->limits.stop);
  });
}

PyObject* event_batches_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] {
    const Arguments arguments = kArrowStreamDescription.extract_arguments(args, kwargs);
    const auto* batches = reinterpret_cast<EventBatchesObject*>(self);
    return export_arrow_stream(batches->reader, batches->limits, arguments["requested_schema"])
        .release();
  });
}

PyObject* event_batches_iter(PyObject* self) {
  return PyRef::borrowed(self).release();
}

int event_batches_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<EventBatchesObject*>(self)->reader);
  return 0;
}

void event_batches_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  unraisable_guard([self] {
    Py_DECREF(reinterpret_cast<EventBatchesObject*>(self)->reader);
    free_instance(self);
  });
}

}  // namespace

PyObject* event_reader_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] {
    as_event_reader(self);
    const Arguments arguments = kBatchesDescription.extract_arguments(args, kwargs);
    const BatchLimits limits{
        .max_events = extract_limit(arguments, "max_events", kDefaultMaxEvents),
        .max_bytes = extract_limit(arguments, "max_bytes", kDefaultMaxBytes),
        .stop = extract_stop(arguments["stop"]),
    };
    PyObject* batches = allocate_instance(module_state().event_batches_type()).release();
    auto* object = reinterpret_cast<EventBatchesObject*>(batches);
    object->reader = PyRef::borrowed(self).release();
    object->limits = limits;
    return batches;
  });
}

PyRef create_event_batches_type() {
  static PyMethodDef methods[] = {
      {"__arrow_c_stream__",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&event_batches_arrow_c_stream)),
       METH_VARARGS | METH_KEYWORDS,
       "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
       "The following batches as an Arrow C stream: a PyCapsule \"arrow_array_stream\". Reading\n"
       "it advances the reader as iterating would; its record batches share the batches' memory."},
      {nullptr, nullptr, 0, nullptr},
  };
  return create_type({
      .name = "builtins.EventBatches",
      .basic_size = sizeof(EventBatchesObject),
      // It holds its reader, which may hold a deferred exception that leads back here.
      .flags = Py_TPFLAGS_HAVE_GC,
      .instantiable = false,
      .slots = {{Py_tp_doc, const_cast<char*>(
                                "Batches of the events of an EventReader, from its position on")},
                {Py_tp_iter, reinterpret_cast<void*>(&event_batches_iter)},
                {Py_tp_iternext, reinterpret_cast<void*>(&event_batches_next)},
                {Py_tp_methods, methods},
                {Py_tp_dealloc, reinterpret_cast<void*>(&event_batches_dealloc)},
                {Py_tp_traverse, reinterpret_cast<void*>(&event_batches_traverse)}},
  });
}

}  // namespace pluvo

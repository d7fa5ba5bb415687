// The Python module: its entry point, the registration of EventReader, and EventReader itself.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "arguments.hpp"
#include "borrow.hpp"
#include "buf_reader.hpp"
#include "errors.hpp"
#include "numpy.hpp"
#include "once_cell.hpp"
#include "type_object.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pluvo {
namespace {

using Reader = std::variant<WD1Reader, WD2Reader>;

struct EventReaderObject {
  PyObject_HEAD Reader reader;
  BorrowFlag borrow;
};

PyObject* create_event_reader_type();

LazyTypeObject& event_reader_type() {
  static LazyTypeObject type(&create_event_reader_type, "EventReader");
  return type;
}

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
  auto input = BufReader::open(path);
  if (!input.ok()) return from_io_error(input.error());
  if (reader_type == "WD1") return Reader(std::in_place_type<WD1Reader>, std::move(input).value());
  if (reader_type == "WD2") {
    auto reader = WD2Reader::probe(std::move(input).value());
    // Not classified by kind: whatever stopped the probe is a plain OSError.
    if (!reader.ok()) return PendingError::with_io_error_text(PyExc_OSError, reader.error());
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
    std::construct_at(&object->borrow);
    return self;
  });
}

void event_reader_dealloc(PyObject* self) {
  unraisable_guard([self] {
    auto* object = reinterpret_cast<EventReaderObject*>(self);
    std::destroy_at(&object->borrow);
    std::destroy_at(&object->reader);  // closes the file
    free_instance(self);
  });
}

// ---- iteration ----

PyResult<EventReaderObject*> as_event_reader(PyObject* self) {
  PyTypeObject* type = event_reader_type().get_or_fault();
  if (Py_TYPE(self) != type && PyType_IsSubtype(Py_TYPE(self), type) == 0) {
    return cast_failure(self, type);
  }
  return reinterpret_cast<EventReaderObject*>(self);
}

PyObject* event_reader_iter(PyObject* self) {
  return entry_guard([&]() -> PyResult<PyObject*> {
    auto object = as_event_reader(self);
    if (!object.ok()) return std::move(object).error();
    if (auto error = object.value()->borrow.check_shared()) return std::move(*error);
    Py_INCREF(self);
    return self;
  });
}

// The keys of one kind of event and a dict holding them in order, each mapped to None, that every
// event of that kind starts as a copy of. The keys are created and interned once per process: a
// caller can tell them from fresh strings only by identity, while making and hashing them for
// every event cost a fifth of a small event's time. The copy is also sized once instead of growing
// key by key. Both live for the rest of the process.
template <std::size_t N>
class EventKeys {
 public:
  static PyResult<EventKeys> make(const std::array<std::string_view, N>& names) {
    EventKeys made;
    PyRef dict = checked_api_result(PyDict_New());
    for (std::size_t i = 0; i < N; ++i) {
      PyObject* key =
          checked_api_result(PyUnicode_FromStringAndSize(names[i].data(),
                                                         static_cast<Py_ssize_t>(names[i].size())))
              .release();
      PyUnicode_InternInPlace(&key);
      made.keys_[i] = key;
      if (PyDict_SetItem(dict.get(), key, Py_None) != 0) unwrap_failed(PendingError::fetch());
    }
    made.dict_ = dict.release();
    return made;
  }

  [[nodiscard]] PyRef new_event() const { return checked_api_result(PyDict_Copy(dict_)); }

  // Stores the new reference `value` under the key at `index`.
  void set(PyObject* event, std::size_t index, PyObject* value) const {
    const PyRef owned_value = checked_api_result(value);
    if (PyDict_SetItem(event, keys_[index], owned_value.get()) != 0) {
      unwrap_failed(PendingError::fetch());
    }
  }

 private:
  std::array<PyObject*, N> keys_{};
  PyObject* dict_ = nullptr;
};

template <std::size_t N>
const EventKeys<N>& event_keys(OnceCell<EventKeys<N>>& cell,
                               const std::array<std::string_view, N>& names) {
  return *cell.get_or_try_init([&] { return EventKeys<N>::make(names); }).value();
}

PyObject* signed_int(std::int32_t value) {
  return PyLong_FromLong(value);
}
PyObject* unsigned_int(std::uint64_t value) {
  // The signed conversion has the interpreter's fast path for small values.
  if (value <= static_cast<std::uint64_t>(LONG_MAX))
    return PyLong_FromLong(static_cast<long>(value));
  return PyLong_FromUnsignedLongLong(value);
}

PyRef make_event(WD1Event& event) {
  static OnceCell<EventKeys<7>> cell;
  const auto& keys = event_keys<7>(cell, {"event_size", "board_id", "pattern", "board_channel",
                                          "event_counter", "timestamp", "data"});
  PyRef dict = keys.new_event();
  keys.set(dict.get(), 0, signed_int(event.event_size));
  keys.set(dict.get(), 1, signed_int(event.board_id));
  keys.set(dict.get(), 2, signed_int(event.pattern));
  keys.set(dict.get(), 3, signed_int(event.board_channel));
  keys.set(dict.get(), 4, signed_int(event.event_counter));
  keys.set(dict.get(), 5, signed_int(event.timestamp));
  keys.set(dict.get(), 6, sample_array(std::move(event.data)));
  return dict;
}

PyRef make_event(WD2Event& event) {
  static OnceCell<EventKeys<6>> cell;
  const auto& keys = event_keys<6>(
      cell, {"event_counter", "timestamp", "samples", "sampling_period", "channels", "data"});
  PyRef dict = keys.new_event();
  keys.set(dict.get(), 0, unsigned_int(event.event_counter));
  keys.set(dict.get(), 1, unsigned_int(event.timestamp));
  keys.set(dict.get(), 2, unsigned_int(event.samples));
  keys.set(dict.get(), 3, unsigned_int(event.sampling_period));
  keys.set(dict.get(), 4, signed_int(event.channels));
  keys.set(dict.get(), 5, sample_array(std::move(event.data)));
  return dict;
}

// The next event's dict; null with no exception set at the end of the records.
template <class RecordReader>
PyResult<PyObject*> next_event(RecordReader& reader) {
  auto outcome = reader.next();
  if (auto* event = std::get_if<0>(&outcome)) return make_event(*event).release();
  // A failed read is raised, so a caller never takes a broken file for a complete one.
  if (auto* error = std::get_if<IoError>(&outcome)) return from_io_error(*error);
  return nullptr;
}

PyObject* event_reader_next(PyObject* self) {
  return entry_guard([&]() -> PyResult<PyObject*> {
    auto object = as_event_reader(self);
    if (!object.ok()) return std::move(object).error();
    auto borrow = object.value()->borrow.take_exclusive();
    if (!borrow.ok()) return std::move(borrow).error();
    return std::visit([](auto& reader) { return next_event(reader); }, object.value()->reader);
  });
}

PyObject* create_event_reader_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("EventReader(path, reader_type)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(&event_reader_new)},
      {Py_tp_iter, reinterpret_cast<void*>(&event_reader_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(&event_reader_next)},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(&event_reader_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.EventReader", sizeof(EventReaderObject), 0, 0, slots};
  return PyType_FromSpec(&spec);
}

// ---- module ----

PyObject* interned_all_name() {
  static PyObject* const name = [] {  // NOLINT(*-avoid-non-const-global-variables): a str
    PyObject* text = checked_api_result(PyUnicode_FromStringAndSize("__all__", 7)).release();
    PyUnicode_InternInPlace(&text);
    return text;
  }();
  return name;
}

// The module's __all__ list, created empty when the module has none.
PyResult<PyRef> all_list(PyObject* module) {
  PyRef all(PyObject_GetAttr(module, interned_all_name()));
  if (all) {
    if (PyList_Check(all.get()) == 0) return cast_failure(all.get(), &PyList_Type);
    return all;
  }
  PendingError error = PendingError::fetch();
  if (PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError) == 0) return error;
  PyRef created(PyList_New(0));
  if (!created || PyObject_SetAttr(module, interned_all_name(), created.get()) != 0) {
    return PendingError::fetch();
  }
  return created;
}

PyStatus add(PyObject* module, PyObject* name, PyObject* value) {
  auto all = all_list(module);
  if (!all.ok()) return std::move(all).error();
  if (PyList_Append(all.value().get(), name) != 0) {
    fault_with_python_error("could not append __name__ to __all__", PendingError::fetch());
  }
  if (PyObject_SetAttr(module, name, value) != 0) return PendingError::fetch();
  return {};
}

PyStatus add_event_reader_class(PyObject* module) {
  auto type = event_reader_type().get_or_create();
  if (!type.ok()) {
    NormalizedError cause = normalize(std::move(type).error());
    return exception_with_cause(PyExc_RuntimeError,
                                "An error occurred while initializing class EventReader",
                                std::move(cause.value));
  }
  const PyRef name(PyUnicode_FromStringAndSize("EventReader", 11));
  if (!name) return PendingError::fetch();
  return add(module, name.get(), reinterpret_cast<PyObject*>(type.value()));
}

PyResult<PyObject*> make_module() {
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, "pluvo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
  };
  // Holds its reference for the life of the process.
  static OnceCell<PyObject*> module_cache;
  auto module = module_cache.get_or_try_init([]() -> PyResult<PyObject*> {
    PyRef created(PyModule_Create2(&definition, 1013));
    if (!created) return PendingError::fetch();
#ifdef PYPY_VERSION
    // PyPy leaves an empty m_doc unset, and the module type's docstring would show through.
    const PyRef doc(PyUnicode_FromStringAndSize("", 0));
    if (!doc || PyObject_SetAttrString(created.get(), "__doc__", doc.get()) != 0) {
      return PendingError::fetch();
    }
#endif
    if (auto error = add_event_reader_class(created.get())) return std::move(*error);
    return created.release();
  });
  if (!module.ok()) return std::move(module).error();
  Py_INCREF(*module.value());
  return *module.value();
}

}  // namespace
}  // namespace pluvo

PyMODINIT_FUNC PyInit_pluvo() {
  return pluvo::entry_guard([] { return pluvo::make_module(); });
}

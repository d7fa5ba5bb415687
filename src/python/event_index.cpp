#include "python/event_index.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <variant>

#include "core/record_index.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/event_reader.hpp"
#include "python/messages.hpp"
#include "python/module_state.hpp"
#include "python/numpy.hpp"
#include "python/type_object.hpp"

namespace pluvo {
namespace {

struct EventIndexObject {
  PyObject_HEAD
  PyObject* offsets;  // read-only arrays, owned
  PyObject* lengths;
  const std::uint64_t* offset_values;  // the storage of `offsets`
  Py_ssize_t count;
  std::uint64_t file_size;
  std::uint64_t tail;
};

EventIndexObject& as_index(PyObject* self) {
  return *reinterpret_cast<EventIndexObject*>(self);
}

// The index's arrays are its own record of the file: nobody may write to them.
PyRef read_only(PyRef array) {
  const PyRef done = checked(PyObject_CallMethod(array.get(), "setflags", "O", Py_False));
  return array;
}

PyRef make_event_index(RecordIndex index, const ArrayMaker& arrays) {
  const auto count = static_cast<Py_ssize_t>(index.lengths.size());
  const std::uint64_t* offset_values = index.offsets.data();
  PyRef offsets = read_only(arrays.array(std::move(index.offsets)));
  PyRef lengths = read_only(arrays.array(std::move(index.lengths)));
  PyRef self = allocate_instance(module_state().event_index_type());
  auto& object = as_index(self.get());
  object.offsets = offsets.release();
  object.lengths = lengths.release();
  object.offset_values = offset_values;
  object.count = count;
  object.file_size = index.file_size;
  object.tail = index.tail;
  return self;
}

// ---- partitions ----

constexpr std::array<std::string_view, 1> kPartitionsParameters = {"max_bytes"};
constexpr FunctionDescription kPartitionsDescription{"EventIndex", "partitions",
                                                     kPartitionsParameters, 1};

PyRef offset_pair(std::uint64_t start, std::uint64_t stop) {
  const PyRef first = checked(PyLong_FromUnsignedLongLong(start));
  const PyRef second = checked(PyLong_FromUnsignedLongLong(stop));
  return checked(PyTuple_Pack(2, first.get(), second.get()));
}

// Greedy from the first record: each range takes the records that fit in max_bytes, at least one.
PyObject* event_index_partitions(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] {
    const auto& index = as_index(self);
    const Arguments arguments = kPartitionsDescription.extract_arguments(args, kwargs);
    const std::size_t max_bytes = extract_limit(arguments, "max_bytes", 0);
    const auto count = static_cast<std::size_t>(index.count);
    const std::uint64_t* offsets = index.offset_values;
    PyRef ranges = checked(PyList_New(0));
    std::size_t first = 0;
    while (first < count) {
      std::size_t last = first + 1;
      while (last < count && offsets[last + 1] - offsets[first] <= max_bytes) ++last;
      checked(PyList_Append(ranges.get(), offset_pair(offsets[first], offsets[last]).get()));
      first = last;
    }
    return ranges.release();
  });
}

// ---- the rest of the type ----

Py_ssize_t event_index_length(PyObject* self) {
  return as_index(self).count;
}

PyObject* event_index_repr(PyObject* self) {
  const auto& index = as_index(self);
  return PyUnicode_FromFormat("<EventIndex: %zd events, tail %llu bytes>", index.count,
                              static_cast<unsigned long long>(index.tail));
}

PyObject* get_offsets(PyObject* self, void* /*closure*/) {
  return PyRef::borrowed(as_index(self).offsets).release();
}
PyObject* get_lengths(PyObject* self, void* /*closure*/) {
  return PyRef::borrowed(as_index(self).lengths).release();
}
PyObject* get_file_size(PyObject* self, void* /*closure*/) {
  return PyLong_FromUnsignedLongLong(as_index(self).file_size);
}
PyObject* get_tail(PyObject* self, void* /*closure*/) {
  return PyLong_FromUnsignedLongLong(as_index(self).tail);
}

void event_index_dealloc(PyObject* self) {
  unraisable_guard([self] {
    Py_XDECREF(as_index(self).offsets);
    Py_XDECREF(as_index(self).lengths);
    free_instance(self);
  });
}

}  // namespace

PyObject* event_reader_index(PyObject* self, PyObject* /*unused*/) {
  return entry_guard([&] {
    auto index = with_open_records(as_event_reader(self).state,
                                   [](auto& records) { return records.index(); });
    if (!index.ok()) raise_io_error(index.error());
    const ArrayMaker arrays;
    return make_event_index(std::move(index).value(), arrays).release();
  });
}

PyRef create_event_index_type() {
  static PyMethodDef methods[] = {
      {"partitions",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&event_index_partitions)),
       METH_VARARGS | METH_KEYWORDS,
       "partitions($self, /, max_bytes)\n--\n\n"
       "Byte ranges (start, stop) at record boundaries, each holding the records that fit in\n"
       "max_bytes, or one larger record; together they cover every whole record."},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef attributes[] = {
      {"offsets", &get_offsets, nullptr, "Where each record starts, then where the last ends",
       nullptr},
      {"lengths", &get_lengths, nullptr, "The number of samples of each event", nullptr},
      {"file_size", &get_file_size, nullptr, "The file's size when it was indexed", nullptr},
      {"tail", &get_tail, nullptr, "Bytes after the last whole record", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  return create_type({
      .name = "builtins.EventIndex",
      .basic_size = sizeof(EventIndexObject),
      .flags = 0,
      .instantiable = false,
      .slots = {{Py_tp_doc, const_cast<char*>("Where each event of a file starts and how many "
                                              "samples it holds, from EventReader.index()")},
                {Py_tp_methods, methods},
                {Py_tp_getset, attributes},
                {Py_sq_length, reinterpret_cast<void*>(&event_index_length)},
                {Py_tp_repr, reinterpret_cast<void*>(&event_index_repr)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&event_index_dealloc)}},
  });
}

}  // namespace pluvo

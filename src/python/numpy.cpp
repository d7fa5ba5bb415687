#include "python/numpy.hpp"

#include <array>
#include <atomic>
#include <string>

#include "core/internal_fault.hpp"
#include "python/errors.hpp"
#include "python/once_cell.hpp"
#include "python/type_object.hpp"

namespace pluvo {

// CPython's headers declare the allocation-tracing calls without C linkage, so C++ callers would
// look for mangled names; these declarations name the real functions.
namespace allocation_tracing {
extern "C" int PyTraceMalloc_Track(unsigned int domain, std::uintptr_t ptr, std::size_t size);
extern "C" int PyTraceMalloc_Untrack(unsigned int domain, std::uintptr_t ptr);
}  // namespace allocation_tracing

namespace {

using npy_intp = Py_intptr_t;

// Indices in NumPy's published C-API table.
constexpr std::size_t kArrayType = 2;
constexpr std::size_t kDescrFromType = 45;
constexpr std::size_t kNewFromDescr = 94;
constexpr std::size_t kSetBaseObject = 282;
constexpr int kArrayWriteable = 1024;
constexpr std::size_t kBuiltinTypeCount = 24;  // type numbers below NPY_NTYPES
// Sample buffers are reported to the interpreter's allocation tracing under their own domain:
// PyPy counts them as memory pressure, so its collector frees dropped arrays in time.
constexpr unsigned int kSampleBufferDomain = 0x706c7576;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                                   PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

struct PySliceContainerObject {
  PyObject_HEAD
  SliceContainerRecord record;
};

void slice_container_dealloc(PyObject* self) {
  unraisable_guard([self] {
    const SliceContainerRecord& record = reinterpret_cast<PySliceContainerObject*>(self)->record;
    if (record.capacity != 0) {
      allocation_tracing::PyTraceMalloc_Untrack(kSampleBufferDomain,
                                                reinterpret_cast<std::uintptr_t>(record.data));
    }
    record.release(record.data, record.length, record.capacity);
    free_instance(self);
  });
}

PyObject* create_slice_container_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>("Utility type to store an owned sample buffer safely on the Python heap")},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
      kRefuseInstantiationSlot,
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.PySliceContainer",
      .basicsize = sizeof(PySliceContainerObject),
      .itemsize = 0,
      .flags = kNotInstantiableFlags,
      .slots = slots,
  };
  return PyType_FromSpec(&spec);
}

LazyTypeObject& slice_container_type() {
  static LazyTypeObject type(&create_slice_container_type, "PySliceContainer");
  return type;
}

PyResult<PyRef> import_module(const char* name) {
  const PyRef module_name(PyUnicode_FromString(name));
  if (!module_name) return PendingError::fetch();
  PyRef module(PyImport_Import(module_name.get()));
  if (!module) return PendingError::fetch();
  return module;
}

PyResult<PyRef> attribute(PyObject* object, const char* name) {
  PyRef value(PyObject_GetAttrString(object, name));
  if (!value) return PendingError::fetch();
  return value;
}

// numpy.lib.NumpyVersion(numpy.__version__).major, as an unsigned 8-bit value.
PyResult<long> numpy_major_version() {
  auto numpy = import_module("numpy");
  if (!numpy.ok()) return std::move(numpy).error();
  auto version = attribute(numpy.value().get(), "__version__");
  if (!version.ok()) return std::move(version).error();
  auto lib = import_module("numpy.lib");
  if (!lib.ok()) return std::move(lib).error();
  auto numpy_version = attribute(lib.value().get(), "NumpyVersion");
  if (!numpy_version.ok()) return std::move(numpy_version).error();
  const PyRef arguments(PyTuple_New(1));
  if (!arguments) return PendingError::fetch();
  PyTuple_SetItem(arguments.get(), 0, std::move(version).value().release());
  const PyRef parsed(PyObject_Call(numpy_version.value().get(), arguments.get(), nullptr));
  if (!parsed) return PendingError::fetch();
  auto major = attribute(parsed.get(), "major");
  if (!major.ok()) return std::move(major).error();
  const long value = PyLong_AsLong(major.value().get());
  if (value == -1 && PyErr_Occurred() != nullptr) return PendingError::fetch();
  if (value < 0 || value > 255) {
    return PendingError::with_text(PyExc_OverflowError,
                                   "out of range integral type conversion attempted");
  }
  return value;
}

PyResult<const std::string*> multiarray_module_name() {
  static OnceCell<const char*> numpy_core_name;
  static OnceCell<std::string> mod_name;
  return mod_name.get_or_try_init([]() -> PyResult<std::string> {
    auto core = numpy_core_name.get_or_try_init([]() -> PyResult<const char*> {
      auto major = numpy_major_version();
      if (!major.ok()) return std::move(major).error();
      return major.value() >= 2 ? "numpy._core" : "numpy.core";
    });
    if (!core.ok()) return std::move(core).error();
    return std::string(*core.value()) + ".multiarray";
  });
}

PyResult<void**> get_numpy_api(const std::string& module_name, const char* capsule_name) {
  auto module = import_module(module_name.c_str());
  if (!module.ok()) return std::move(module).error();
  auto capsule = attribute(module.value().get(), capsule_name);
  if (!capsule.ok()) return std::move(capsule).error();
  if (Py_TYPE(capsule.value().get()) != &PyCapsule_Type) {
    return cast_failure(capsule.value().get(), &PyCapsule_Type);
  }
  void* table = PyCapsule_GetPointer(capsule.value().get(), nullptr);
  if (table == nullptr) return PendingError::fetch();
  // The table lives as long as its capsule: keep the capsule for the rest of the process.
  static_cast<void>(std::move(capsule).value().release());
  return static_cast<void**>(table);
}

void** numpy_api() {
  static OnceCell<void**> py_array_api;
  auto table = py_array_api.get_or_try_init([]() -> PyResult<void**> {
    auto module_name = multiarray_module_name();
    if (!module_name.ok()) return std::move(module_name).error();
    return get_numpy_api(*module_name.value(), "_ARRAY_API");
  });
  if (!table.ok()) {
    fault_with_python_error("Failed to access NumPy array API capsule", std::move(table).error());
  }
  return *table.value();
}

PyRef slice_container(OwnedSlice& slice) {
  PyTypeObject* type = slice_container_type().get_or_fault();
  PyObject* container = allocate_instance(type);
  if (container == nullptr) {
    fault_with_python_error("Failed to create slice container", PendingError::fetch());
  }
  reinterpret_cast<PySliceContainerObject*>(container)->record = slice.take();
  return PyRef(container);
}

// NumPy's descriptor of a builtin type number, looked up once; the cache holds a reference for the
// life of the process.
PyObject* builtin_descriptor(void** api, int type_number) {
  static std::array<std::atomic<PyObject*>, kBuiltinTypeCount> cache{};
  std::atomic<PyObject*>& slot = cache.at(static_cast<std::size_t>(type_number));
  if (PyObject* cached = slot.load(std::memory_order_acquire)) return cached;
  PyObject* looked_up =
      checked_api_result(reinterpret_cast<DescrFromType>(api[kDescrFromType])(type_number))
          .release();
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, looked_up, std::memory_order_acq_rel)) {
    Py_DECREF(looked_up);
    return expected;
  }
  return looked_up;
}

}  // namespace

PyObject* from_raw_parts(int type_number, std::size_t element_size, OwnedSlice& slice,
                         std::optional<std::size_t> rows) {
  void* const data = slice.data();
  const std::size_t length = slice.length();
  const std::size_t columns = rows ? (*rows == 0 ? 0 : length / *rows) : length;
  npy_intp dimensions[] = {static_cast<npy_intp>(rows.value_or(length)),
                           static_cast<npy_intp>(columns)};
  npy_intp strides[] = {static_cast<npy_intp>(rows ? columns * element_size : element_size),
                        static_cast<npy_intp>(element_size)};
  const std::size_t tracked_bytes = slice.capacity() * element_size;
  PyRef container = slice_container(slice);
  if (tracked_bytes != 0) {
    allocation_tracing::PyTraceMalloc_Track(kSampleBufferDomain,
                                            reinterpret_cast<std::uintptr_t>(data), tracked_bytes);
  }
  void** const api = numpy_api();
  // The array takes over a reference to its descriptor.
  PyObject* descriptor = builtin_descriptor(api, type_number);
  Py_INCREF(descriptor);
  PyRef array = checked_api_result(reinterpret_cast<NewFromDescr>(api[kNewFromDescr])(
      static_cast<PyTypeObject*>(api[kArrayType]), descriptor, rows ? 2 : 1, dimensions, strides,
      data, kArrayWriteable, nullptr));
  static_cast<void>(
      reinterpret_cast<SetBaseObject>(api[kSetBaseObject])(array.get(), container.release()));
  return array.release();
}

}  // namespace pluvo

#include "python/numpy.hpp"

#include <array>
#include <memory>
#include <string>

#include "python/messages.hpp"
#include "python/module_state.hpp"
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
// Sample storage is reported to the interpreter's allocation tracing under its own domain: PyPy
// counts it as memory pressure, so its collector frees dropped arrays in time.
constexpr unsigned int kSampleStorageDomain = 0x706c7576;

#ifdef PYPY_VERSION
// On PyPy every byte reported brings the next major collection closer, and each one marks the
// whole heap: a loop over batches spent 60% of its time in them, one of about 11 ms per 23 MB of
// batches. So storage is reported only beyond the first 16 MiB that arrays hold, what one batch
// of the earlier default held; up to that, dropped arrays wait for the collections the program
// causes anyway. Changed only with the interpreter lock held.
constexpr std::size_t kUnreportedStorageBytes = std::size_t{16} << 20;
std::size_t storage_held_by_arrays = 0;
#endif

void report_storage(const void* data, std::size_t bytes) {
#ifdef PYPY_VERSION
  storage_held_by_arrays += bytes;
  if (storage_held_by_arrays <= kUnreportedStorageBytes) return;
#endif
  allocation_tracing::PyTraceMalloc_Track(kSampleStorageDomain,
                                          reinterpret_cast<std::uintptr_t>(data), bytes);
}

void unreport_storage(const void* data, [[maybe_unused]] std::size_t bytes) {
#ifdef PYPY_VERSION
  storage_held_by_arrays -= bytes;
#endif
  allocation_tracing::PyTraceMalloc_Untrack(kSampleStorageDomain,
                                            reinterpret_cast<std::uintptr_t>(data));
}

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                                   PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

struct PySliceContainerObject {
  PyObject_HEAD
  SampleStorage storage;
};

void slice_container_dealloc(PyObject* self) {
  unraisable_guard([self] {
    SampleStorage& storage = reinterpret_cast<PySliceContainerObject*>(self)->storage;
    if (storage.bytes() != 0) unreport_storage(storage.data(), storage.bytes());
    std::destroy_at(&storage);
    free_instance(self);
  });
}

// numpy.lib.NumpyVersion(numpy.__version__).major, as an unsigned 8-bit value.
long numpy_major_version() {
  const PyRef numpy = checked(PyImport_Import(checked(PyUnicode_FromString("numpy")).get()));
  const PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
  const PyRef lib = checked(PyImport_Import(checked(PyUnicode_FromString("numpy.lib")).get()));
  const PyRef numpy_version = checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  const PyRef parsed =
      checked(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
  const PyRef major = checked(PyObject_GetAttrString(parsed.get(), "major"));
  const long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred() != nullptr) throw_python_error();
  if (value < 0 || value > 255) raise_error(PyExc_OverflowError, messages::kOutOfRange);
  return value;
}

// The module that holds the table. Kept once known, even when its table cannot be had.
const std::string& multiarray_module_name() {
  static OnceCell<std::string> name;
  return name.get_or_init([] {
    return std::string(numpy_major_version() >= 2 ? "numpy._core" : "numpy.core") + ".multiarray";
  });
}

}  // namespace

// NumPy's table with the descriptors of the element types; the references live for the rest of
// the process.
struct NumpyApi {
  void** table;
  std::array<PyObject*, kBuiltinTypeCount> descriptors{};

  static NumpyApi look_up() {
    const PyRef name = checked(PyUnicode_FromString(multiarray_module_name().c_str()));
    const PyRef module = checked(PyImport_Import(name.get()));
    PyRef capsule = checked(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type)
      raise_cast_failure(capsule.get(), &PyCapsule_Type);
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) throw_python_error();
    // The table lives as long as its capsule.
    static_cast<void>(capsule.release());
    NumpyApi api{.table = static_cast<void**>(table)};
    const auto descriptor = reinterpret_cast<DescrFromType>(api.table[kDescrFromType]);
    for (const int type_number :
         {NumpyElement<std::uint16_t>::type_number, NumpyElement<std::int32_t>::type_number,
          NumpyElement<std::uint32_t>::type_number, NumpyElement<std::uint64_t>::type_number,
          NumpyElement<std::int64_t>::type_number, NumpyElement<float>::type_number}) {
      api.descriptors.at(static_cast<std::size_t>(type_number)) =
          fault_on_failure(descriptor(type_number)).release();
    }
    return api;
  }
};

namespace {
OnceCell<NumpyApi>& numpy_api() {
  static OnceCell<NumpyApi> api;
  return api;
}
}  // namespace

bool ArrayMaker::table_found() noexcept {
  return numpy_api().get() != nullptr;
}

ArrayMaker::ArrayMaker() {
  try {
    api_ = &numpy_api().get_or_init(&NumpyApi::look_up);
  } catch (PythonError& error) {
    if (!error.matches(PyExc_Exception)) throw;
    failure_.emplace(std::move(error));
  }
}

PyRef ArrayMaker::array_of(int type_number, std::size_t element_size, SampleStorage storage,
                           std::size_t length, std::optional<std::size_t> rows) const {
  if (failure_) fault_with_python_error(messages::kNumpyUnavailable, *failure_);
  void* const data = storage.data();
  const std::size_t bytes = storage.bytes();
  PyRef container;
  try {
    container = allocate_instance(module_state().slice_container_type());
  } catch (PythonError& error) {
    fault_with_python_error(messages::kContainerNotCreated, std::move(error));
  }
  std::construct_at(&reinterpret_cast<PySliceContainerObject*>(container.get())->storage,
                    std::move(storage));
  if (bytes != 0) report_storage(data, bytes);

  const std::size_t columns = rows ? (*rows == 0 ? 0 : length / *rows) : length;
  npy_intp dimensions[] = {static_cast<npy_intp>(rows.value_or(length)),
                           static_cast<npy_intp>(columns)};
  npy_intp strides[] = {static_cast<npy_intp>(rows ? columns * element_size : element_size),
                        static_cast<npy_intp>(element_size)};
  // The array takes over a reference to its descriptor.
  PyObject* descriptor = api_->descriptors.at(static_cast<std::size_t>(type_number));
  Py_INCREF(descriptor);
  PyRef array = fault_on_failure(reinterpret_cast<NewFromDescr>(api_->table[kNewFromDescr])(
      static_cast<PyTypeObject*>(api_->table[kArrayType]), descriptor, rows ? 2 : 1, dimensions,
      strides, data, kArrayWriteable, nullptr));
  static_cast<void>(reinterpret_cast<SetBaseObject>(api_->table[kSetBaseObject])(
      array.get(), container.release()));
  return array;
}

PyRef create_slice_container_type() {
  return create_type({
      .name = "builtins.PySliceContainer",
      .basic_size = sizeof(PySliceContainerObject),
      .flags = 0,
      .instantiable = false,
      .slots = {{Py_tp_doc, const_cast<char*>("Utility type to store an owned sample buffer safely "
                                              "on the Python heap")},
                {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)}},
  });
}

}  // namespace pluvo

// Hands owned sample storage to NumPy as arrays, without copying a sample. NumPy's C-API table is
// located at run time, on the first request for records, so no NumPy headers are needed and
// `import pluvo` does not import NumPy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/sample_buffer.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

struct NumpyApi;

// The NumPy type number of each element type the arrays hold.
template <class T>
struct NumpyElement;
template <>
struct NumpyElement<std::uint16_t> {
  static constexpr int type_number = 4;  // NPY_USHORT
};
template <>
struct NumpyElement<std::int32_t> {
  static constexpr int type_number = 5;  // NPY_INT
};
template <>
struct NumpyElement<std::uint32_t> {
  static constexpr int type_number = 6;  // NPY_UINT
};
template <>
struct NumpyElement<std::uint64_t> {
  // NPY_ULONG where long has 64 bits, else NPY_ULONGLONG: the type numpy.uint64 itself has
  static constexpr int type_number = sizeof(unsigned long) == 8 ? 8 : 10;
};
template <>
struct NumpyElement<std::int64_t> {
  // NPY_LONG where long has 64 bits, else NPY_LONGLONG: the type numpy.int64 itself has
  static constexpr int type_number = sizeof(long) == 8 ? 7 : 9;
};
template <>
struct NumpyElement<float> {
  static constexpr int type_number = 11;  // NPY_FLOAT
};

// Makes the arrays of one request for records. NumPy's table is looked up when the request begins,
// before a record is consumed. An exception that is no Exception (KeyboardInterrupt, SystemExit)
// leaves the constructor as itself, and the next request looks again. Any other failure of the
// lookup is the fault of the first array, after its record was read: the record is lost, as when
// its array cannot be built.
class ArrayMaker {
 public:
  ArrayMaker();
  // Whether NumPy's table is in hand, so that no lookup can fail any more.
  static bool table_found() noexcept;

  // The samples as a writeable array that takes their storage over, with a PySliceContainer
  // owning it as its base: one-dimensional, or, given `rows`, C-contiguous rows x the rest. Every
  // failure is an internal fault.
  template <class T>
  [[nodiscard]] PyRef array(SampleBuffer<T> samples,
                            std::optional<std::size_t> rows = std::nullopt) const {
    const std::size_t length = samples.size();
    return array_of(NumpyElement<T>::type_number, sizeof(T), samples.release(), length, rows);
  }

 private:
  [[nodiscard]] PyRef array_of(int type_number, std::size_t element_size, SampleStorage storage,
                               std::size_t length, std::optional<std::size_t> rows) const;

  const NumpyApi* api_ = nullptr;
  std::optional<PythonError> failure_;
};

// The type of the arrays' base objects, made with the module.
PyRef create_slice_container_type();

}  // namespace pluvo

// Hands an owned sample buffer to NumPy as a one-dimensional array, without copying a sample.
// NumPy's C-API table is located at run time, on the first array, so no NumPy headers are needed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/sample_buffer.hpp"

namespace pluvo {

// The storage a PySliceContainer owns, with the routine that frees it.
struct SliceContainerRecord {
  void* data;
  std::size_t length;
  std::size_t capacity;
  void (*release)(void* data, std::size_t length, std::size_t capacity) noexcept;
};

// Owns a record until it moves into a container object; frees the storage if it never does.
class OwnedSlice {
 public:
  explicit OwnedSlice(SliceContainerRecord record) noexcept : record_(record) {}
  OwnedSlice(const OwnedSlice&) = delete;
  OwnedSlice& operator=(const OwnedSlice&) = delete;
  OwnedSlice(OwnedSlice&&) = delete;
  OwnedSlice& operator=(OwnedSlice&&) = delete;
  ~OwnedSlice() {
    if (owned_) record_.release(record_.data, record_.length, record_.capacity);
  }
  [[nodiscard]] void* data() const noexcept { return record_.data; }
  [[nodiscard]] std::size_t length() const noexcept { return record_.length; }
  [[nodiscard]] std::size_t capacity() const noexcept { return record_.capacity; }
  SliceContainerRecord take() noexcept {
    owned_ = false;
    return record_;
  }

 private:
  SliceContainerRecord record_;
  bool owned_ = true;
};

// A writeable array of the NumPy type number over the slice's storage, with a PySliceContainer
// owning the storage as its base: one-dimensional over all of it, or, given `rows`, C-contiguous
// of rows x (length / rows). Every failure is an internal fault.
PyObject* from_raw_parts(int type_number, std::size_t element_size, OwnedSlice& slice,
                         std::optional<std::size_t> rows = std::nullopt);

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
struct NumpyElement<float> {
  static constexpr int type_number = 11;  // NPY_FLOAT
};

// The buffer's samples as an array that takes the buffer over: one-dimensional, or rows x the
// rest.
template <class T>
PyObject* sample_array(SampleBuffer<T> samples, std::optional<std::size_t> rows = std::nullopt) {
  const auto parts = samples.release();
  OwnedSlice slice({parts.data, parts.length, parts.capacity,
                    [](void* data, std::size_t length, std::size_t capacity) noexcept {
                      SampleBuffer<T>::free_raw_parts(static_cast<T*>(data), length, capacity);
                    }});
  return from_raw_parts(NumpyElement<T>::type_number, sizeof(T), slice, rows);
}

}  // namespace pluvo

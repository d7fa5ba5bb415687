// An owned, contiguous array of samples with no spare capacity. Its storage is malloc-compatible
// (recycled_storage); release() hands it over as a SampleStorage, which the Python layer gives to
// NumPy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "core/recycled_storage.hpp"

namespace pluvo {

// Samples that do not fit in memory. Its text names the size, so it is built without allocating.
class SampleAllocationFailure : public std::bad_alloc {
 public:
  explicit SampleAllocationFailure(std::size_t bytes) noexcept {
    std::snprintf(text_.data(), text_.size(), "memory allocation of %zu bytes failed", bytes);
  }
  [[nodiscard]] const char* what() const noexcept override { return text_.data(); }

 private:
  std::array<char, 64> text_{};
};

// Sample storage that has left its buffer: its address and its size in bytes. Freed on
// destruction; empty storage has no memory behind it.
class SampleStorage {
 public:
  SampleStorage(void* data, std::size_t bytes) noexcept : data_(data), bytes_(bytes) {}
  SampleStorage(SampleStorage&& other) noexcept
      : data_(other.data_), bytes_(std::exchange(other.bytes_, 0)) {}
  SampleStorage& operator=(SampleStorage&&) = delete;
  SampleStorage(const SampleStorage&) = delete;
  SampleStorage& operator=(const SampleStorage&) = delete;
  ~SampleStorage() {
    if (bytes_ != 0) recycled_storage::release(data_, bytes_);
  }

  [[nodiscard]] void* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t bytes() const noexcept { return bytes_; }

 private:
  void* data_;
  std::size_t bytes_;
};

template <class T>
class SampleBuffer {
 public:
  SampleBuffer() noexcept = default;
  SampleBuffer(SampleBuffer&& other) noexcept
      : data_(std::exchange(other.data_, empty_address())), size_(std::exchange(other.size_, 0)) {}
  SampleBuffer& operator=(SampleBuffer&& other) noexcept {
    SampleBuffer(std::move(other)).swap(*this);
    return *this;
  }
  SampleBuffer(const SampleBuffer&) = delete;
  SampleBuffer& operator=(const SampleBuffer&) = delete;
  ~SampleBuffer() {
    if (size_ != 0) recycled_storage::release(data_, size_ * sizeof(T));
  }

  // Keeps the first min(old, new) samples; new samples are uninitialised.
  void resize_uninitialized(std::size_t size) {
    if (size == size_) return;
    if (size == 0) {
      SampleBuffer().swap(*this);
      return;
    }
    if (size > static_cast<std::size_t>(-1) / sizeof(T)) {
      throw SampleAllocationFailure(static_cast<std::size_t>(-1));
    }
    void* grown = size_ == 0 ? recycled_storage::allocate(size * sizeof(T))
                             : std::realloc(data_, size * sizeof(T));
    if (grown == nullptr) throw SampleAllocationFailure(size * sizeof(T));
    data_ = static_cast<T*>(grown);
    size_ = size;
  }

  // Never null, also when empty.
  [[nodiscard]] T* data() noexcept { return data_; }
  [[nodiscard]] const T* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

  // Hands the storage over; the buffer is left empty.
  SampleStorage release() noexcept {
    SampleStorage storage(data_, size_ * sizeof(T));
    data_ = empty_address();
    size_ = 0;
    return storage;
  }

  void swap(SampleBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }

 private:
  // A non-null, aligned address with no storage behind it, for empty buffers.
  static T* empty_address() noexcept {
    alignas(T) static std::byte placeholder[sizeof(T)];
    return reinterpret_cast<T*>(placeholder);
  }

  T* data_ = empty_address();
  std::size_t size_ = 0;
};

}  // namespace pluvo

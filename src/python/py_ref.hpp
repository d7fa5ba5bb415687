// A strong reference to a Python object with exactly one owner; released on destruction.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pluvo {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (or null).
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  static PyRef borrowed(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace pluvo

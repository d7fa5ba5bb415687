// How every failure leaves the module. The rule:
// - An interpreter failure reaches Python as itself. Where an interpreter call fails, its pending
//   exception is taken out of the error indicator into a PythonError and thrown; the one guard of
//   each entry point puts it back. So no function only passes a failure up.
// - An internal fault (a broken invariant, an impossible size) is a C++ exception, InternalFault
//   above all; the guard raises it as PanicException with its message.
// - A Python error becomes a fault only where the code says so: in a `catch (PythonError&)` that
//   calls fault_with_python_error(), or through fault_on_failure() for calls that must not fail.
// I/O errors are values up to the module layer, which raises them with raise_io_error().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

#include "core/io_error.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

// A Python exception on its way to the boundary of the current call. Only thrown and caught with
// the interpreter lock held. Not a std::exception: nothing but the guards' own catch may take it
// for another failure.
class PythonError final {
 public:
  // Takes the pending exception out of the interpreter's error indicator; SystemError when none is
  // pending.
  PythonError() noexcept;
  // An exception instance made here, raised as it is.
  explicit PythonError(PyRef instance) noexcept;
  PythonError(PythonError&& other) noexcept = default;
  PythonError& operator=(PythonError&& other) noexcept = default;
  // Thrown objects must be copyable, though the guards never copy one.
  PythonError(const PythonError& other) noexcept;
  PythonError& operator=(const PythonError& other) = delete;
  ~PythonError() = default;

  [[nodiscard]] PyObject* type() const noexcept { return type_.get(); }
  // Whether it is an instance of `type` or of a subclass.
  [[nodiscard]] bool matches(PyObject* type) const noexcept;
  // The exception instance (normalised on first need) and its traceback.
  PyRef instance();
  [[nodiscard]] PyObject* traceback() const noexcept { return traceback_.get(); }
  // Puts the exception back into the interpreter's error indicator.
  void restore() && noexcept;
  // For the tp_traverse of an object that keeps one.
  int traverse(visitproc visit, void* arg) const;

 private:
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// Throws the interpreter's pending exception.
[[noreturn]] void throw_python_error();
// Takes over the new reference an interpreter call returned; throws its exception for null.
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw_python_error();
  return PyRef(result);
}
// For interpreter calls that return -1 on failure.
inline void checked(int status) {
  if (status == -1) throw_python_error();
}
// Raises type(message).
[[noreturn]] void raise_error(PyObject* type, std::string_view message);
// Raises the exception of an I/O error: its kind chooses the OSError subclass. A wait given up
// after a signal raises the signal handler's exception, pending in the interpreter since.
[[noreturn]] void raise_io_error(const IoError& error);
// As raise_io_error(), but a plain OSError whatever the kind.
[[noreturn]] void raise_plain_os_error(const IoError& error);
// The exception raise_io_error() would raise, taken for later.
PythonError io_exception(const IoError& error);
// TypeError "'<type of object>' object cannot be cast as '<expected>'".
[[noreturn]] void raise_cast_failure(PyObject* object, PyTypeObject* expected);
// A new exception of the type with the message, its __cause__ set to `cause`.
PythonError exception_with_cause(PyObject* type, std::string_view message, PyRef cause);

// The UTF-8 form a str caches, valid while the str lives; throws for a str without one.
std::string_view utf8_of(PyObject* text);
// An interned str of the text.
PyRef interned(std::string_view text);
// repr() of the object, or "<unprintable ...>" after reporting the failure as unraisable.
std::string repr_text(PyObject* object);
// str() of the object, with the same fallback.
std::string str_text(PyObject* object);

// The fault of a Python exception: "<message>: PyErr { type: ..., value: ..., traceback: ... }".
[[noreturn]] void fault_with_python_error(
    std::string_view message, PythonError error,
    std::source_location where = std::source_location::current());
// For interpreter calls that must not fail: null prints the pending exception and faults with
// "Python API call failed".
PyRef fault_on_failure(PyObject* result,
                       std::source_location where = std::source_location::current());

// The class of internal faults, made once per process on first need.
PyObject* panic_exception_type();

namespace detail {
// Sets the exception a caught fault stands for; never returns with a fault in flight.
void raise_fault(const std::exception_ptr& fault) noexcept;
void report_unraisable(const std::exception_ptr& fault) noexcept;
}  // namespace detail

// Runs the body of an entry point and returns its result; a PythonError or a fault is raised and
// null returned.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  try {
    return body();
  } catch (PythonError& error) {
    std::move(error).restore();
  } catch (...) {
    detail::raise_fault(std::current_exception());
  }
  return nullptr;
}

// Runs a deallocation, where no exception may leave: a fault goes to the unraisable hook.
template <class Body>
void unraisable_guard(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    detail::report_unraisable(std::current_exception());
  }
}

}  // namespace pluvo

// How every failure leaves the module: pending Python errors as values, internal faults as C++
// exceptions, and the guards that turn both into exactly one Python exception at each entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/io_error.hpp"
#include "core/result.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

// A Python exception on its way to the boundary of the current call.
class PendingError {
 public:
  // `type` must live as long as the process (a built-in exception type, for instance).
  static PendingError with_text(PyObject* type, std::string text) {
    return PendingError(Deferred{type, std::move(text)});
  }
  // The error's text is rendered only if the exception is actually raised.
  static PendingError with_io_error_text(PyObject* type, const IoError& error) {
    return PendingError(Deferred{type, error});
  }
  // Takes the exception out of the interpreter's error indicator after a failed call.
  static PendingError fetch();
  // An exception instance made here, for instance to carry a cause.
  static PendingError from_instance(PyRef instance);

  [[nodiscard]] PyObject* type() const noexcept;
  // Sets the interpreter's error indicator.
  void raise() &&;

 private:
  struct Deferred {
    PyObject* type;
    std::variant<std::string, IoError> argument;
  };
  struct Fetched {
    PyRef type;
    PyRef value;
    PyRef traceback;
  };
  explicit PendingError(Deferred deferred) : state_(std::move(deferred)) {}
  explicit PendingError(Fetched fetched) : state_(std::move(fetched)) {}

  std::variant<Deferred, Fetched> state_;
};

template <class T>
using PyResult = Result<T, PendingError>;
// Empty on success.
using PyStatus = std::optional<PendingError>;

// An exception as the interpreter's instance of it.
struct NormalizedError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};
NormalizedError normalize(PendingError error);

// A new exception of the type with the message, its __cause__ set to `cause` (None when null).
PendingError exception_with_cause(PyObject* type, std::string_view message, PyRef cause);

// The exception an I/O error raises, chosen by its kind. A wait given up after a signal raises
// the signal handler's exception, which is pending in the interpreter.
PendingError from_io_error(const IoError& error);
// As from_io_error(), but a plain OSError whatever the kind.
PendingError plain_os_error(const IoError& error);
// TypeError "'<type of object>' object cannot be cast as '<expected>'".
PendingError cast_failure(PyObject* object, PyTypeObject* expected);

// The exception as "PyErr { type: ..., value: ..., traceback: ... }", for fault messages.
std::string debug_description(PendingError error);
// The UTF-8 form a str caches, or nothing (with the interpreter's error cleared) for any other
// object or a str without one.
std::optional<std::string_view> text_view(PyObject* object);

// repr() of the object, or "<unprintable ...>" after reporting the failure as unraisable.
std::string repr_text(PyObject* object);
// str() of the object, with the same fallback.
std::string str_text(PyObject* object);
// Reports the error through the interpreter's unraisable-exception hook.
void write_unraisable(PendingError error, PyObject* context);

// Faults that carry a Python exception: "<message>: <debug description>".
[[noreturn]] void fault_with_python_error(
    std::string_view message, PendingError error,
    std::source_location where = std::source_location::current());
// The usual fault of a dictionary insertion or similar call that must not fail.
[[noreturn]] void unwrap_failed(PendingError error,
                                std::source_location where = std::source_location::current());
// Takes over the new reference a C-API call returned; a null result prints the pending exception
// and faults with "Python API call failed".
PyRef checked_api_result(PyObject* result,
                         std::source_location where = std::source_location::current());

// The class of internal faults, created once per process.
PyObject* panic_exception_type();

namespace detail {
// Raises the pending error or the caught fault; never returns with a fault in flight.
void raise_at_boundary(std::optional<PendingError> error, const std::exception_ptr& fault) noexcept;
void report_unraisable(const std::exception_ptr& fault) noexcept;
}  // namespace detail

// Runs the body of an entry point. On success returns its result; on a pending error or a fault
// raises it and returns null.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  std::optional<PendingError> error;
  std::exception_ptr fault;
  try {
    PyResult<PyObject*> result = body();
    if (result.ok()) return result.value();
    error.emplace(std::move(result).error());
  } catch (...) {
    fault = std::current_exception();
  }
  detail::raise_at_boundary(std::move(error), fault);
  return nullptr;
}

// Runs a deallocation, where no exception may leave: a fault goes to the unraisable hook.
template <class Body>
void unraisable_guard(Body&& body) noexcept {
  try {
    body();
    return;
  } catch (...) {
    detail::report_unraisable(std::current_exception());
  }
}

}  // namespace pluvo

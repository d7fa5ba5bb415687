#include "python/errors.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "core/internal_fault.hpp"
#include "core/sample_buffer.hpp"
#include "python/once_cell.hpp"

namespace pluvo {
namespace {

PyObject* exception_type_of(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::NotFound:
      return PyExc_FileNotFoundError;
    case ErrorKind::PermissionDenied:
      return PyExc_PermissionError;
    case ErrorKind::ConnectionRefused:
      return PyExc_ConnectionRefusedError;
    case ErrorKind::ConnectionReset:
      return PyExc_ConnectionResetError;
    case ErrorKind::ConnectionAborted:
      return PyExc_ConnectionAbortedError;
    case ErrorKind::BrokenPipe:
      return PyExc_BrokenPipeError;
    case ErrorKind::AlreadyExists:
      return PyExc_FileExistsError;
    case ErrorKind::WouldBlock:
      return PyExc_BlockingIOError;
    case ErrorKind::NotADirectory:
      return PyExc_NotADirectoryError;
    case ErrorKind::IsADirectory:
      return PyExc_IsADirectoryError;
    case ErrorKind::TimedOut:
      return PyExc_TimeoutError;
    case ErrorKind::Interrupted:
      return PyExc_InterruptedError;
    case ErrorKind::OutOfMemory:
      return PyExc_MemoryError;
    default:
      return PyExc_OSError;
  }
}

std::optional<std::string> utf8_of(PyObject* text) {
  if (text == nullptr) return std::nullopt;
  const auto view = text_view(text);
  if (!view) return std::nullopt;
  return std::string(*view);
}

// The attribute as text, or nothing (with the interpreter's error cleared).
std::optional<std::string> attribute_text(PyObject* object, const char* name) {
  const PyRef value(PyObject_GetAttrString(object, name));
  if (!value) PyErr_Clear();
  return utf8_of(value.get());
}

std::string qualified_name(PyTypeObject* type) {
  return attribute_text(reinterpret_cast<PyObject*>(type), "__qualname__")
      .value_or("<failed to extract type name>");
}

std::string formatted_text(PyObject* object, PyObject* (*format)(PyObject*)) {
  const PyRef text(format(object));
  if (text) {
    if (auto utf8 = utf8_of(text.get())) return *std::move(utf8);
  }
  write_unraisable(PendingError::fetch(), object);
  if (auto name = attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__")) {
    return "<unprintable " + *name + " object>";
  }
  return "<unprintable object>";
}

// A string in double quotes with quotes, backslashes and control characters escaped.
std::string debug_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        // char is unsigned on ARM: compare the byte, not its sign.
        if (const auto byte = static_cast<unsigned char>(c); byte < 0x20 || byte == 0x7f) {
          std::array<char, 16> escaped{};
          std::snprintf(escaped.data(), escaped.size(), "\\u{%x}", static_cast<unsigned>(byte));
          out += escaped.data();
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// What the interpreter's traceback printer writes for the traceback.
std::optional<std::string> traceback_text(PyObject* traceback) {
  const PyRef io(PyImport_ImportModule("io"));
  if (!io) return std::nullopt;
  const PyRef stream(PyObject_CallMethod(io.get(), "StringIO", nullptr));
  if (!stream || PyTraceBack_Print(traceback, stream.get()) < 0) return std::nullopt;
  const PyRef value(PyObject_CallMethod(stream.get(), "getvalue", nullptr));
  if (!value) return std::nullopt;
  if (PyUnicode_Check(value.get()) == 0) {
    PyErr_SetString(PyExc_TypeError, "getvalue() did not return a str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::string traceback_description(PyObject* traceback) {
  if (traceback == nullptr) return "None";
  auto text = traceback_text(traceback);
  if (!text) {
    write_unraisable(PendingError::fetch(), traceback);
    text = "<unformattable " + repr_text(traceback) + ">";
  }
  // PyPy attaches a traceback without frames to errors raised in C; CPython attaches none.
  if (*text == "Traceback (most recent call last):\n") return "None";
  return "Some(" + debug_string(*text) + ")";
}

std::string thread_name() {
  std::array<char, 64> name{};
  if (pthread_getname_np(pthread_self(), name.data(), name.size()) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  return name.data();
}

// Written before the fault reaches Python, as the fault's own record on standard error.
void report_fault(const std::string& message, const std::source_location& where) {
  std::fprintf(stderr, "thread '%s' (%ld) panicked at %s:%u:%u:\n%s\n", thread_name().c_str(),
               static_cast<long>(syscall(SYS_gettid)), where.file_name(), where.line(),
               where.column(), message.c_str());
  std::fflush(stderr);
}

void raise_panic(const std::string& message) {
  const PyRef text(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  const PyRef arguments(PyTuple_Pack(1, text.get()));
  if (!arguments) return;
  PyErr_SetObject(panic_exception_type(), arguments.get());
}

// Sets the exception a caught fault stands for.
void raise_fault(const std::exception_ptr& fault) {
  try {
    std::rethrow_exception(fault);
  } catch (const InternalFault& internal) {
    report_fault(internal.what(), internal.where());
    raise_panic(internal.what());
  } catch (const SampleAllocationFailure& failure) {
    PendingError::with_text(PyExc_MemoryError, failure.what()).raise();
  } catch (const std::bad_alloc&) {
    PendingError::with_text(PyExc_MemoryError, "memory allocation failed").raise();
  } catch (const std::exception& other) {
    report_fault(other.what(), std::source_location::current());
    raise_panic(other.what());
  } catch (...) {
    report_fault("internal fault without a message", std::source_location::current());
    raise_panic("internal fault without a message");
  }
}

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

PendingError PendingError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return with_text(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return PendingError(Fetched{PyRef(type), PyRef(value), PyRef(traceback)});
}

PendingError PendingError::from_instance(PyRef instance) {
  PyRef type = PyRef::borrowed(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
  PyRef traceback(PyException_GetTraceback(instance.get()));
  return PendingError(Fetched{std::move(type), std::move(instance), std::move(traceback)});
}

PyObject* PendingError::type() const noexcept {
  if (const auto* deferred = std::get_if<Deferred>(&state_)) return deferred->type;
  return std::get<Fetched>(state_).type.get();
}

void PendingError::raise() && {
  if (auto* fetched = std::get_if<Fetched>(&state_)) {
    PyErr_Restore(fetched->type.release(), fetched->value.release(), fetched->traceback.release());
    return;
  }
  const auto& deferred = std::get<Deferred>(state_);
  const std::string text = std::holds_alternative<IoError>(deferred.argument)
                               ? std::get<IoError>(deferred.argument).text()
                               : std::get<std::string>(deferred.argument);
  const PyRef argument(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (argument) PyErr_SetObject(deferred.type, argument.get());
}

PendingError exception_with_cause(PyObject* type, std::string_view message, PyRef cause) {
  const PyRef text(checked_api_result(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
  PyRef exception(checked_api_result(PyObject_CallFunctionObjArgs(type, text.get(), nullptr)));
  PyException_SetCause(exception.get(), cause.release());
  return PendingError::from_instance(std::move(exception));
}

PendingError from_io_error(const IoError& error) {
  if (error.is_cancelled()) return PendingError::fetch();
  return PendingError::with_io_error_text(exception_type_of(error.kind()), error);
}

PendingError plain_os_error(const IoError& error) {
  if (error.is_cancelled()) return PendingError::fetch();
  return PendingError::with_io_error_text(PyExc_OSError, error);
}

PendingError cast_failure(PyObject* object, PyTypeObject* expected) {
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string&&.
  std::string message(1, '\'');
  message.append(qualified_name(Py_TYPE(object)))
      .append("' object cannot be cast as '")
      .append(qualified_name(expected))
      .append("'");
  return PendingError::with_text(PyExc_TypeError, std::move(message));
}

std::optional<std::string_view> text_view(PyObject* object) {
  if (PyUnicode_Check(object) == 0) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string repr_text(PyObject* object) {
  return formatted_text(object, PyObject_Repr);
}

std::string str_text(PyObject* object) {
  return formatted_text(object, PyObject_Str);
}

void write_unraisable(PendingError error, PyObject* context) {
  std::move(error).raise();
  PyErr_WriteUnraisable(context);
}

NormalizedError normalize(PendingError error) {
  std::move(error).raise();
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {PyRef(type), PyRef(value), PyRef(traceback)};
}

std::string debug_description(PendingError error) {
  const NormalizedError exception = normalize(std::move(error));
  return "PyErr { type: " + repr_text(exception.type.get()) +
         ", value: " + repr_text(exception.value.get()) +
         ", traceback: " + traceback_description(exception.traceback.get()) + " }";
}

void fault_with_python_error(std::string_view message, PendingError error,
                             std::source_location where) {
  throw InternalFault(std::string(message) + ": " + debug_description(std::move(error)), where);
}

void unwrap_failed(PendingError error, std::source_location where) {
  fault_with_python_error("called `Result::unwrap()` on an `Err` value", std::move(error), where);
}

PyRef checked_api_result(PyObject* result, std::source_location where) {
  if (result == nullptr) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    throw InternalFault("Python API call failed", where);
  }
  return PyRef(result);
}

PyObject* panic_exception_type() {
  static OnceCell<PyObject*> cell;
  auto type = cell.get_or_try_init([]() -> PyResult<PyObject*> {
    PyObject* created = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "\n"
        "The exception raised when native code called from Python panics.\n"
        "\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n",
        PyExc_BaseException, nullptr);
    if (created == nullptr) return PendingError::fetch();
    return created;
  });
  // Without the class no fault can be raised at all.
  if (!type.ok()) abort_at_boundary();
  return *type.value();
}

namespace detail {

void raise_at_boundary(std::optional<PendingError> error,
                       const std::exception_ptr& fault) noexcept {
  try {
    if (fault) {
      raise_fault(fault);
    } else if (error) {
      std::move(*error).raise();
    }
  } catch (...) {
    abort_at_boundary();
  }
}

void report_unraisable(const std::exception_ptr& fault) noexcept {
  try {
    raise_fault(fault);
    PyErr_WriteUnraisable(nullptr);
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace detail
}  // namespace pluvo

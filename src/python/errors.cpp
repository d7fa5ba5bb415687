#include "python/errors.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>

#include "core/internal_fault.hpp"
#include "core/sample_buffer.hpp"
#include "python/messages.hpp"
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

PythonError exception_of(PyObject* type, std::string_view message) {
  const PyRef text(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  return {};
}

// An I/O error as the exception of the type; a cancelled wait's exception is pending already.
PythonError exception_of(PyObject* type, const IoError& error) {
  if (error.is_cancelled()) return {};
  return exception_of(type, error.text());
}

void write_unraisable(PythonError error, PyObject* context) {
  std::move(error).restore();
  PyErr_WriteUnraisable(context);
}

// The attribute as text, or nothing (with the interpreter's error cleared).
std::optional<std::string> attribute_text(PyObject* object, const char* name) {
  try {
    const PyRef value = checked(PyObject_GetAttrString(object, name));
    if (PyUnicode_Check(value.get()) == 0) return std::nullopt;
    return std::string(utf8_of(value.get()));
  } catch (PythonError&) {
    return std::nullopt;
  }
}

std::string formatted_text(PyObject* object, PyObject* (*format)(PyObject*)) {
  try {
    const PyRef text = checked(format(object));
    return std::string(utf8_of(text.get()));
  } catch (PythonError& error) {
    write_unraisable(std::move(error), object);
  }
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
std::string traceback_text(PyObject* traceback) {
  const PyRef io = checked(PyImport_ImportModule("io"));
  const PyRef stream = checked(PyObject_CallMethod(io.get(), "StringIO", nullptr));
  checked(PyTraceBack_Print(traceback, stream.get()));
  const PyRef value = checked(PyObject_CallMethod(stream.get(), "getvalue", nullptr));
  if (PyUnicode_Check(value.get()) == 0) {
    raise_error(PyExc_TypeError, messages::kGetvalueNotText);
  }
  return std::string(utf8_of(value.get()));
}

std::string traceback_description(PyObject* traceback) {
  if (traceback == nullptr) return "None";
  std::string text;
  try {
    text = traceback_text(traceback);
  } catch (PythonError& error) {
    write_unraisable(std::move(error), traceback);
    text = "<unformattable " + repr_text(traceback) + ">";
  }
  // PyPy attaches a traceback without frames to errors raised in C; CPython attaches none.
  if (text == "Traceback (most recent call last):\n") return "None";
  return "Some(" + debug_string(text) + ")";
}

// The exception as "PyErr { type: ..., value: ..., traceback: ... }".
std::string debug_description(PythonError error) {
  const PyRef value = error.instance();
  return "PyErr { type: " + repr_text(error.type()) + ", value: " + repr_text(value.get()) +
         ", traceback: " + traceback_description(error.traceback()) + " }";
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

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs(messages::kUncaughtAtBoundary.data(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

PythonError::PythonError() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_SystemError, messages::kNoExceptionSet.data());
    PyErr_Fetch(&type, &value, &traceback);
  }
  type_ = PyRef(type);
  value_ = PyRef(value);
  traceback_ = PyRef(traceback);
}

PythonError::PythonError(const PythonError& other) noexcept
    : type_(PyRef::borrowed(other.type_.get())),
      value_(PyRef::borrowed(other.value_.get())),
      traceback_(PyRef::borrowed(other.traceback_.get())) {}

bool PythonError::matches(PyObject* type) const noexcept {
  return PyErr_GivenExceptionMatches(type_.get(), type) != 0;
}

PythonError::PythonError(PyRef instance) noexcept
    : type_(PyRef::borrowed(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())))),
      value_(std::move(instance)),
      traceback_(PyException_GetTraceback(value_.get())) {}

PyRef PythonError::instance() {
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  type_ = PyRef(type);
  value_ = PyRef(value);
  traceback_ = PyRef(traceback);
  return PyRef::borrowed(value);
}

void PythonError::restore() && noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

int PythonError::traverse(visitproc visit, void* arg) const {
  Py_VISIT(type_.get());
  Py_VISIT(value_.get());
  Py_VISIT(traceback_.get());
  return 0;
}

void throw_python_error() {
  throw PythonError();
}

void raise_error(PyObject* type, std::string_view message) {
  throw exception_of(type, message);
}

PythonError io_exception(const IoError& error) {
  return exception_of(exception_type_of(error.kind()), error);
}

void raise_io_error(const IoError& error) {
  throw io_exception(error);
}

void raise_plain_os_error(const IoError& error) {
  throw exception_of(PyExc_OSError, error);
}

void raise_cast_failure(PyObject* object, PyTypeObject* expected) {
  auto name_of = [](PyTypeObject* type) {
    return attribute_text(reinterpret_cast<PyObject*>(type), "__qualname__")
        .value_or(std::string(messages::kUnknownTypeName));
  };
  raise_error(PyExc_TypeError,
              messages::cannot_be_cast(name_of(Py_TYPE(object)), name_of(expected)));
}

PythonError exception_with_cause(PyObject* type, std::string_view message, PyRef cause) {
  const PyRef text =
      checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyRef exception = checked(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  PyException_SetCause(exception.get(), cause.release());
  return PythonError(std::move(exception));
}

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw_python_error();
  return {data, static_cast<std::size_t>(size)};
}

PyRef interned(std::string_view text) {
  PyObject* made =
      checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())))
          .release();
  PyUnicode_InternInPlace(&made);
  return PyRef(made);
}

std::string repr_text(PyObject* object) {
  return formatted_text(object, PyObject_Repr);
}

std::string str_text(PyObject* object) {
  return formatted_text(object, PyObject_Str);
}

void fault_with_python_error(std::string_view message, PythonError error,
                             std::source_location where) {
  throw InternalFault(std::string(message) + ": " + debug_description(std::move(error)), where);
}

PyRef fault_on_failure(PyObject* result, std::source_location where) {
  if (result == nullptr) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    throw InternalFault(std::string(messages::kApiCallFailed), where);
  }
  return PyRef(result);
}

PyObject* panic_exception_type() {
  static OnceCell<PyRef> cell;
  try {
    return cell
        .get_or_init([] {
          return checked(PyErr_NewExceptionWithDoc(
              "pyo3_runtime.PanicException",
              "\n"
              "The exception raised when native code called from Python panics.\n"
              "\n"
              "Like SystemExit, this exception is derived from BaseException so that\n"
              "it will typically propagate all the way through the stack and cause the\n"
              "Python interpreter to exit.\n",
              PyExc_BaseException, nullptr));
        })
        .get();
  } catch (...) {
    // Without the class no fault can be raised at all.
    abort_at_boundary();
  }
}

namespace {

// Sets the exception a caught fault stands for.
void raise_fault_unguarded(const std::exception_ptr& fault) {
  try {
    std::rethrow_exception(fault);
  } catch (PythonError& error) {
    std::move(error).restore();
  } catch (const InternalFault& internal) {
    report_fault(internal.what(), internal.where());
    raise_panic(internal.what());
  } catch (const SampleAllocationFailure& failure) {
    exception_of(PyExc_MemoryError, failure.what()).restore();
  } catch (const std::bad_alloc&) {
    exception_of(PyExc_MemoryError, messages::kMemoryExhausted).restore();
  } catch (const std::exception& other) {
    report_fault(other.what(), std::source_location::current());
    raise_panic(other.what());
  } catch (...) {
    const std::string message(messages::kFaultWithoutMessage);
    report_fault(message, std::source_location::current());
    raise_panic(message);
  }
}

}  // namespace

namespace detail {

void raise_fault(const std::exception_ptr& fault) noexcept {
  try {
    raise_fault_unguarded(fault);
  } catch (...) {
    abort_at_boundary();
  }
}

void report_unraisable(const std::exception_ptr& fault) noexcept {
  raise_fault(fault);
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace detail
}  // namespace pluvo

#include "python/arguments.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "core/internal_fault.hpp"
#include "python/messages.hpp"

namespace pluvo {
namespace {

// A key that is not a str, or has no UTF-8 form, matches no parameter.
std::optional<std::size_t> keyword_slot(const FunctionDescription& description, PyObject* key) {
  if (PyUnicode_Check(key) == 0) return std::nullopt;
  std::string_view name;
  try {
    name = utf8_of(key);
  } catch (PythonError&) {
    return std::nullopt;
  }
  return description.slot_of(name);
}

// An int's value, or the direction in which it passes a long long (the overflow).
struct IntValue {
  long long value;
  int overflow;
};

IntValue int_value(PyObject* integer) {
  IntValue result{0, 0};
  result.value = PyLong_AsLongLongAndOverflow(integer, &result.overflow);
  if (result.value == -1 && PyErr_Occurred() != nullptr) throw_python_error();
  return result;
}

}  // namespace

std::string FunctionDescription::full_name() const {
  return std::string(class_name).append(".").append(function_name).append("()");
}

Arguments FunctionDescription::extract_arguments(PyObject* args, PyObject* kwargs) const {
  Arguments arguments(*this);
  const std::size_t positional = positional_parameter_names.size();
  const auto given = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t i = 0; i < std::min(given, positional); ++i) {
    arguments.given_.at(i) = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (given > positional) {
    raise_error(PyExc_TypeError,
                messages::too_many_positional_arguments(full_name(), required_positional_parameters,
                                                        positional, given));
  }

  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value) != 0) {
    const std::optional<std::size_t> slot = keyword_slot(*this, key);
    if (!slot) {
      raise_error(PyExc_TypeError, messages::unexpected_keyword(full_name(), str_text(key)));
    }
    if (arguments.given_.at(*slot) != nullptr) {
      raise_error(PyExc_TypeError, messages::multiple_values(full_name(), parameter_name(*slot)));
    }
    arguments.given_.at(*slot) = value;
  }

  const auto required = std::span(arguments.given_).first(required_positional_parameters);
  if (std::ranges::find(required, nullptr) != required.end()) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required.size(); ++i) {
      if (required[i] == nullptr) missing.push_back(positional_parameter_names[i]);
    }
    raise_error(PyExc_TypeError, messages::missing_positional_arguments(full_name(), missing));
  }
  return arguments;
}

std::optional<std::size_t> FunctionDescription::slot_of(std::string_view name) const {
  if (const auto found = std::ranges::find(positional_parameter_names, name);
      found != positional_parameter_names.end()) {
    return static_cast<std::size_t>(found - positional_parameter_names.begin());
  }
  if (const auto found = std::ranges::find(keyword_only_parameter_names, name);
      found != keyword_only_parameter_names.end()) {
    return positional_parameter_names.size() +
           static_cast<std::size_t>(found - keyword_only_parameter_names.begin());
  }
  return std::nullopt;
}

std::string_view FunctionDescription::parameter_name(std::size_t slot) const {
  const std::size_t positional = positional_parameter_names.size();
  return slot < positional ? positional_parameter_names[slot]
                           : keyword_only_parameter_names[slot - positional];
}

PyObject* Arguments::operator[](std::string_view name) const {
  const auto slot = description_->slot_of(name);
  if (!slot) throw InternalFault("no parameter named " + std::string(name));
  return given_.at(*slot);
}

std::string_view extract_text(PyObject* object) {
  if (PyUnicode_Check(object) == 0) raise_cast_failure(object, &PyUnicode_Type);
  return utf8_of(object);
}

PythonError argument_extraction_error(std::string_view parameter_name, PythonError error) {
  if (error.type() != PyExc_TypeError) return error;
  const PyRef replaced = error.instance();
  return exception_with_cause(PyExc_TypeError,
                              messages::for_argument(parameter_name, str_text(replaced.get())),
                              PyRef(PyException_GetCause(replaced.get())));
}

PyRef extract_int(PyObject* object) {
  if (PyLong_Check(object) != 0) return PyRef::borrowed(object);
  if (PyIndex_Check(object) == 0) raise_cast_failure(object, &PyLong_Type);
  return checked(PyNumber_Index(object));
}

std::size_t extract_limit(const Arguments& arguments, std::string_view name, std::size_t fallback) {
  PyObject* given = arguments[name];
  if (given == nullptr) return fallback;
  const auto [value, overflow] = int_value(extract_argument(given, name, extract_int).get());
  if (overflow > 0) return std::numeric_limits<std::size_t>::max();
  if (overflow < 0 || value < 1) raise_error(PyExc_ValueError, messages::limit_too_small(name));
  return static_cast<std::size_t>(std::min<unsigned long long>(
      static_cast<unsigned long long>(value), std::numeric_limits<std::size_t>::max()));
}

std::uint64_t extract_offset(PyObject* given, std::string_view name,
                             std::string (*too_small)(std::string_view given),
                             std::optional<std::uint64_t> beyond) {
  const PyRef object = extract_argument(given, name, extract_int);
  const auto [value, overflow] = int_value(object.get());
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    raise_error(PyExc_ValueError, too_small(str_text(object.get())));
  }
  if (overflow == 0) return static_cast<std::uint64_t>(value);
  const unsigned long long large = PyLong_AsUnsignedLongLong(object.get());
  if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    if (!beyond || PyErr_ExceptionMatches(PyExc_OverflowError) == 0) throw_python_error();
    PyErr_Clear();
    return *beyond;
  }
  return large;
}

}  // namespace pluvo

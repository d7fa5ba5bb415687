#include "python/arguments.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/internal_fault.hpp"
#include "python/messages.hpp"

namespace pluvo {
namespace {

// 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) message += ',';
      message += i == names.size() - 1 ? " and " : " ";
    }
    message += '\'';
    message += names[i];
    message += '\'';
  }
}

[[noreturn]] void too_many_positional_arguments(const FunctionDescription& description,
                                                std::size_t given) {
  const std::size_t positional = description.positional_parameter_names.size();
  std::string message = description.full_name() + " takes ";
  if (description.required_positional_parameters != positional) {
    message += "from " + std::to_string(description.required_positional_parameters) + " to ";
  }
  message += std::to_string(positional) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  raise_error(PyExc_TypeError, message);
}

[[noreturn]] void missing_required_arguments(const FunctionDescription& description,
                                             std::span<const std::string_view> names) {
  std::string message = description.full_name() + " missing " + std::to_string(names.size()) +
                        " required positional " + (names.size() == 1 ? "argument" : "arguments") +
                        ": ";
  push_parameter_list(message, names);
  raise_error(PyExc_TypeError, message);
}

// A key that is not a str, or has no UTF-8 form, matches no parameter.
std::optional<std::size_t> keyword_slot(const FunctionDescription& description, PyObject* key) {
  if (PyUnicode_Check(key) == 0) return std::nullopt;
  std::string_view name;
  try {
    name = utf8_of(key);
  } catch (PythonError&) {
    return std::nullopt;
  }
  const auto& names = description.positional_parameter_names;
  const auto found = std::ranges::find(names, name);
  if (found == names.end()) return std::nullopt;
  return static_cast<std::size_t>(found - names.begin());
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
  if (given > positional) too_many_positional_arguments(*this, given);

  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value) != 0) {
    const std::optional<std::size_t> slot = keyword_slot(*this, key);
    if (!slot) {
      raise_error(PyExc_TypeError,
                  full_name() + " got an unexpected keyword argument '" + str_text(key) + "'");
    }
    if (arguments.given_.at(*slot) != nullptr) {
      raise_error(PyExc_TypeError, full_name() + " got multiple values for argument '" +
                                       std::string(positional_parameter_names[*slot]) + "'");
    }
    arguments.given_.at(*slot) = value;
  }

  const auto required = std::span(arguments.given_).first(required_positional_parameters);
  if (std::ranges::find(required, nullptr) != required.end()) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required.size(); ++i) {
      if (required[i] == nullptr) missing.push_back(positional_parameter_names[i]);
    }
    missing_required_arguments(*this, missing);
  }
  return arguments;
}

PyObject* Arguments::operator[](std::string_view name) const {
  const auto& names = description_->positional_parameter_names;
  const auto found = std::ranges::find(names, name);
  if (found == names.end()) throw InternalFault("no parameter named " + std::string(name));
  return given_.at(static_cast<std::size_t>(found - names.begin()));
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

}  // namespace pluvo

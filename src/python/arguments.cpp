#include "python/arguments.hpp"

#include <algorithm>
#include <vector>

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

PendingError type_error(std::string message) {
  return PendingError::with_text(PyExc_TypeError, std::move(message));
}

PendingError missing_required_arguments(const FunctionDescription& description,
                                        std::string_view argument_type,
                                        std::span<const std::string_view> names) {
  std::string message = description.full_name() + " missing " + std::to_string(names.size()) +
                        " required " + std::string(argument_type) + " " +
                        (names.size() == 1 ? "argument" : "arguments") + ": ";
  push_parameter_list(message, names);
  return type_error(std::move(message));
}

PendingError too_many_positional_arguments(const FunctionDescription& description,
                                           std::size_t given) {
  const std::size_t positional = description.positional_parameter_names.size();
  std::string message = description.full_name() + " takes ";
  if (description.required_positional_parameters != positional) {
    message += "from " + std::to_string(description.required_positional_parameters) + " to ";
  }
  message += std::to_string(positional) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  return type_error(std::move(message));
}

PendingError multiple_values(const FunctionDescription& description, std::string_view name) {
  return type_error(description.full_name() + " got multiple values for argument '" +
                    std::string(name) + "'");
}

// The output slot of a keyword argument: keyword-only parameters first, then positional ones.
std::optional<std::size_t> keyword_slot(const FunctionDescription& description,
                                        std::string_view name) {
  const auto& keyword_only = description.keyword_only_parameters;
  const auto keyword = std::ranges::find(keyword_only, name, &KeywordOnlyParameter::name);
  if (keyword != keyword_only.end()) {
    return description.positional_parameter_names.size() +
           static_cast<std::size_t>(keyword - keyword_only.begin());
  }
  const auto& positional = description.positional_parameter_names;
  const auto found = std::ranges::find(positional, name);
  if (found != positional.end()) return static_cast<std::size_t>(found - positional.begin());
  return std::nullopt;
}

}  // namespace

std::string FunctionDescription::full_name() const {
  std::string name;
  if (class_name) name.append(*class_name).append(".");
  return name.append(function_name).append("()");
}

PyStatus FunctionDescription::extract_arguments(PyObject* args, PyObject* kwargs,
                                                std::span<PyObject*> output) const {
  const std::size_t positional = positional_parameter_names.size();
  const auto given = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t i = 0; i < std::min(given, positional); ++i) {
    output[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (given > positional) return too_many_positional_arguments(*this, given);

  if (kwargs != nullptr) {
    std::vector<std::string_view> positional_only_as_keyword;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value) != 0) {
      // A key that is not a str, or has no UTF-8 form, matches no parameter.
      const std::optional<std::string_view> name = text_view(key);
      const std::optional<std::size_t> slot = name ? keyword_slot(*this, *name) : std::nullopt;
      if (!name || !slot) {
        return type_error(full_name() + " got an unexpected keyword argument '" + str_text(key) +
                          "'");
      }
      if (*slot < positional_only_parameters) {
        positional_only_as_keyword.push_back(*name);
      } else if (output[*slot] != nullptr) {
        return multiple_values(*this, *name);
      } else {
        output[*slot] = value;
      }
    }
    if (!positional_only_as_keyword.empty()) {
      std::string message =
          full_name() + " got some positional-only arguments passed as keyword arguments: ";
      push_parameter_list(message, positional_only_as_keyword);
      return type_error(std::move(message));
    }
  }

  if (given < required_positional_parameters &&
      std::any_of(output.begin() + static_cast<std::ptrdiff_t>(given),
                  output.begin() + static_cast<std::ptrdiff_t>(required_positional_parameters),
                  [](PyObject* slot) { return slot == nullptr; })) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required_positional_parameters; ++i) {
      if (output[i] == nullptr) missing.push_back(positional_parameter_names[i]);
    }
    return missing_required_arguments(*this, "positional", missing);
  }

  std::vector<std::string_view> missing_keywords;
  for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
    if (keyword_only_parameters[i].required && output[positional + i] == nullptr) {
      missing_keywords.push_back(keyword_only_parameters[i].name);
    }
  }
  if (!missing_keywords.empty())
    return missing_required_arguments(*this, "keyword", missing_keywords);
  return {};
}

PyResult<std::string_view> extract_text(PyObject* object) {
  if (PyUnicode_Check(object) == 0) return cast_failure(object, &PyUnicode_Type);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return PendingError::fetch();
  return std::string_view(data, static_cast<std::size_t>(size));
}

PendingError argument_extraction_error(std::string_view parameter_name, PendingError error) {
  if (error.type() != PyExc_TypeError) return error;
  const NormalizedError replaced = normalize(std::move(error));
  return exception_with_cause(
      PyExc_TypeError,
      "argument '" + std::string(parameter_name) + "': " + str_text(replaced.value.get()),
      PyRef(PyException_GetCause(replaced.value.get())));
}

}  // namespace pluvo

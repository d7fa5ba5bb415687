// Matching a call's positional and keyword arguments to the parameters of a Python-callable, and
// the TypeError messages of a wrong call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/errors.hpp"

namespace pluvo {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

struct FunctionDescription {
  std::optional<std::string_view> class_name;
  std::string_view function_name;
  std::span<const std::string_view> positional_parameter_names;
  std::size_t positional_only_parameters;
  std::size_t required_positional_parameters;
  std::span<const KeywordOnlyParameter> keyword_only_parameters;

  // "Class.function()", the head of every message.
  [[nodiscard]] std::string full_name() const;

  // Fills `output` (one slot per positional parameter, then one per keyword-only parameter) with
  // borrowed arguments, or fails with the TypeError of the first check the call fails.
  [[nodiscard]] PyStatus extract_arguments(PyObject* args, PyObject* kwargs,
                                           std::span<PyObject*> output) const;
};

// A borrowed view of the UTF-8 form a str (or str subclass) caches; valid while the str lives.
PyResult<std::string_view> extract_text(PyObject* object);

// A TypeError from extracting the parameter gets the parameter's name in front.
PendingError argument_extraction_error(std::string_view parameter_name, PendingError error);

}  // namespace pluvo

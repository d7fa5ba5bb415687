// Matching a call's positional and keyword arguments to the parameters of a Python-callable, and
// the TypeError messages of a wrong call. A parameter is given by position or by keyword, or is
// keyword-only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/errors.hpp"

namespace pluvo {

class Arguments;

struct FunctionDescription {
  std::string_view class_name;
  std::string_view function_name;
  std::span<const std::string_view> positional_parameter_names;
  std::size_t required_positional_parameters;
  std::span<const std::string_view> keyword_only_parameter_names = {};

  // "Class.function()", the head of every message.
  [[nodiscard]] std::string full_name() const;

  // Where the argument of the parameter `name` is kept: positional parameters first.
  [[nodiscard]] std::optional<std::size_t> slot_of(std::string_view name) const;

  // The name of the parameter whose argument is kept at `slot`.
  [[nodiscard]] std::string_view parameter_name(std::size_t slot) const;

  // The call's arguments matched to the parameters, or the TypeError of the first check the call
  // fails.
  [[nodiscard]] Arguments extract_arguments(PyObject* args, PyObject* kwargs) const;
};

// Borrowed arguments, looked up by parameter name.
class Arguments {
 public:
  static constexpr std::size_t kMaxParameters = 4;

  explicit Arguments(const FunctionDescription& description) noexcept
      : description_(&description) {}

  // The argument given for the parameter, or null.
  PyObject* operator[](std::string_view name) const;

 private:
  friend struct FunctionDescription;
  const FunctionDescription* description_;
  std::array<PyObject*, kMaxParameters> given_{};
};

// The UTF-8 form of a str argument; the cast TypeError for anything else.
std::string_view extract_text(PyObject* object);

// An int, or an object that stands for one (__index__, as NumPy's integers have); the cast
// TypeError for anything else.
PyRef extract_int(PyObject* object);

// An int of at least 1 (else ValueError "<name> must be at least 1"), or `fallback` when none was
// given; one beyond what memory can hold means no limit.
std::size_t extract_limit(const Arguments& arguments, std::string_view name, std::size_t fallback);

// An int of at least 0 as an offset in a file, else the ValueError that `too_small` makes of the
// int's text; one beyond 64 bits is the interpreter's OverflowError, or `beyond` when given.
std::uint64_t extract_offset(PyObject* given, std::string_view name,
                             std::string (*too_small)(std::string_view given),
                             std::optional<std::uint64_t> beyond = std::nullopt);

// A TypeError (exactly) from extracting the parameter gets the parameter's name in front.
PythonError argument_extraction_error(std::string_view parameter_name, PythonError error);

// Runs extract(argument); its TypeError gets the parameter's name in front.
template <class Extract>
auto extract_argument(PyObject* argument, std::string_view parameter_name, Extract&& extract) {
  try {
    return extract(argument);
  } catch (PythonError& error) {
    throw argument_extraction_error(parameter_name, std::move(error));
  }
}

}  // namespace pluvo

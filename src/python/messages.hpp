// Every text the module puts in an exception of its own: callers and tests match them exactly, and
// the README's table of errors shows them. Texts of I/O errors come from core/io_error, and the
// interpreter's own texts (such as "cannot create '...' instances") from the interpreter.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace pluvo::messages {

// ImportError in any interpreter but the main one: the module's state is process-wide.
inline constexpr std::string_view kMainInterpreterOnly = "pluvo supports only the main interpreter";

inline constexpr std::string_view kAlreadyBorrowed = "Already borrowed";
inline constexpr std::string_view kAlreadyMutablyBorrowed = "Already mutably borrowed";

// As Python's files say them.
inline constexpr std::string_view kClosedFile = "I/O operation on closed file.";
inline std::string negative_seek_position(std::string_view offset) {
  return "negative seek position " + std::string(offset);
}
inline std::string stop_too_small(std::string_view /*stop*/) {
  return "stop must be at least 0";
}

inline std::string unknown_reader_type(std::string_view reader_type) {
  return "unknown reader type '" + std::string(reader_type) + "', expected 'WD1' or 'WD2'";
}
inline std::string limit_too_small(std::string_view name) {
  return std::string(name) + " must be at least 1";
}

// TypeError of an argument or a `self` of the wrong type.
inline std::string cannot_be_cast(std::string_view type_name, std::string_view expected) {
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string&&.
  std::string message(1, '\'');
  return message.append(type_name).append("' object cannot be cast as '").append(expected) + "'";
}
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";
inline std::string for_argument(std::string_view parameter, std::string_view message) {
  return "argument '" + std::string(parameter) + "': " + std::string(message);
}

// TypeError of a call whose arguments do not match the parameters; `function` is
// "Class.function()".
inline std::string too_many_positional_arguments(const std::string& function, std::size_t required,
                                                 std::size_t positional, std::size_t given) {
  std::string message = function + " takes ";
  if (required != positional) message += "from " + std::to_string(required) + " to ";
  const bool one = required == positional && positional == 1;
  return message + std::to_string(positional) +
         (one ? " positional argument but " : " positional arguments but ") +
         std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}
inline std::string missing_positional_arguments(const std::string& function,
                                                std::span<const std::string_view> names) {
  std::string message = function + " missing " + std::to_string(names.size()) +
                        " required positional " + (names.size() == 1 ? "argument" : "arguments") +
                        ": ";
  // 'a' and 'b'; 'a', 'b', and 'c'.
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0)
      message += std::string(names.size() > 2 ? "," : "") + (i + 1 == names.size() ? " and " : " ");
    message.append("'").append(names[i]).append("'");
  }
  return message;
}
inline std::string unexpected_keyword(const std::string& function, std::string_view key) {
  return function + " got an unexpected keyword argument '" + std::string(key) + "'";
}
inline std::string multiple_values(const std::string& function, std::string_view parameter) {
  return function + " got multiple values for argument '" + std::string(parameter) + "'";
}

inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kOutOfRange = "out of range integral type conversion attempted";
inline constexpr std::string_view kMemoryExhausted = "memory allocation failed";
// Reported as unraisable when a traceback cannot be rendered for a fault's message.
inline constexpr std::string_view kGetvalueNotText = "getvalue() did not return a str";

inline std::string type_initialisation_failed(std::string_view class_name) {
  return "An error occurred while initializing class " + std::string(class_name);
}

// Internal faults, raised as PanicException; those that carry a Python exception add ": " and its
// debug description.
inline constexpr std::string_view kNumpyUnavailable = "Failed to access NumPy array API capsule";
inline constexpr std::string_view kAllNotExtended = "could not append __name__ to __all__";
inline constexpr std::string_view kInsertionFailed = "called `Result::unwrap()` on an `Err` value";
inline constexpr std::string_view kContainerNotCreated = "Failed to create slice container";
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
inline constexpr std::string_view kNoTpFree = "PyBaseObject_Type should have tp_free";
inline constexpr std::string_view kFaultWithoutMessage = "internal fault without a message";
inline constexpr std::string_view kUncaughtAtBoundary = "uncaught panic at ffi boundary\n";

}  // namespace pluvo::messages

// Every text the module puts in an exception of its own: callers and tests match them exactly, and
// the README's table of errors shows them. Texts of I/O errors come from core/io_error.
#pragma once

#include <string>
#include <string_view>

namespace pluvo::messages {

inline constexpr std::string_view kAlreadyBorrowed = "Already borrowed";
inline constexpr std::string_view kAlreadyMutablyBorrowed = "Already mutably borrowed";

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

inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kOutOfRange = "out of range integral type conversion attempted";
inline constexpr std::string_view kMemoryExhausted = "memory allocation failed";

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

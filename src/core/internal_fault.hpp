// An internal fault abandons the current call: a broken invariant or an impossible size. The entry
// guards of the Python layer turn it into PanicException; RAII releases what the call owned.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace pluvo {

class InternalFault : public std::runtime_error {
 public:
  explicit InternalFault(const std::string& message,
                         std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  // Where the fault was raised, for the report written before it reaches Python.
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// A sample block whose length is negative or reaches 2^31 bytes.
[[noreturn]] inline void throw_capacity_overflow(
    std::source_location where = std::source_location::current()) {
  throw InternalFault("capacity overflow", where);
}

}  // namespace pluvo

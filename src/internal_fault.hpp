// An internal fault abandons the current call: a broken invariant or an impossible size. The entry
// guards of the Python layer turn it into PanicException; RAII releases what the call owned.
#pragma once

#include <stdexcept>

namespace pluvo {

class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A sample block whose length is negative or reaches 2^31 bytes.
[[noreturn]] inline void throw_capacity_overflow() {
  throw InternalFault("capacity overflow");
}

}  // namespace pluvo

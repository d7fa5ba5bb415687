// Value-or-error returns: I/O errors (and, in the Python layer, pending Python errors) travel as
// values, never as exceptions.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "core/io_error.hpp"

namespace pluvo {

// Empty on success.
using Status = std::optional<IoError>;

template <class T, class E = IoError>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error)
      : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
  [[nodiscard]] T& value() & { return std::get<0>(state_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  [[nodiscard]] const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace pluvo

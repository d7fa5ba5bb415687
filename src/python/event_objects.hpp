// Event dicts: a record's header values under the keys of its format's field table, then its
// samples as a NumPy array under "data".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/batch_reader.hpp"
#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

// The int objects of one reader's previous event: a header value that repeats from one event to
// the next (a record size, a board number) reuses its object instead of making a new one. Only
// identity tells, as with the interpreter's own small ints.
class RecentInts {
 public:
  static constexpr std::size_t kFields = 6;  // the most header fields of any format

  RecentInts() noexcept = default;
  RecentInts(const RecentInts&) = delete;
  RecentInts& operator=(const RecentInts&) = delete;
  RecentInts(RecentInts&&) = delete;
  RecentInts& operator=(RecentInts&&) = delete;
  ~RecentInts();

  // A new reference to an int of the value, for the header field at `index`.
  template <class Value>
  PyObject* get(std::size_t index, Value value);

 private:
  std::array<PyObject*, kFields> objects_{};
  std::array<std::uint64_t, kFields> bits_{};
};

// A new dict; the samples move into its array. Every failure is an internal fault.
PyRef make_event(WD1Event& event, RecentInts& recent);
PyRef make_event(WD2Event& event, RecentInts& recent);

// A new dict with the keys of an event: each header key maps to its column, "data" to the rows of
// samples. The columns move into the arrays. Every failure is an internal fault.
PyRef make_batch(Batch<WD1Event, std::uint16_t>& batch);
PyRef make_batch(Batch<WD2Event, float>& batch);

}  // namespace pluvo

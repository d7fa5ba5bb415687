// Event dicts: a record's header values under the keys of its format's field table, then its
// samples as a NumPy array under "data"; and batch dicts, the same keys over whole columns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/batch_reader.hpp"
#include "core/record_fields.hpp"
#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "python/numpy.hpp"
#include "python/py_ref.hpp"

namespace pluvo {

// The keys of one record format, interned, and a dict holding them in order, each mapped to None,
// that every event of that format starts as a copy of. A caller can tell the keys from fresh
// strings only by identity, while making and hashing them for every event cost a fifth of a small
// event's time. The copy is sized once and keeps the table that only str keys have, which looks
// keys up faster and takes less memory: a dict sized with _PyDict_NewPresized() and filled costs
// fewer instructions from CPython 3.11 on, but has the general table, and events made so ran 0.95
// times as fast in the benchmark, whose loop looks up one key per event. Made with the module.
template <class Record>
class EventKeys {
 public:
  static constexpr std::size_t kCount = kHeaderFieldCount<Record> + 1;  // the samples last

  EventKeys();

  // A new dict with every key mapped to None.
  [[nodiscard]] PyRef new_event() const { return checked(PyDict_Copy(prototype_.get())); }
  // Stores `value` under the key at `index`.
  void set(PyObject* event, std::size_t index, const PyRef& value) const {
    checked(PyDict_SetItem(event, keys_[index].get(), value.get()));
  }

 private:
  std::array<PyRef, kCount> keys_;
  PyRef prototype_;
};

// The int objects of one reader's previous event: a header value that repeats from one event to
// the next (a record size, a board number) reuses its object instead of making a new one. Only
// identity tells, as with the interpreter's own small ints.
class RecentInts {
 public:
  static constexpr std::size_t kFields = 6;  // the most header fields of any format

  // A new reference to an int of the value, for the header field at `index`.
  template <class Value>
  PyRef get(std::size_t index, Value value);

 private:
  std::array<PyRef, kFields> objects_;
  std::array<std::uint64_t, kFields> bits_{};
};

// A new dict; the samples move into its array. Every failure is an internal fault.
PyRef make_event(WD1Event& event, RecentInts& recent, const ArrayMaker& arrays);
PyRef make_event(WD2Event& event, RecentInts& recent, const ArrayMaker& arrays);

// A new dict with the keys of an event: each header key maps to its column, "data" to the rows of
// samples. The columns move into the arrays. Every failure is an internal fault.
PyRef make_batch(Batch<WD1Event, std::uint16_t>& batch, const ArrayMaker& arrays);
PyRef make_batch(Batch<WD2Event, float>& batch, const ArrayMaker& arrays);

}  // namespace pluvo

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

// From CPython 3.11 on, inserting the keys into a dict sized for them costs fewer instructions
// than replacing the values in a copy of a dict that holds them; up to 3.10 it costs more (per dict
// of 7 keys, copy against insertion: 3.9 1,650 against 1,910; 3.11 2,140 against 1,720; 3.13 2,550
// against 2,280). PyPy has no sized dict.
#if defined(PYPY_VERSION) || PY_VERSION_HEX < 0x030B0000
#define PLUVO_EVENTS_COPY_A_PROTOTYPE
#endif

namespace pluvo {

// The keys of one record format, interned. A caller can tell them from fresh strings only by
// identity, while making and hashing them for every event cost a fifth of a small event's time.
// Made with the module.
template <class Record>
class EventKeys {
 public:
  static constexpr std::size_t kCount = kHeaderFieldCount<Record> + 1;  // the samples last

  EventKeys();

  // A new dict, sized once for the keys, that the caller sets every key of, in order.
  [[nodiscard]] PyRef new_event() const {
#ifdef PLUVO_EVENTS_COPY_A_PROTOTYPE
    return checked(PyDict_Copy(prototype_.get()));
#else
    return checked(_PyDict_NewPresized(kCount));
#endif
  }
  // Stores `value` under the key at `index`.
  void set(PyObject* event, std::size_t index, const PyRef& value) const {
    checked(PyDict_SetItem(event, keys_[index].get(), value.get()));
  }

 private:
  std::array<PyRef, kCount> keys_;
#ifdef PLUVO_EVENTS_COPY_A_PROTOTYPE
  PyRef prototype_;  // every key mapped to None
#endif
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

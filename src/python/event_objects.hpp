// Event dicts: a record's header values under the keys of its format's field table, then its
// samples as a NumPy array under "data"; and batch dicts, the same keys over whole columns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <bitset>
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
// that every batch and every reader's first event of that format start as a copy of. A caller can
// tell the keys from fresh strings only by identity, while making and hashing them for every event
// cost a fifth of a small event's time. The copy is sized once and keeps the table that only str
// keys have, which looks keys up faster and takes less memory: a dict sized with
// _PyDict_NewPresized() and filled costs fewer instructions from CPython 3.11 on, but has the
// general table, and events made so ran 0.95 times as fast in the benchmark, whose loop looks up
// one key per event. Made with the module.
template <class Record>
class EventKeys {
 public:
  static constexpr std::size_t kCount = kHeaderFieldCount<Record> + 1;  // the samples last

  EventKeys();

  // A new dict with every key mapped to None.
  [[nodiscard]] PyRef new_event() const { return copy(prototype_); }
  // A new dict with the keys and values of `event`.
  [[nodiscard]] static PyRef copy(const PyRef& event) { return checked(PyDict_Copy(event.get())); }
  // Stores `value` under the key at `index`.
  void set(PyObject* event, std::size_t index, const PyRef& value) const {
    checked(PyDict_SetItem(event, keys_[index].get(), value.get()));
  }

 private:
  std::array<PyRef, kCount> keys_;
  PyRef prototype_;
};

// One reader's previous event without its samples: each event starts as a copy of it, so a header
// value that repeats from one event to the next (a record size, a board number) costs neither a
// new int nor a store into the new dict; only identity tells, as with the interpreter's own small
// ints. Measured against a store of every value into every new dict: events of 2 KiB and 4 KiB
// blocks 1.07 and 1.06 times as fast.
class PreviousEvent {
 public:
  static constexpr std::size_t kFields = 6;  // the most header fields of any format

  // A new dict with `record`'s header values and the samples' key mapped to None.
  template <class Record>
  PyRef next(const EventKeys<Record>& keys, const Record& record);

 private:
  PyRef header_;  // made with the first event
  std::array<std::uint64_t, kFields> bits_{};
  std::bitset<kFields> known_;  // the fields whose values header_ holds
};

// A new dict; the samples move into its array. Every failure is an internal fault.
PyRef make_event(WD1Event& event, PreviousEvent& previous, const ArrayMaker& arrays);
PyRef make_event(WD2Event& event, PreviousEvent& previous, const ArrayMaker& arrays);

// A new dict with the keys of an event: each header key maps to its column, "data" to the rows of
// samples. The columns move into the arrays. Every failure is an internal fault.
PyRef make_batch(Batch<WD1Event, std::uint16_t>& batch, const ArrayMaker& arrays);
PyRef make_batch(Batch<WD2Event, float>& batch, const ArrayMaker& arrays);

}  // namespace pluvo

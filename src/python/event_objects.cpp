#include "python/event_objects.hpp"

#include <climits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/errors.hpp"
#include "python/messages.hpp"
#include "python/module_state.hpp"

namespace pluvo {
namespace {

PyObject* new_int(std::int32_t value) {
  return PyLong_FromLong(value);
}
PyObject* new_int(std::uint64_t value) {
  // The signed conversion has the interpreter's fast path for small values.
  if (value <= static_cast<std::uint64_t>(LONG_MAX)) {
    return PyLong_FromLong(static_cast<long>(value));
  }
  return PyLong_FromUnsignedLongLong(value);
}
PyObject* new_int(std::uint32_t value) {
  return new_int(std::uint64_t{value});
}

// Sign-extended, so equal bits mean equal values within a field of one type.
template <class Value>
std::uint64_t bits_of(Value value) {
  using Wide = std::conditional_t<std::is_signed_v<Value>, std::int64_t, std::uint64_t>;
  return static_cast<std::uint64_t>(static_cast<Wide>(value));
}

template <class Record>
PyRef make_event_of(Record& record, PreviousEvent& previous, const ArrayMaker& arrays) {
  static_assert(kHeaderFieldCount<Record> <= PreviousEvent::kFields);
  const auto& keys = module_state().keys<Record>();
  try {
    PyRef event = previous.next(keys, record);
    keys.set(event.get(), EventKeys<Record>::kCount - 1, arrays.array(std::move(record.data)));
    return event;
  } catch (PythonError& error) {
    fault_with_python_error(messages::kInsertionFailed, std::move(error));
  }
}

template <class Record, class Sample>
PyRef make_batch_of(Batch<Record, Sample>& batch, const ArrayMaker& arrays) {
  const auto& keys = module_state().keys<Record>();
  try {
    PyRef columns = keys.new_event();
    for_each_header_field<Record>([&](auto index, const auto& /*field*/) {
      auto& column = std::get<decltype(index)::value>(batch.header);
      keys.set(columns.get(), index, arrays.array(std::move(column)));
    });
    keys.set(columns.get(), EventKeys<Record>::kCount - 1,
             arrays.array(std::move(batch.samples), batch.rows));
    return columns;
  } catch (PythonError& error) {
    fault_with_python_error(messages::kInsertionFailed, std::move(error));
  }
}

}  // namespace

template <class Record>
EventKeys<Record>::EventKeys() {
  for_each_header_field<Record>(
      [&](auto index, const auto& field) { keys_[index] = interned(field.key); });
  keys_[kCount - 1] = interned(kSamplesKey);
  prototype_ = checked(PyDict_New());
  for (const PyRef& key : keys_) checked(PyDict_SetItem(prototype_.get(), key.get(), Py_None));
}

template class EventKeys<WD1Event>;
template class EventKeys<WD2Event>;

template <class Record>
PyRef PreviousEvent::next(const EventKeys<Record>& keys, const Record& record) {
  if (!header_) header_ = keys.new_event();
  for_each_header_field<Record>([&](auto index, const auto& field) {
    const auto value = record.*field.member;
    const std::uint64_t bits = bits_of(value);
    if (known_[index] && bits_[index] == bits) return;
    keys.set(header_.get(), index, checked(new_int(value)));
    bits_[index] = bits;
    known_[index] = true;
  });
  return EventKeys<Record>::copy(header_);
}

PyRef make_event(WD1Event& event, PreviousEvent& previous, const ArrayMaker& arrays) {
  return make_event_of(event, previous, arrays);
}
PyRef make_event(WD2Event& event, PreviousEvent& previous, const ArrayMaker& arrays) {
  return make_event_of(event, previous, arrays);
}

PyRef make_batch(Batch<WD1Event, std::uint16_t>& batch, const ArrayMaker& arrays) {
  return make_batch_of(batch, arrays);
}
PyRef make_batch(Batch<WD2Event, float>& batch, const ArrayMaker& arrays) {
  return make_batch_of(batch, arrays);
}

}  // namespace pluvo

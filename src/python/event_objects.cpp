#include "python/event_objects.hpp"

#include <climits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/record_fields.hpp"
#include "python/errors.hpp"
#include "python/numpy.hpp"
#include "python/once_cell.hpp"

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

PyObject* interned_text(std::string_view text) {
  PyObject* made = checked_api_result(PyUnicode_FromStringAndSize(
                                          text.data(), static_cast<Py_ssize_t>(text.size())))
                       .release();
  PyUnicode_InternInPlace(&made);
  return made;
}

// The keys of one record format and a dict holding them in order, each mapped to None, that every
// event of that format starts as a copy of. The keys are created and interned once per process: a
// caller can tell them from fresh strings only by identity, while making and hashing them for
// every event cost a fifth of a small event's time. The copy is also sized once instead of growing
// key by key. Both live for the rest of the process.
template <class Record>
class EventKeys {
 public:
  static constexpr std::size_t kCount = kHeaderFieldCount<Record> + 1;  // the samples last

  static const EventKeys& get() {
    static OnceCell<EventKeys> cell;
    if (const EventKeys* keys = cell.get()) return *keys;
    return *cell.get_or_try_init([] { return PyResult<EventKeys>(EventKeys()); }).value();
  }

  [[nodiscard]] PyRef new_event() const { return checked_api_result(PyDict_Copy(dict_)); }

  // Stores the new reference `value` under the key at `index`.
  void set(PyObject* event, std::size_t index, PyObject* value) const {
    const int failed = PyDict_SetItem(event, keys_[index], value);
    Py_DECREF(value);
    if (failed != 0) unwrap_failed(PendingError::fetch());
  }

 private:
  // Every failure faults: an event cannot be built without its keys.
  EventKeys() {
    for_each_header_field<Record>(
        [&](auto index, const auto& field) { keys_[index] = interned_text(field.key); });
    keys_[kCount - 1] = interned_text(kSamplesKey);
    PyRef dict = checked_api_result(PyDict_New());
    for (PyObject* key : keys_) {
      if (PyDict_SetItem(dict.get(), key, Py_None) != 0) unwrap_failed(PendingError::fetch());
    }
    dict_ = dict.release();
  }

  std::array<PyObject*, kCount> keys_{};
  PyObject* dict_ = nullptr;
};

template <class Record>
PyRef make_event_of(Record& record, RecentInts& recent) {
  static_assert(kHeaderFieldCount<Record> <= RecentInts::kFields);
  const auto& keys = EventKeys<Record>::get();
  PyRef event = keys.new_event();
  for_each_header_field<Record>([&](auto index, const auto& field) {
    keys.set(event.get(), index, recent.get(index, record.*field.member));
  });
  keys.set(event.get(), EventKeys<Record>::kCount - 1, sample_array(std::move(record.data)));
  return event;
}

template <class Record, class Sample>
PyRef make_batch_of(Batch<Record, Sample>& batch) {
  const auto& keys = EventKeys<Record>::get();
  PyRef columns = keys.new_event();
  for_each_header_field<Record>([&](auto index, const auto& /*field*/) {
    auto& column = std::get<decltype(index)::value>(batch.header);
    keys.set(columns.get(), index, sample_array(std::move(column)));
  });
  keys.set(columns.get(), EventKeys<Record>::kCount - 1,
           sample_array(std::move(batch.samples), batch.rows));
  return columns;
}

}  // namespace

RecentInts::~RecentInts() {
  for (PyObject* object : objects_) Py_XDECREF(object);
}

template <class Value>
PyObject* RecentInts::get(std::size_t index, Value value) {
  // Sign-extended, so equal bits mean equal values within a field of one type.
  const auto bits = static_cast<std::uint64_t>(
      static_cast<std::conditional_t<std::is_signed_v<Value>, std::int64_t, std::uint64_t>>(value));
  PyObject*& cached = objects_[index];
  if (cached == nullptr || bits_[index] != bits) {
    PyObject* made = checked_api_result(new_int(value)).release();
    Py_XDECREF(cached);
    cached = made;
    bits_[index] = bits;
  }
  Py_INCREF(cached);
  return cached;
}

PyRef make_event(WD1Event& event, RecentInts& recent) {
  return make_event_of(event, recent);
}
PyRef make_event(WD2Event& event, RecentInts& recent) {
  return make_event_of(event, recent);
}

PyRef make_batch(Batch<WD1Event, std::uint16_t>& batch) {
  return make_batch_of(batch);
}
PyRef make_batch(Batch<WD2Event, float>& batch) {
  return make_batch_of(batch);
}

}  // namespace pluvo

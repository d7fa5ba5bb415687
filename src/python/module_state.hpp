// What the module makes when it is executed: its types, the interned keys of the event dicts and,
// on PyPy, the function that gives signal handlers their turn. Made once per process with the
// module, all or nothing, and kept for the rest of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tuple>

#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "python/event_objects.hpp"
#include "python/py_ref.hpp"
#include "python/type_object.hpp"

namespace pluvo {

struct ModuleState {
  // Every failure throws; what was made is released again.
  ModuleState();

  template <class Record>
  [[nodiscard]] const EventKeys<Record>& keys() const noexcept {
    return std::get<EventKeys<Record>>(event_keys);
  }
  [[nodiscard]] PyTypeObject* event_reader_type() const noexcept { return as_type(event_reader); }
  [[nodiscard]] PyTypeObject* event_batches_type() const noexcept { return as_type(event_batches); }
  [[nodiscard]] PyTypeObject* event_index_type() const noexcept { return as_type(event_index); }
  [[nodiscard]] PyTypeObject* slice_container_type() const noexcept {
    return as_type(slice_container);
  }

  PyRef event_reader;
  PyRef event_batches;
  PyRef event_index;
  PyRef slice_container;
  std::tuple<EventKeys<WD1Event>, EventKeys<WD2Event>> event_keys;
#ifdef PYPY_VERSION
  PyRef no_work;  // lambda: None
#endif
};

// The state of the module, which exists once `import pluvo` has succeeded: every object of the
// module's types, and so every call that needs the state, comes after.
const ModuleState& module_state() noexcept;

}  // namespace pluvo

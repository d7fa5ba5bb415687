#include "python/arrow_stream.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/record_fields.hpp"
#include "python/arrow_abi.hpp"
#include "python/errors.hpp"
#include "python/event_batches.hpp"
#include "python/event_reader.hpp"

namespace pluvo {
namespace {

constexpr const char* kStreamCapsuleName = "arrow_array_stream";
constexpr const char* kSchemaCapsuleName = "arrow_schema";

// ---- the schema ----

template <class Value>
constexpr const char* arrow_format() {
  if constexpr (std::is_same_v<Value, std::int32_t>) return "i";
  if constexpr (std::is_same_v<Value, std::uint32_t>) return "I";
  if constexpr (std::is_same_v<Value, std::uint64_t>) return "L";
  if constexpr (std::is_same_v<Value, std::uint16_t>) return "S";
  if constexpr (std::is_same_v<Value, float>) return "f";
}

// A field of the stream's schema; no field is nullable.
struct Field {
  const char* format;
  const char* name;
  std::span<const Field> children;
};

// A struct of the event's keys in the event's order: the header fields with their widths, then
// the samples as a large list, so that records whose lengths change keep one schema.
template <class Record, class Sample>
const Field& schema_of() {
  static const Field item{arrow_format<Sample>(), "item", {}};
  static const auto fields = [] {
    std::array<Field, kHeaderFieldCount<Record> + 1> made{};
    for_each_header_field<Record>([&](auto index, const auto& field) {
      using Value = typename std::remove_cvref_t<decltype(field)>::value_type;
      made[index] = Field{arrow_format<Value>(), field.key.data(), {}};
    });
    made.back() = Field{"+L", kSamplesKey.data(), std::span(&item, 1)};
    return made;
  }();
  static const Field root{"+s", "", fields};
  return root;
}

// An exported schema node owns its children, so that a consumer may move any of them out.
struct SchemaNode {
  explicit SchemaNode(std::size_t count) : children(count), child_pointers(count) {
    for (std::size_t i = 0; i < count; ++i) child_pointers[i] = &children[i];
  }
  SchemaNode(const SchemaNode&) = delete;
  SchemaNode& operator=(const SchemaNode&) = delete;
  SchemaNode(SchemaNode&&) = delete;
  SchemaNode& operator=(SchemaNode&&) = delete;
  ~SchemaNode() {
    for (ArrowSchema& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }

  std::vector<ArrowSchema> children;  // zeroed, so unreleased until exported
  std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
  delete static_cast<SchemaNode*>(schema->private_data);
  schema->release = nullptr;
}

// NOLINTNEXTLINE(misc-no-recursion): as deep as the stream's schema, three levels
void export_schema(const Field& field, ArrowSchema& out) {
  auto node = std::make_unique<SchemaNode>(field.children.size());
  for (std::size_t i = 0; i < field.children.size(); ++i) {
    export_schema(field.children[i], node->children[i]);
  }
  out = ArrowSchema{
      .format = field.format,
      .name = field.name,
      .metadata = nullptr,
      .flags = 0,
      .n_children = static_cast<std::int64_t>(field.children.size()),
      .children = field.children.empty() ? nullptr : node->child_pointers.data(),
      .dictionary = nullptr,
      .release = &release_schema,
      .private_data = node.get(),
  };
  static_cast<void>(node.release());
}

std::string_view text_or_empty(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

// How `requested` differs from `field`, or nothing when they are equal. It goes no deeper than the
// stream's schema, three levels.
// NOLINTNEXTLINE(misc-no-recursion)
std::optional<std::string> schema_difference(const ArrowSchema& requested, const Field& field,
                                             const std::string& path) {
  const std::string where = path.empty() ? "the top-level struct" : "field \"" + path + "\"";
  const std::string_view format = text_or_empty(requested.format);
  if (format != field.format) {
    return where + " has format \"" + std::string(format) + "\", the stream's \"" + field.format +
           "\"";
  }
  const std::string_view name = text_or_empty(requested.name);
  if (!path.empty() && name != field.name) {
    return where + " is named \"" + std::string(name) + "\", the stream's \"" + field.name + "\"";
  }
  if ((requested.flags & kArrowFlagNullable) != 0) {
    return where + " is nullable, the stream's is not";
  }
  if (requested.dictionary != nullptr) return where + " is dictionary-encoded, the stream's is not";
  if (requested.n_children != static_cast<std::int64_t>(field.children.size())) {
    return where + " has " + std::to_string(requested.n_children) + " children, the stream's " +
           std::to_string(field.children.size());
  }
  for (std::size_t i = 0; i < field.children.size(); ++i) {
    const Field& child = field.children[i];
    const std::string child_path = path.empty() ? child.name : path + "." + child.name;
    if (auto difference = schema_difference(*requested.children[i], child, child_path)) {
      return difference;
    }
  }
  return std::nullopt;
}

void check_requested_schema(PyObject* requested, const Field& schema) {
  if (requested == nullptr || requested == Py_None) return;
  if (PyCapsule_IsValid(requested, kSchemaCapsuleName) == 0) {
    raise_error(PyExc_TypeError,
                "requested_schema must be None or a PyCapsule named \"arrow_schema\"");
  }
  const auto* wanted =
      static_cast<const ArrowSchema*>(PyCapsule_GetPointer(requested, kSchemaCapsuleName));
  if (wanted == nullptr) throw_python_error();
  if (wanted->release == nullptr) raise_error(PyExc_ValueError, "requested_schema is released");
  if (auto difference = schema_difference(*wanted, schema, "")) {
    raise_error(PyExc_NotImplementedError,
                "the requested schema differs from the stream's: " + *difference);
  }
}

// ---- record batches ----

// An exported array node: its buffers, its children and a share of the batch they point into,
// so that a consumer may move any child out and keep it alone.
struct ArrayNode {
  ArrayNode(std::shared_ptr<const void> batch, std::size_t count)
      : batch(std::move(batch)), children(count), child_pointers(count) {
    for (std::size_t i = 0; i < count; ++i) child_pointers[i] = &children[i];
  }
  ArrayNode(const ArrayNode&) = delete;
  ArrayNode& operator=(const ArrayNode&) = delete;
  ArrayNode(ArrayNode&&) = delete;
  ArrayNode& operator=(ArrayNode&&) = delete;
  ~ArrayNode() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }

  std::shared_ptr<const void> batch;
  std::array<const void*, 2> buffers{};  // the validity bitmap first: none, as nothing is null
  std::vector<ArrowArray> children;      // zeroed, so unreleased until exported
  std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
  delete static_cast<ArrayNode*>(array->private_data);
  array->release = nullptr;
}

// An array of `length` values without nulls: `values` (if any) follow the absent validity bitmap,
// and fill_children(node) exports its children into node.children.
template <class FillChildren>
void export_array(ArrowArray& out, const std::shared_ptr<const void>& batch, std::int64_t length,
                  std::optional<const void*> values, std::size_t children,
                  FillChildren&& fill_children) {
  auto node = std::make_unique<ArrayNode>(batch, children);
  node->buffers[1] = values.value_or(nullptr);
  fill_children(*node);
  out = ArrowArray{
      .length = length,
      .null_count = 0,
      .offset = 0,
      .n_buffers = values ? 2 : 1,
      .n_children = static_cast<std::int64_t>(children),
      .buffers = node->buffers.data(),
      .children = children == 0 ? nullptr : node->child_pointers.data(),
      .dictionary = nullptr,
      .release = &release_array,
      .private_data = node.get(),
  };
  static_cast<void>(node.release());
}

void export_values(ArrowArray& out, const std::shared_ptr<const void>& batch, std::int64_t length,
                   const void* values) {
  export_array(out, batch, length, values, 0, [](ArrayNode& /*node*/) {});
}

// A batch that left the reader, with the offsets of its rows in the samples.
template <class Record, class Sample>
struct ExportedBatch {
  Batch<Record, Sample> columns;
  std::vector<std::int64_t> row_offsets;
};

template <class Record, class Sample>
void export_batch(Batch<Record, Sample> columns, ArrowArray& out) {
  auto batch = std::make_shared<ExportedBatch<Record, Sample>>();
  batch->columns = std::move(columns);
  const auto rows = static_cast<std::int64_t>(batch->columns.rows);
  const auto row_length = static_cast<std::int64_t>(batch->columns.row_length);
  batch->row_offsets.resize(batch->columns.rows + 1);
  for (std::int64_t row = 0; row <= rows; ++row) {
    batch->row_offsets[static_cast<std::size_t>(row)] = row * row_length;
  }
  const std::shared_ptr<const void> owner = batch;
  export_array(out, owner, rows, std::nullopt, kHeaderFieldCount<Record> + 1, [&](ArrayNode& node) {
    for_each_header_field<Record>([&](auto index, const auto& /*field*/) {
      export_values(node.children[index], owner, rows,
                    std::get<decltype(index)::value>(batch->columns.header).data());
    });
    export_array(
        node.children.back(), owner, rows, batch->row_offsets.data(), 1, [&](ArrayNode& list) {
          export_values(list.children[0], owner, rows * row_length, batch->columns.samples.data());
        });
  });
}

// ---- the stream ----

class InterpreterLock {
 public:
  InterpreterLock() noexcept : state_(PyGILState_Ensure()) {}
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;
  InterpreterLock(InterpreterLock&&) = delete;
  InterpreterLock& operator=(InterpreterLock&&) = delete;
  ~InterpreterLock() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// "<type name>: <message>", as a traceback's last line shows an exception.
std::string described(PythonError error) {
  const PyRef instance = error.instance();
  std::string_view name = Py_TYPE(instance.get())->tp_name;
  name.remove_prefix(name.rfind('.') + 1);  // the whole name when it has no module part
  const std::string message = str_text(instance.get());
  return message.empty() ? std::string(name) : std::string(name) + ": " + message;
}

struct StreamState {
  StreamState(PyObject* reader, const BatchLimits& limits, const Field& schema) noexcept
      : reader(PyRef::borrowed(reader).release()), limits(limits), schema(&schema) {}

  PyObject* reader;  // an EventReader, owned
  BatchLimits limits;
  const Field* schema;
  std::string last_error;
  int status = 0;  // the error that ended the stream
  bool ended = false;

  int fail(PythonError error) {
    status = error.matches(PyExc_MemoryError) ? ENOMEM : EIO;
    last_error = described(std::move(error));
    ended = true;
    return status;
  }
};

StreamState& state_of(ArrowArrayStream* stream) {
  return *static_cast<StreamState*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    export_schema(*state_of(stream).schema, *out);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

// Reads the next batch into `out` as iterating the batches would; out->release stays null at the
// end. Consumers call this from threads of their own, with or without the interpreter lock.
int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState& state = state_of(stream);
  out->release = nullptr;
  if (state.ended) return state.status;
  const InterpreterLock interpreter;
  try {
    auto& reader = *reinterpret_cast<EventReaderObject*>(state.reader);
    const bool read = serve_request(reader, [&](auto& records) {
      auto batch = read_next_batch(reader, records, state.limits);
      if (batch) export_batch(std::move(*batch), *out);
      return batch.has_value();
    });
    state.ended = !read;
    return 0;
  } catch (PythonError& error) {
    return state.fail(std::move(error));
  } catch (...) {
    detail::raise_fault(std::current_exception());
    return state.fail(PythonError());
  }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  const StreamState& state = state_of(stream);
  return state.last_error.empty() ? nullptr : state.last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  std::unique_ptr<StreamState> state(&state_of(stream));
  // After the interpreter has gone, so has the reader.
  if (Py_IsInitialized() != 0) {
    const InterpreterLock interpreter;
    Py_DECREF(state->reader);
  }
  stream->release = nullptr;
}

void stream_capsule_destructor(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsuleName));
  // A consumer that took the stream over left it released.
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

}  // namespace

PyRef export_arrow_stream(PyObject* reader, const BatchLimits& limits, PyObject* requested_schema) {
  // Without the reader: another thread may hold it, waiting for input that this thread brings.
  const std::size_t format = reinterpret_cast<EventReaderObject*>(reader)->state.format;
  const Field& schema =
      format == 0 ? schema_of<WD1Event, std::uint16_t>() : schema_of<WD2Event, float>();
  check_requested_schema(requested_schema, schema);

  auto stream = std::make_unique<ArrowArrayStream>();
  stream->private_data = new StreamState(reader, limits, schema);
  stream->get_schema = &stream_get_schema;
  stream->get_next = &stream_get_next;
  stream->get_last_error = &stream_get_last_error;
  stream->release = &stream_release;
  // Owned by the capsule from here, also when it cannot be made.
  ArrowArrayStream* const owned = stream.release();
  PyObject* capsule = PyCapsule_New(owned, kStreamCapsuleName, &stream_capsule_destructor);
  if (capsule == nullptr) {
    owned->release(owned);
    delete owned;
    throw_python_error();
  }
  return PyRef(capsule);
}

}  // namespace pluvo

// Consecutive records read as columns: each header field of the format in an array of its own,
// and every record's samples in one block, row after row. The rows are read straight from the
// input into the block; the storage is obtained once per batch where the input tells its size,
// and grows with the rows elsewhere.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/read_outcome.hpp"
#include "core/record_fields.hpp"
#include "core/record_reader.hpp"
#include "core/sample_block.hpp"
#include "core/sample_buffer.hpp"

namespace pluvo {

namespace detail {
template <class Fields>
struct ColumnsOf;
template <class... Field>
struct ColumnsOf<std::tuple<Field...>> {
  using type = std::tuple<SampleBuffer<typename Field::value_type>...>;
};
}  // namespace detail

// One array per header field of the record type, in the order of its field table.
template <class Record>
using HeaderColumns =
    typename detail::ColumnsOf<std::remove_cvref_t<decltype(RecordFields<Record>::header)>>::type;

struct BatchLimits {
  std::size_t max_events;
  std::size_t max_bytes;  // of samples; a record larger than this still makes a batch of one
  // No record that starts at or past this offset is read.
  std::uint64_t stop = std::numeric_limits<std::uint64_t>::max();
};

template <class Record, class Sample>
struct Batch {
  HeaderColumns<Record> header;
  SampleBuffer<Sample> samples;  // rows x row_length
  std::size_t rows = 0;
  std::size_t row_length = 0;
  // A read failure that ended the batch before its next record: the caller reports it after the
  // batch, as next() would have reported it then.
  std::optional<IoError> failure;
};

// Storage of a batch from an input that cannot tell its size: rows for this many bytes of records
// to start with, doubled as they arrive, so that it never holds much more than what was read.
inline constexpr std::size_t kFirstBatchBytes = std::size_t{64} * 1024;

namespace detail {
// Every column and the samples to `rows` rows, the rows they held kept.
template <class Record, class Sample>
void resize_rows(Batch<Record, Sample>& batch, std::size_t rows) {
  std::apply([&](auto&... column) { (column.resize_uninitialized(rows), ...); }, batch.header);
  batch.samples.resize_uninitialized(rows * batch.row_length);
}

// As resize_rows(), or false where memory runs short; the rows held stay whole either way.
template <class Record, class Sample>
bool grow_rows(Batch<Record, Sample>& batch, std::size_t rows) {
  try {
    resize_rows(batch, rows);
    return true;
  } catch (const SampleAllocationFailure&) {
    return false;
  }
}

struct BatchRows {
  std::size_t capacity;  // the most rows the limits allow
  std::size_t storage;   // rows to make room for before any is read; 0 for none
};

// The rows of a batch whose first record, at the reader's position with its header given back,
// has a block of row_bytes. Never storage far beyond what the input holds: an input that cannot
// tell gets room for a few records first, grown as they arrive; a first block larger than the input
// shows it holds gets room only as its bytes arrive, as next() reads it.
template <class Format>
BatchRows batch_rows(RecordReader<Format>& reader, const BatchLimits& limits,
                     std::size_t row_bytes) {
  const std::uint64_t record_bytes = reader.header_bytes() + row_bytes;
  std::size_t capacity = std::max<std::size_t>(
      1, std::min(limits.max_events,
                  row_bytes == 0 ? limits.max_events : limits.max_bytes / row_bytes));
  // Records of this length start every record_bytes: those that start before stop.
  const std::uint64_t position = reader.position();
  const std::uint64_t before_stop =
      position >= limits.stop ? 1 : (limits.stop - position - 1) / record_bytes + 1;
  capacity = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, before_stop));
  const bool first_fits_a_chunk = row_bytes <= kFirstBlockChunkBytes;
  const auto left = reader.bytes_left();
  if (!left) {
    const auto few =
        static_cast<std::size_t>(std::max<std::uint64_t>(1, kFirstBatchBytes / record_bytes));
    return {capacity, first_fits_a_chunk ? std::min(few, capacity) : 0};
  }
  const std::uint64_t whole_records = (*left + reader.header_bytes()) / record_bytes;
  capacity = static_cast<std::size_t>(std::clamp<std::uint64_t>(whole_records, 1, capacity));
  return {capacity, whole_records != 0 || first_fits_a_chunk ? capacity : 0};
}

// What a batch that holds no record gives instead: the end, or the failure met.
template <class Record, class Sample, class Outcome>
ReadOutcome<Batch<Record, Sample>> without_rows(const Outcome& outcome) {
  if (const auto* error = std::get_if<IoError>(&outcome)) return *error;
  return EndOfRecords{};
}
}  // namespace detail

// One to limits.max_events consecutive records, all with as many samples as the first; the batch
// ends early at the end of the data, before a record of another length or one whose block cannot
// be read (that record's header is given back, so the next call meets it as next() would), and
// at a failure; it holds no record that starts at or past limits.stop (with none before it, it is
// the end of the records, the reader left as it is). The first record fails as next() fails on it,
// faults included.
template <class Format>
ReadOutcome<Batch<typename Format::Record, typename Format::Sample>> read_batch(
    RecordReader<Format>& reader, const BatchLimits& limits) {
  using Record = typename Format::Record;
  using Sample = typename Format::Sample;
  if (reader.position() >= limits.stop) return EndOfRecords{};
  auto first = reader.next_header();
  auto* header = std::get_if<Record>(&first);
  if (header == nullptr) return detail::without_rows<Record, Sample>(first);
  const std::optional<std::size_t> block_bytes = reader.block_bytes(*header);
  reader.give_back(std::move(*header));

  Batch<Record, Sample> batch;
  detail::BatchRows rows{1, 0};
  if (block_bytes) {
    batch.row_length = *block_bytes / sizeof(Sample);
    rows = detail::batch_rows(reader, limits, *block_bytes);
  }
  auto store_header = [&](const Record& record, std::size_t row) {
    for_each_header_field<Record>([&](auto index, const auto& field) {
      std::get<decltype(index)::value>(batch.header)[row] = record.*field.member;
    });
  };
  // The first record's samples go straight into the first row, as the others do: moved there from
  // a record of their own, they would be copied again when the storage grows. Without storage for
  // it, next() reads the record: the fault of a block that cannot be read, or the memory it lacks.
  std::size_t storage = rows.storage;
  if (storage != 0 && !detail::grow_rows(batch, storage)) {
    storage = detail::grow_rows(batch, 1) ? 1 : 0;
  }
  if (storage == 0) {
    auto record_outcome = reader.next();
    auto* record = std::get_if<Record>(&record_outcome);
    if (record == nullptr) return detail::without_rows<Record, Sample>(record_outcome);
    batch.samples = std::move(record->data);
    storage = 1;
    detail::resize_rows(batch, storage);
    store_header(*record, 0);
    batch.rows = 1;
  }

  while (true) {
    auto rest = reader.read_rows(
        std::span(batch.samples.data(), batch.samples.size())
            .subspan(batch.rows * batch.row_length),
        batch.row_length, storage - batch.rows,
        [&](const Record& record, std::size_t row) { store_header(record, batch.rows + row); });
    batch.rows += rest.count;
    batch.failure = rest.failure;
    if (batch.rows < storage || storage == rows.capacity || batch.failure) break;
    const std::size_t grown = rows.capacity - storage > storage ? 2 * storage : rows.capacity;
    if (!detail::grow_rows(batch, grown)) break;
    storage = grown;
  }
  // The first record cut short by the end of the data, or its read failed.
  if (batch.rows == 0) {
    if (batch.failure) return *batch.failure;
    return EndOfRecords{};
  }
  detail::resize_rows(batch, batch.rows);
  return batch;
}

}  // namespace pluvo

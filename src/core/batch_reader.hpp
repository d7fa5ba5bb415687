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
}  // namespace detail

// One to limits.max_events consecutive records, all with as many samples as the first; the batch
// ends early at the end of the data, before a record of another length or one whose block cannot
// be read (that record's header is given back, so the next call meets it as next() would), and
// at a failure; it holds no record that starts at or past limits.stop (with none before it, it is
// the end of the records, the reader left as it is). The first record is read as next() reads it,
// faults and failures included.
template <class Format>
ReadOutcome<Batch<typename Format::Record, typename Format::Sample>> read_batch(
    RecordReader<Format>& reader, const BatchLimits& limits) {
  using Record = typename Format::Record;
  using Sample = typename Format::Sample;
  if (reader.position() >= limits.stop) return EndOfRecords{};
  auto first = reader.next();
  auto* record = std::get_if<Record>(&first);
  if (record == nullptr) {
    if (auto* error = std::get_if<IoError>(&first)) return *error;
    return EndOfRecords{};
  }

  Batch<Record, Sample> batch;
  batch.row_length = record->data.size();
  const std::size_t row_bytes = batch.row_length * sizeof(Sample);
  const std::uint64_t record_bytes = reader.header_bytes() + row_bytes;
  std::size_t capacity = std::max<std::size_t>(
      1, std::min(limits.max_events,
                  row_bytes == 0 ? limits.max_events : limits.max_bytes / row_bytes));
  // Records of this length start every record_bytes: those that start before stop.
  const std::uint64_t position = reader.position();
  const std::uint64_t before_stop =
      position >= limits.stop ? 0 : (limits.stop - position - 1) / record_bytes + 1;
  capacity = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, before_stop + 1));
  // Never storage far beyond what the file holds. An input that cannot tell gets storage for a
  // few records first, grown as they arrive.
  std::size_t storage =
      static_cast<std::size_t>(std::max<std::uint64_t>(1, kFirstBatchBytes / record_bytes));
  if (const auto left = reader.bytes_left()) {
    const std::uint64_t records_left = *left / record_bytes;
    capacity = static_cast<std::size_t>(std::min<std::uint64_t>(
        capacity,
        std::min<std::uint64_t>(records_left + 1, std::numeric_limits<std::size_t>::max())));
    storage = capacity;
  }
  storage = std::min(storage, capacity);
  batch.samples = std::move(record->data);
  // Short of memory, the batch makes do with fewer rows rather than lose the record it holds.
  if (!detail::grow_rows(batch, storage)) {
    storage = 1;
    detail::resize_rows(batch, storage);
  }

  auto store_header = [&](const Record& header, std::size_t row) {
    for_each_header_field<Record>([&](auto index, const auto& field) {
      std::get<decltype(index)::value>(batch.header)[row] = header.*field.member;
    });
  };
  store_header(*record, 0);
  batch.rows = 1;
  while (true) {
    auto rest = reader.read_rows(
        std::span(batch.samples.data(), batch.samples.size())
            .subspan(batch.rows * batch.row_length),
        batch.row_length, storage - batch.rows,
        [&](const Record& header, std::size_t row) { store_header(header, batch.rows + row); });
    batch.rows += rest.count;
    batch.failure = rest.failure;
    if (batch.rows < storage || storage == capacity || batch.failure) break;
    const std::size_t grown = capacity - storage > storage ? 2 * storage : capacity;
    if (!detail::grow_rows(batch, grown)) break;
    storage = grown;
  }
  detail::resize_rows(batch, batch.rows);
  return batch;
}

}  // namespace pluvo

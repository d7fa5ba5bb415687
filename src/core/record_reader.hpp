// What the readers of both formats share: each record is a header, then a block of samples whose
// length the header gives. The end of the data ends the records; any other read failure is
// reported once and finishes the reader. A Format says how its headers are read and how long
// their blocks are. Records of one size are read ahead, several with one system call, but every
// other way of reading puts them back first: the input stays in file order for it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/little_endian.hpp"
#include "core/read_outcome.hpp"
#include "core/record_index.hpp"
#include "core/records_ahead.hpp"
#include "core/sample_block.hpp"

namespace pluvo {

template <class Format>
class RecordReader {
 public:
  using Record = typename Format::Record;
  using Sample = typename Format::Sample;

  RecordReader(BufReader input, Format format) noexcept
      : input_(std::move(input)), format_(format) {}

  // Throws InternalFault "capacity overflow" for a block that cannot be read, after its header.
  ReadOutcome<Record> next() {
    if (ahead_.empty() && reads_ahead()) {
      const std::uint64_t start = input_.position();
      if (auto error = ahead_.read(input_, format_, last_block_bytes_)) {
        return failed_read<Record>(*error, finished_, input_.position() != start);
      }
    }
    if (!ahead_.empty()) return ahead_.take(format_);
    auto outcome = read_header(true);
    auto* record = std::get_if<Record>(&outcome);
    if (record == nullptr) return outcome;
    const std::optional<std::size_t> bytes = format_.block_bytes(*record);
    if (!bytes) throw_capacity_overflow();
    auto samples = read_sample_block<Sample>(input_, *bytes);
    if (!samples.ok()) return failed_read<Record>(samples.error(), finished_, true);
    record->data = std::move(samples).value();
    last_block_bytes_ = *bytes;
    return outcome;
  }

  [[nodiscard]] bool finished() const noexcept { return finished_; }

  // Offset of the next record: what was consumed, less the records held ahead and a header given
  // back.
  [[nodiscard]] std::uint64_t position() const noexcept {
    return input_.position() - ahead_.held_bytes() - (given_back_ ? format_.header_bytes() : 0);
  }

  // The next record is read from `offset`, as from a reader that never ended or failed.
  Result<std::uint64_t> seek(std::uint64_t offset) {
    auto moved = input_.seek(offset);
    if (moved.ok()) {
      ahead_.drop();
      given_back_.reset();
      finished_ = false;
    }
    return moved;
  }

  // ---- reading records straight into the rows of a batch ----

  // The next record's header, its samples not read yet; a header given back comes first. Reads
  // little ahead of it: the bytes after it go straight into rows, and what was read ahead would be
  // copied there again.
  ReadOutcome<Record> next_header() { return read_header(false); }

  // Leaves a header taken by next_header() for the next call of next() or next_header().
  void give_back(Record header) noexcept { given_back_.emplace(std::move(header)); }

  [[nodiscard]] std::size_t header_bytes() const noexcept { return format_.header_bytes(); }
  // Bytes of the block after `header`; none for a block that cannot be read.
  [[nodiscard]] std::optional<std::size_t> block_bytes(const Record& header) const {
    return format_.block_bytes(header);
  }

  struct Rows {
    std::size_t count;
    std::optional<IoError> failure;  // reported once, as next() would have reported it
  };

  // Reads the following records into the rows of `storage`, each `row_length` samples, up to
  // max_rows of them, calling store(header, row) for each; stops before a record of another
  // length or one whose block cannot be read (its header is given back), at the end of the data
  // (a cut-short record is consumed and dropped, as next() drops it), and at a failure. With
  // nothing buffered, small records are read straight into their rows, many with one system call.
  template <class Store>
  Rows read_rows(std::span<Sample> storage, std::size_t row_length, std::size_t max_rows,
                 Store&& store) {
    ahead_.put_back(input_);
    // next() reads no records ahead after rows: the next batch would only put them back to read
    // them into its own rows.
    last_block_bytes_ = 0;
    const std::size_t row_bytes = row_length * sizeof(Sample);
    const std::size_t record_bytes = format_.header_bytes() + row_bytes;
    std::size_t rows = 0;
    while (rows < max_rows) {
      const std::size_t direct =
          std::min({max_rows - rows, kMaxDirectRecords, BufReader::kMaxReadAhead / record_bytes});
      if (direct > 1 && !given_back_ && !finished_ && input_.buffered() < record_bytes) {
        const auto rest = storage.subspan(rows * row_length);
        auto store_rest = [&](const Record& header, std::size_t row) { store(header, rows + row); };
        // Read whole, the records must fit in the rows' storage, headers included.
        const std::size_t in_place = std::min(direct, rest.size_bytes() / record_bytes);
        auto read = row_bytes < kMinScatteredBlockBytes && in_place > 1
                        ? read_rows_in_place(rest, row_length, in_place, store_rest)
                        : read_rows_directly(rest, row_length, direct, store_rest);
        rows += read.count;
        if (read.failure) return {rows, read.failure};
        // Without one whole record of the row's length, the next one is read on its own: it
        // meets the end of the data, a pipe that waits, or a change of length.
        if (read.count != 0) continue;
      }
      auto next = next_header();
      auto* header = std::get_if<Record>(&next);
      if (header == nullptr) {
        if (auto* error = std::get_if<IoError>(&next)) return {rows, *error};
        return {rows, std::nullopt};
      }
      if (format_.block_bytes(*header) != row_bytes) {
        give_back(std::move(*header));
        return {rows, std::nullopt};
      }
      auto row = storage.subspan(rows * row_length, row_length);
      if (auto error = input_.read_exact_sparingly(std::as_writable_bytes(row))) {
        return rows_before_failure(rows, *error, true);
      }
      little_endian_to_host(row.data(), row.size());
      store(*header, rows);
      ++rows;
    }
    return {rows, std::nullopt};
  }

  // Where each record of the file starts, from its headers; the position stays where it is.
  Result<RecordIndex> index() { return index_records(input_, format_); }

  // Bytes the file still holds after what was consumed, the records held ahead counted as unread,
  // where the input can tell.
  std::optional<std::uint64_t> bytes_left() {
    const auto left = input_.bytes_left();
    if (!left) return left;
    return *left + ahead_.held_bytes();
  }

 protected:
  [[nodiscard]] const Format& format() const noexcept { return format_; }

 private:
  // Whether next() reads records ahead: after a record whose size is worth it, where the next
  // record is not buffered whole and, if its header is buffered, has that size too, so that a
  // failed read never comes before a record that was buffered whole.
  [[nodiscard]] bool reads_ahead() const noexcept {
    const std::size_t header_bytes = format_.header_bytes();
    if (given_back_ || finished_ ||
        !RecordsAhead<Format>::worth_it(header_bytes, last_block_bytes_)) {
      return false;
    }
    const auto header = input_.peek(header_bytes);
    return header.empty() ||
           (input_.buffered() < header_bytes + last_block_bytes_ &&
            format_.block_bytes(format_.parse_header(header.data())) == last_block_bytes_);
  }

  // next_header(), reading ahead of the header as read_exact() does or sparingly.
  ReadOutcome<Record> read_header(bool read_ahead) {
    ahead_.put_back(input_);
    if (given_back_) {
      Record header = std::move(*given_back_);
      given_back_.reset();
      return header;
    }
    if (finished_) return EndOfRecords{};
    const std::uint64_t start = input_.position();
    std::array<std::byte, Format::kMaxHeaderSize> bytes;
    const auto header = std::span(bytes.data(), format_.header_bytes());
    if (auto error = read_ahead ? input_.read_exact(header) : input_.read_exact_sparingly(header)) {
      return failed_read<Record>(*error, finished_, input_.position() != start);
    }
    return format_.parse_header(bytes.data());
  }

  // Records one direct read takes at most: two parts each, the header and the row.
  static constexpr std::size_t kMaxDirectRecords = BufReader::kMaxScatteredParts / 2;

  // The rows read before a failed read, with the failure to report (none at the end of the data).
  Rows rows_before_failure(std::size_t rows, const IoError& error, bool record_started) {
    auto failed = failed_read<std::monostate>(error, finished_, record_started);
    if (auto* failure = std::get_if<IoError>(&failed)) return {rows, *failure};
    return {rows, std::nullopt};
  }

  // Blocks under this size are read together with their headers and moved into their rows after:
  // the kernel's work per part of a scattered read costs more than moving them while they are
  // still in the cache. Measured: batches of 2 KiB blocks 1.17 times as fast; on two machines, of
  // 4 KiB ones 1.02 and 1.10 times, of 16 KiB ones 0.87 and 0.91 times.
  static constexpr std::size_t kMinScatteredBlockBytes = 8192;

  // One system call for up to `count` records, straight into the rows' storage as they lie in
  // the input; then each block is moved down over the headers before it into its row. What came
  // after the records taken goes back to the input, as read_rows_directly() gives it back.
  template <class Store>
  Rows read_rows_in_place(std::span<Sample> storage, std::size_t row_length, std::size_t count,
                          Store&& store) {
    const std::size_t header_bytes = format_.header_bytes();
    const std::size_t row_bytes = row_length * sizeof(Sample);
    const std::size_t record_bytes = header_bytes + row_bytes;
    const auto bytes = std::as_writable_bytes(storage).first(count * record_bytes);
    const std::array<std::span<std::byte>, 1> parts{bytes};
    const std::uint64_t start = input_.position();
    auto got = input_.read_scattered(parts);
    if (!got.ok()) return rows_before_failure(0, got.error(), input_.position() != start);
    const std::size_t arrived = got.value();
    std::size_t taken = 0;
    // A row ends at or before the header of the record after its own, so moving a block never
    // overwrites a record not yet taken.
    while (taken < count && arrived - taken * record_bytes >= record_bytes) {
      const std::byte* record = bytes.data() + taken * record_bytes;
      const Record header = format_.parse_header(record);
      if (format_.block_bytes(header) != row_bytes) break;
      auto row = storage.subspan(taken * row_length, row_length);
      std::memmove(row.data(), record + header_bytes, row_bytes);
      little_endian_to_host(row.data(), row.size());
      store(header, taken);
      ++taken;
    }
    const std::array<std::span<std::byte>, 1> rest{bytes.subspan(taken * record_bytes)};
    input_.unread(rest, arrived - taken * record_bytes);
    return {taken, std::nullopt};
  }

  // One system call for up to `count` records: headers into a scratch area, samples straight into
  // their rows. The records that arrived whole and are of the row's length are stored; what came
  // after them goes back to the input, to be read again.
  template <class Store>
  Rows read_rows_directly(std::span<Sample> storage, std::size_t row_length, std::size_t count,
                          Store&& store) {
    const std::size_t header_bytes = format_.header_bytes();
    const std::size_t row_bytes = row_length * sizeof(Sample);
    // Without memory for the scratch, the records are read the ordinary way.
    const auto scratch = ahead_.scratch();
    if (!scratch) return {0, std::nullopt};
    const auto parts = scratch->parts.first(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
      parts[2 * i] = scratch->headers.subspan(i * header_bytes, header_bytes);
      parts[2 * i + 1] = std::as_writable_bytes(storage.subspan(i * row_length, row_length));
    }
    const std::uint64_t start = input_.position();
    auto got = input_.read_scattered(parts);
    if (!got.ok()) return rows_before_failure(0, got.error(), input_.position() != start);
    std::size_t taken = 0;
    std::size_t arrived = got.value();
    while (taken < count && arrived >= header_bytes + row_bytes) {
      const Record header = format_.parse_header(parts[2 * taken].data());
      if (format_.block_bytes(header) != row_bytes) break;
      auto row = storage.subspan(taken * row_length, row_length);
      little_endian_to_host(row.data(), row.size());
      store(header, taken);
      arrived -= header_bytes + row_bytes;
      ++taken;
    }
    // What arrived of the records not taken is read again, in order: a header of another length
    // or a record cut short by the end of what the input had.
    input_.unread(parts.subspan(2 * taken), arrived);
    return {taken, std::nullopt};
  }

  BufReader input_;
  Format format_;
  std::optional<Record> given_back_;
  bool finished_ = false;
  RecordsAhead<Format> ahead_;
  std::size_t last_block_bytes_ = 0;  // of the last record next() read the ordinary way
};

}  // namespace pluvo

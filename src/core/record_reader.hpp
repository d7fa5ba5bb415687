// What the readers of both formats share: each record is a header, then a block of samples whose
// length the header gives. The end of the data ends the records; any other read failure is
// reported once and finishes the reader. A Format says how its headers are read and how long
// their blocks are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/little_endian.hpp"
#include "core/read_outcome.hpp"
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
    auto outcome = next_header();
    auto* record = std::get_if<Record>(&outcome);
    if (record == nullptr) return outcome;
    const std::optional<std::size_t> bytes = format_.block_bytes(*record);
    if (!bytes) throw_capacity_overflow();
    auto samples = read_sample_block<Sample>(input_, *bytes);
    if (!samples.ok()) return failed_read<Record>(samples.error(), finished_, true);
    record->data = std::move(samples).value();
    return outcome;
  }

  [[nodiscard]] bool finished() const noexcept { return finished_; }

  // ---- reading records straight into the rows of a batch ----

  // The next record's header, its samples not read yet; a header given back comes first.
  ReadOutcome<Record> next_header() {
    if (given_back_) return std::exchange(given_back_, std::nullopt).value();
    if (finished_) return EndOfRecords{};
    const std::uint64_t start = input_.position();
    auto header = format_.read_header(input_);
    if (!header.ok()) {
      return failed_read<Record>(header.error(), finished_, input_.position() != start);
    }
    return std::move(header).value();
  }

  // Leaves a header taken by next_header() for the next call of next() or next_header().
  void give_back(Record header) noexcept { given_back_.emplace(std::move(header)); }

  // Bytes of the record's block; nothing for a block that cannot be read.
  [[nodiscard]] std::optional<std::size_t> block_bytes(const Record& header) const noexcept {
    return format_.block_bytes(header);
  }
  [[nodiscard]] std::size_t header_bytes() const noexcept { return format_.header_bytes(); }

  // Reads the block of the header just taken into dst, which is as long as the block.
  ReadOutcome<std::monostate> read_block(std::span<Sample> dst) {
    if (auto error = input_.read_exact(std::as_writable_bytes(dst))) {
      return failed_read<std::monostate>(*error, finished_, true);
    }
    little_endian_to_host(dst.data(), dst.size());
    return std::monostate{};
  }

  // Bytes the file still holds after what was consumed, where the input can tell.
  std::optional<std::uint64_t> bytes_left() { return input_.bytes_left(); }

 protected:
  [[nodiscard]] const Format& format() const noexcept { return format_; }

 private:
  BufReader input_;
  Format format_;
  std::optional<Record> given_back_;
  bool finished_ = false;
};

}  // namespace pluvo

// Where each record of a file starts and how many samples it holds, from its headers alone: a
// walk from offset 0 with positioned reads, so the reader's own position and buffer stay as they
// are. Headers of small records come through a read-ahead of the walk's own; a sample block
// larger than it is passed over without being read.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/result.hpp"
#include "core/sample_buffer.hpp"

namespace pluvo {

struct RecordIndex {
  SampleBuffer<std::uint64_t> offsets;  // one per record, then the end of the last whole record
  SampleBuffer<std::int64_t> lengths;   // samples per record
  std::uint64_t file_size = 0;          // when the walk began; it ends there
  std::uint64_t tail = 0;               // bytes after the last whole record
};

namespace detail {

// Entries grow geometrically; never more than a file of headers alone could need.
class IndexBuilder {
 public:
  explicit IndexBuilder(std::uint64_t most_records)
      : most_records_(static_cast<std::size_t>(
            std::min<std::uint64_t>(most_records, std::numeric_limits<std::size_t>::max() / 8))) {}

  void add(std::uint64_t offset, std::int64_t length) {
    if (count_ == index_.lengths.size()) {
      const std::size_t grown =
          std::min(std::max<std::size_t>(2 * count_, kFirstEntries), most_records_);
      index_.offsets.resize_uninitialized(grown + 1);
      index_.lengths.resize_uninitialized(grown);
    }
    index_.offsets[count_] = offset;
    index_.lengths[count_] = length;
    ++count_;
  }

  RecordIndex finish(std::uint64_t end, std::uint64_t file_size) && {
    index_.offsets.resize_uninitialized(count_ + 1);
    index_.lengths.resize_uninitialized(count_);
    index_.offsets[count_] = end;
    index_.file_size = file_size;
    index_.tail = file_size - end;
    return std::move(index_);
  }

 private:
  static constexpr std::size_t kFirstEntries = 1024;
  std::size_t most_records_;
  std::size_t count_ = 0;
  RecordIndex index_;
};

}  // namespace detail

// The records from offset 0 to the file's size when the walk begins (a file that grows later is
// not followed; one cut short meanwhile ends where its data ends). A record whose block cannot be
// read throws InternalFault "capacity overflow", as reading it would; a read error is returned.
template <class Format>
Result<RecordIndex> index_records(BufReader& input, const Format& format) {
  using Sample = typename Format::Sample;
  const auto size = input.file_size();
  if (!size.ok()) return size.error();
  const std::uint64_t file_size = size.value();
  const std::size_t header_bytes = format.header_bytes();
  detail::IndexBuilder builder(file_size / header_bytes + 1);
  const auto window = std::make_unique_for_overwrite<std::byte[]>(BufReader::kMaxReadAhead);
  std::uint64_t window_start = 0;
  std::size_t window_bytes = 0;
  // After a block larger than the window, the next header is read alone: the bytes after it are
  // most likely samples to pass over.
  bool large_blocks = false;
  // An input that cannot seek fails here, also when it looks empty.
  if (const auto checked = input.read_at(0, {}); !checked.ok()) return checked.error();
  std::uint64_t at = 0;
  while (file_size - at >= header_bytes) {
    if (at + header_bytes > window_start + window_bytes) {
      const std::size_t wanted = large_blocks ? header_bytes
                                              : static_cast<std::size_t>(std::min<std::uint64_t>(
                                                    BufReader::kMaxReadAhead, file_size - at));
      const auto got = input.read_at(at, std::span(window.get(), wanted));
      if (!got.ok()) return got.error();
      window_start = at;
      window_bytes = got.value();
      if (window_bytes < header_bytes) break;  // cut short since the walk began
    }
    const auto header = format.parse_header(window.get() + (at - window_start));
    const auto block = format.block_bytes(header);
    if (!block) throw_capacity_overflow();
    if (file_size - at - header_bytes < *block) break;  // a cut-short last record
    builder.add(at, static_cast<std::int64_t>(*block / sizeof(Sample)));
    at += header_bytes + *block;
    large_blocks = *block >= BufReader::kMaxReadAhead;
  }
  return std::move(builder).finish(at, file_size);
}

}  // namespace pluvo

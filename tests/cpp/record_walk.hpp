// The record layouts walked over a file's bytes on their own, to check the readers against:
// what stands at each offset, generated files of such records, and one next() or read_batch()
// call compared with the walk.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/batch_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/record_fields.hpp"
#include "core/record_reader.hpp"
#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"
#include "test_files.hpp"
#include "test_support.hpp"

namespace pluvo::testing {

inline constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
inline constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

inline std::uint64_t le_at(const Bytes& bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{bytes.at(offset + i)} << (8 * i);
  return value;
}

inline void append_random(Bytes& out, std::size_t count, Rng& rng) {
  for (std::size_t i = 0; i < count; i += 8) {
    const std::uint64_t bits = rng.next();
    for (std::size_t b = 0; b < 8 && i + b < count; ++b) {
      out.push_back(static_cast<std::uint8_t>(bits >> (8 * b)));
    }
  }
}

// What the layout says stands at an offset of the file: a whole record, a header whose block
// cannot be read, a whole header whose block the file does not hold, or not even a header.
enum class Expect { Record, Fault, Cut, End };

struct Expected {
  Expect what;
  std::size_t block;  // bytes of samples the header gives, for a record or a cut one
};

inline Expected expected_in(const Bytes& file, std::size_t offset, std::size_t header,
                            std::optional<std::size_t> block) {
  if (!block) return {Expect::Fault, 0};
  if (file.size() - offset - header < *block) return {Expect::Cut, *block};
  return {Expect::Record, *block};
}

struct Wd1 {
  using Format = WD1Format;
  using Record = WD1Event;
  using Sample = std::uint16_t;
  static constexpr const char* kName = "WD1";
  static constexpr std::size_t kHeader = 24;
  static constexpr std::size_t kUnitBytes = 2;  // block bytes per unit of a record's length
  static Format format() { return {}; }

  static Bytes record(Rng& rng, std::size_t units) {
    // An odd event_size counts a byte that the block does not hold.
    const auto size = static_cast<std::int32_t>(kHeader + 2 * units + (rng.one_in(4) ? 1 : 0));
    Bytes out = wd1_header({.event_size = size,
                            .board_id = static_cast<std::int32_t>(rng.next()),
                            .pattern = static_cast<std::int32_t>(rng.next()),
                            .board_channel = static_cast<std::int32_t>(rng.below(64)),
                            .event_counter = static_cast<std::int32_t>(rng.next()),
                            .timestamp = static_cast<std::int32_t>(rng.next())});
    append_random(out, 2 * units, rng);
    return out;
  }
  // A negative block length.
  static Bytes unreadable(Rng& rng) {
    return wd1_header({.event_size = rng.pick(std::vector<std::int32_t>{22, 21, 0, -1, kMin + 24}),
                       .event_counter = 77});
  }
  // A block far larger than any file here.
  static Bytes oversized(Rng& rng) {
    return wd1_header({.event_size = rng.pick(std::vector<std::int32_t>{kMax, kMin, 1 << 30}),
                       .event_counter = 88});
  }

  static Expected expected_at(const Bytes& file, std::size_t offset) {
    if (file.size() - offset < kHeader) return {Expect::End, 0};
    // event_size - 24 in 32-bit two's complement, rounded toward zero to an even count.
    const auto body =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(le_at(file, offset, 4)) - 24u);
    const std::int32_t length = body / 2 * 2;
    return expected_in(
        file, offset, kHeader,
        length < 0 ? std::nullopt : std::optional<std::size_t>(static_cast<std::size_t>(length)));
  }

  static ::testing::AssertionResult same_header(const Record& r, const Bytes& file,
                                                std::size_t at) {
    const std::int32_t fields[] = {r.event_size,    r.board_id,      r.pattern,
                                   r.board_channel, r.event_counter, r.timestamp};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
      const auto want = static_cast<std::int32_t>(le_at(file, at + 4 * i, 4));
      if (fields[i] != want) {
        return ::testing::AssertionFailure()
               << "header field " << i << " is " << fields[i] << ", the file has " << want;
      }
    }
    return ::testing::AssertionSuccess();
  }
};

// WD2 read with a layout and channel count settled beforehand, as the probe leaves them.
template <WD2Layout kLayout, std::int32_t kChannels>
struct Wd2 {
  using Format = WD2Format;
  using Record = WD2Event;
  using Sample = float;
  static constexpr bool kMulti = kLayout == WD2Layout::MultiChannel;
  static constexpr const char* kName = kMulti ? "WD2MultiChannel" : "WD2SingleChannel";
  static constexpr std::size_t kHeader = kMulti ? 28 : 24;
  static constexpr std::size_t kUnitBytes = 4 * kChannels;
  static Format format() { return {kLayout, kChannels}; }

  // channels x samples x 4; from 2^31 up the block cannot be read.
  static std::uint64_t block_of(std::uint32_t samples) {
    return std::uint64_t{kChannels} * samples * 4u;
  }

  static Bytes header(Rng& rng, std::uint32_t samples) {
    // A record's own channel count is reported, never used to size its block.
    std::optional<std::int32_t> channels;
    if (kMulti) channels = rng.one_in(5) ? static_cast<std::int32_t>(rng.next()) : kChannels;
    return wd2_header({.event_counter = static_cast<std::uint32_t>(rng.next()),
                       .timestamp = rng.next(),
                       .samples = samples,
                       .sampling_period = rng.next(),
                       .channels = channels});
  }
  static Bytes record(Rng& rng, std::size_t units) {
    Bytes out = header(rng, static_cast<std::uint32_t>(units));
    append_random(out, kUnitBytes * units, rng);
    return out;
  }
  static Bytes unreadable(Rng& rng) {
    for (;;) {
      const auto samples = static_cast<std::uint32_t>(rng.next());
      if (block_of(samples) >= 0x80000000u) return header(rng, samples);
    }
  }
  static Bytes oversized(Rng& rng) {
    for (;;) {
      const auto samples = static_cast<std::uint32_t>(rng.next());
      const std::uint64_t block = block_of(samples);
      if (block >= 0x10000000u && block < 0x80000000u) return header(rng, samples);
    }
  }

  static Expected expected_at(const Bytes& file, std::size_t offset) {
    if (file.size() - offset < kHeader) return {Expect::End, 0};
    const std::uint64_t block = block_of(static_cast<std::uint32_t>(le_at(file, offset + 12, 4)));
    return expected_in(file, offset, kHeader,
                       block >= 0x80000000u
                           ? std::nullopt
                           : std::optional<std::size_t>(static_cast<std::size_t>(block)));
  }

  static ::testing::AssertionResult same_header(const Record& r, const Bytes& file,
                                                std::size_t at) {
    const auto channels =
        kMulti ? static_cast<std::int32_t>(le_at(file, at + 24, 4)) : std::int32_t{kChannels};
    if (r.event_counter != le_at(file, at, 4) || r.timestamp != le_at(file, at + 4, 8) ||
        r.samples != le_at(file, at + 12, 4) || r.sampling_period != le_at(file, at + 16, 8) ||
        r.channels != channels) {
      return ::testing::AssertionFailure()
             << "header " << r.event_counter << " " << r.timestamp << " " << r.samples << " "
             << r.sampling_period << " " << r.channels << ", the file has " << le_at(file, at, 4)
             << " " << le_at(file, at + 4, 8) << " " << le_at(file, at + 12, 4) << " "
             << le_at(file, at + 16, 8) << " " << channels;
    }
    return ::testing::AssertionSuccess();
  }
};

// Compared as bits, never as float values: an x87 load would quieten a signalling NaN.
template <class Sample>
::testing::AssertionResult same_samples(const Sample* row, std::size_t count, const Bytes& file,
                                        std::size_t at) {
  using Bits = std::conditional_t<sizeof(Sample) == 2, std::uint16_t, std::uint32_t>;
  for (std::size_t i = 0; i < count; ++i) {
    Bits got;
    std::memcpy(&got, row + i, sizeof(Bits));
    const auto want = static_cast<Bits>(le_at(file, at + i * sizeof(Bits), sizeof(Bits)));
    if (got != want) {
      return ::testing::AssertionFailure()
             << "sample " << i << " has bits " << got << ", the file " << want;
    }
  }
  return ::testing::AssertionSuccess();
}

template <class L>
void expect_record_at(const typename L::Record& header, const typename L::Sample* samples,
                      std::size_t count, const Bytes& file, std::size_t offset, std::size_t block) {
  EXPECT_TRUE(L::same_header(header, file, offset)) << "record at " << offset;
  EXPECT_EQ(count * sizeof(typename L::Sample), block) << "record at " << offset;
  EXPECT_TRUE(same_samples(samples, std::min(count, block / sizeof(typename L::Sample)), file,
                           offset + L::kHeader))
      << "record at " << offset;
}

template <class Record>
Record header_copy(const Record& from) {
  Record to{};
  for_each_header_field<Record>(
      [&](auto, const auto& field) { to.*field.member = from.*field.member; });
  return to;
}

template <class Record, class Columns>
Record header_of_row(const Columns& columns, std::size_t row) {
  Record record{};
  for_each_header_field<Record>([&](auto index, const auto& field) {
    record.*field.member = std::get<decltype(index)::value>(columns)[row];
  });
  return record;
}

// A file of well-formed records whose lengths follow one of a few patterns (one length, runs,
// every record its own), with now and then a header whose block cannot be read, one that claims
// more than the file holds, or a last record cut short. Only the walk says what is read from it.
template <class L>
Bytes generated_file(std::uint64_t seed, std::size_t max_size) {
  Rng rng(seed);
  const std::size_t near_buffer = BufReader::kInitialReadAhead / L::kUnitBytes;
  const std::size_t beyond = (BufReader::kMaxReadAhead + 5000) / L::kUnitBytes;
  const std::vector<std::size_t> small = {0, 1, 2, 3, 5, 8, 13, 40, 100, 250};
  // Blocks just under 8 KiB, the largest whose rows are moved into place after a plain read.
  const std::size_t under_8k = (std::size_t{8192} - 1) / L::kUnitBytes;
  const std::vector<std::size_t> large = {under_8k, near_buffer - 7, near_buffer, beyond};
  auto length = [&] { return rng.one_in(5) ? rng.pick(large) : rng.pick(small); };
  const std::size_t count = rng.pick(std::vector<std::size_t>{0, 1, 2, 5, 40, 300, 1100});
  const bool faults = rng.one_in(3);
  const std::size_t oversized_at = rng.one_in(5) ? rng.below(count + 1) : count + 1;
  Bytes file;
  std::size_t units = length();
  std::size_t run = 0;
  std::size_t last = 0;
  for (std::size_t r = 0; r < count && file.size() < max_size; ++r) {
    if (faults && rng.one_in(25)) append(file, L::unreadable(rng));
    if (r == oversized_at) append(file, L::oversized(rng));
    switch (seed % 4) {
      case 0:  // one length throughout
        break;
      case 1:
        if (run == 0) {
          units = length();
          run = rng.pick(std::vector<std::size_t>{1, 2, 3, 10, 50, 600});
        }
        --run;
        break;
      case 2:
        units = length();
        break;
      default:
        if (rng.one_in(100)) units = length();
    }
    const Bytes record = L::record(rng, units);
    append(file, record);
    last = record.size();
  }
  if (count == oversized_at) append(file, L::oversized(rng));
  if (last != 0 && rng.one_in(3)) file.resize(file.size() - 1 - rng.below(last - 1));
  return file;
}

// Where the walk finds records or headers whose block cannot be read, from the start.
template <class L>
std::vector<std::size_t> boundaries_of(const Bytes& file) {
  std::vector<std::size_t> boundaries{0};
  for (Expected at = L::expected_at(file, 0); at.what == Expect::Record || at.what == Expect::Fault;
       at = L::expected_at(file, boundaries.back())) {
    boundaries.push_back(boundaries.back() + L::kHeader + at.block);
  }
  return boundaries;
}

// Without a size to go by (a FIFO), a batch's storage grows with its rows up to the limits.
inline BatchLimits random_limits(Rng& rng) {
  return {rng.pick(std::vector<std::size_t>{1, 2, 3, 7, 64, 511, 512, 513, 1025, 100000}),
          rng.pick(std::vector<std::size_t>{0, 1, 100, 4096, 65536, 1 << 20, 1 << 26})};
}

template <class L>
using Reader = RecordReader<typename L::Format>;

// What one call did, as the walk sees it.
enum class Step { Records, Fault, End, Failed, Broken };

template <class L>
std::size_t consumed(Reader<L>& reader, const Bytes& file) {
  const auto left = reader.bytes_left();
  if (!left) {
    ADD_FAILURE() << "no size for a regular file";
    return 0;
  }
  return file.size() - static_cast<std::size_t>(*left);
}

// One next() checked against the walk, which moves on past what it read.
template <class L>
Step step_next(Reader<L>& reader, const Bytes& file, std::size_t& offset, bool seekable) {
  const Expected expected = L::expected_at(file, offset);
  try {
    auto outcome = reader.next();
    if (is_end(outcome)) {
      EXPECT_TRUE(expected.what == Expect::Cut || expected.what == Expect::End)
          << "the records end at " << offset;
      // A cut-short record is consumed.
      if (seekable) {
        EXPECT_EQ(consumed<L>(reader, file), file.size());
      }
      return Step::End;
    }
    if (auto* error = std::get_if<IoError>(&outcome)) {
      ADD_FAILURE() << "next() at " << offset << ": " << error->text();
      return Step::Broken;
    }
    if (expected.what != Expect::Record) {
      ADD_FAILURE() << "a record at " << offset << " where the file has none";
      return Step::Broken;
    }
    const auto& record = std::get<0>(outcome);
    expect_record_at<L>(record, record.data.data(), record.data.size(), file, offset,
                        expected.block);
    offset += L::kHeader + expected.block;
    return Step::Records;
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "capacity overflow");
    if (expected.what != Expect::Fault) {
      ADD_FAILURE() << "a fault at " << offset << " where the file has a readable block";
      return Step::Broken;
    }
    offset += L::kHeader;
    return Step::Fault;
  }
}

// One read_batch() checked against the walk: its rows are the records the walk finds, of one
// length, within the limits, as many as the limits allow unless the next record in the file is
// of another length or there is none; the input then stands past the last row, past the header
// it gave back, or at the end of a record cut short. A failure goes to `failure`.
template <class L>
Step step_batch(Reader<L>& reader, const Bytes& file, std::size_t& offset,
                const BatchLimits& limits, bool seekable, std::optional<IoError>* failure) {
  using Sample = typename L::Sample;
  const Expected expected = L::expected_at(file, offset);
  std::optional<ReadOutcome<Batch<typename L::Record, Sample>>> outcome;
  try {
    outcome.emplace(read_batch(reader, limits));
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "capacity overflow");
    if (expected.what != Expect::Fault) {
      ADD_FAILURE() << "a fault at " << offset << " where the file has a readable block";
      return Step::Broken;
    }
    offset += L::kHeader;
    return Step::Fault;
  }
  if (is_end(*outcome)) {
    EXPECT_TRUE(expected.what == Expect::Cut || expected.what == Expect::End)
        << "the records end at " << offset;
    if (seekable) {
      EXPECT_EQ(consumed<L>(reader, file), file.size());
    }
    return Step::End;
  }
  if (auto* error = std::get_if<IoError>(&*outcome)) {
    if (failure == nullptr) ADD_FAILURE() << "read_batch at " << offset << ": " << error->text();
    if (failure != nullptr) *failure = *error;
    return Step::Failed;
  }
  if (expected.what != Expect::Record) {
    ADD_FAILURE() << "a batch at " << offset << " where the file has no record";
    return Step::Broken;
  }
  const auto& batch = std::get<0>(*outcome);
  const std::size_t row_bytes = batch.row_length * sizeof(Sample);
  EXPECT_GE(batch.rows, 1u);
  EXPECT_LE(batch.rows, limits.max_events);
  // A row larger than max_bytes still makes a batch of one.
  if (batch.rows > 1) {
    EXPECT_LE(batch.rows * row_bytes, limits.max_bytes);
  }
  std::size_t column_rows_min = batch.rows;
  std::size_t column_rows_max = batch.rows;
  std::apply(
      [&](const auto&... column) {
        column_rows_min = std::min({column_rows_min, column.size()...});
        column_rows_max = std::max({column_rows_max, column.size()...});
      },
      batch.header);
  EXPECT_EQ(column_rows_min, batch.rows);
  EXPECT_EQ(column_rows_max, batch.rows);
  EXPECT_EQ(batch.samples.size(), batch.rows * batch.row_length);
  if (::testing::Test::HasFailure()) return Step::Broken;
  for (std::size_t row = 0; row < batch.rows; ++row) {
    const Expected at = L::expected_at(file, offset);
    if (at.what != Expect::Record || at.block != row_bytes) {
      ADD_FAILURE() << "row " << row << " of " << row_bytes << " bytes at " << offset
                    << " where the file has no such record";
      return Step::Broken;
    }
    expect_record_at<L>(header_of_row<typename L::Record>(batch.header, row),
                        batch.samples.data() + row * batch.row_length, batch.row_length, file,
                        offset, at.block);
    offset += L::kHeader + at.block;
  }
  if (batch.failure) {
    if (failure == nullptr)
      ADD_FAILURE() << "failure after " << offset << ": " << batch.failure->text();
    if (failure != nullptr) *failure = batch.failure;
    return Step::Failed;
  }
  const Expected after = L::expected_at(file, offset);
  const bool same_length_follows = after.what == Expect::Record && after.block == row_bytes;
  if (same_length_follows) {
    const std::size_t limit = std::max<std::size_t>(
        1, std::min(limits.max_events,
                    row_bytes == 0 ? limits.max_events : limits.max_bytes / row_bytes));
    EXPECT_EQ(batch.rows, limit) << "a batch at " << offset << " ended early";
  }
  if (seekable) {
    const std::size_t now = consumed<L>(reader, file);
    const bool read_to_the_end =
        after.what == Expect::End || (after.what == Expect::Cut && after.block == row_bytes);
    if (same_length_follows) {
      EXPECT_EQ(now, offset);
    } else if (read_to_the_end) {
      EXPECT_TRUE(now == offset || now == file.size()) << now << " after rows ending at " << offset;
    } else {
      EXPECT_TRUE(now == offset || now == offset + L::kHeader)
          << now << " after rows ending at " << offset;
    }
  }
  return Step::Records;
}

struct LayoutName {
  template <class L>
  static std::string GetName(int) {
    return L::kName;
  }
};

using Layouts =
    ::testing::Types<Wd1, Wd2<WD2Layout::SingleChannel, 1>, Wd2<WD2Layout::MultiChannel, 3>>;

}  // namespace pluvo::testing

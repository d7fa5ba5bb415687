// read_batch() and RecordReader::read_rows() against a walk over the same bytes that follows the
// record layouts on its own: generated WD1 and WD2 files, read from disk and through FIFOs fed in
// small pieces.
#include <fcntl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
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

namespace pluvo {
namespace {

using namespace pluvo::testing;

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

std::uint64_t le_at(const Bytes& bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{bytes.at(offset + i)} << (8 * i);
  return value;
}

void append_random(Bytes& out, std::size_t count, Rng& rng) {
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

Expected expected_in(const Bytes& file, std::size_t offset, std::size_t header,
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
  const std::vector<std::size_t> large = {near_buffer - 7, near_buffer, beyond};
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

// Without a size to go by (a FIFO), a batch's storage grows with its rows up to the limits.
BatchLimits random_limits(Rng& rng) {
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

// Batches of limits drawn anew for every call, now and then a record taken by next() between
// them, until the records end; then the end repeats.
template <class L>
void read_all_in_batches(Reader<L>& reader, const Bytes& file, std::size_t offset, Rng& rng,
                         bool seekable) {
  for (int calls = 0; calls < 100000; ++calls) {
    const Step step =
        rng.one_in(6) ? step_next<L>(reader, file, offset, seekable)
                      : step_batch<L>(reader, file, offset, random_limits(rng), seekable, nullptr);
    if (step == Step::End) {
      EXPECT_EQ(step_batch<L>(reader, file, offset, random_limits(rng), seekable, nullptr),
                Step::End);
      EXPECT_EQ(step_next<L>(reader, file, offset, seekable), Step::End);
      return;
    }
    if (step == Step::Broken || ::testing::Test::HasFailure()) return;
  }
  ADD_FAILURE() << "the records never ended";
}

template <class L>
class BatchReaderTest : public ::testing::Test {};

struct LayoutName {
  template <class L>
  static std::string GetName(int) {
    return L::kName;
  }
};

using Layouts =
    ::testing::Types<Wd1, Wd2<WD2Layout::SingleChannel, 1>, Wd2<WD2Layout::MultiChannel, 3>>;
TYPED_TEST_SUITE(BatchReaderTest, Layouts, LayoutName);

TYPED_TEST(BatchReaderTest, BatchesEndToEndGiveTheRecordsOfTheWalk) {
  using L = TypeParam;
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng rng(seed + 1000);
    Bytes file = generated_file<L>(seed, std::size_t{1} << 20);
    TempDir dir;
    const std::string path = dir.write("batches.wd", file);
    Reader<L> reader(open_input(path), L::format());
    read_all_in_batches<L>(reader, file, 0, rng, true);
    if (::testing::Test::HasFailure()) return;

    // Whatever ended the records, the reader stands at the end of the file: what is appended
    // is read next.
    const std::size_t old_end = file.size();
    Bytes more;
    for (std::size_t r = 1 + rng.below(40); r > 0; --r) append(more, L::record(rng, 3));
    append_to_file(path, more);
    append(file, more);
    read_all_in_batches<L>(reader, file, old_end, rng, true);
    if (::testing::Test::HasFailure()) return;
  }
}

// From a record boundary of the walk, batches up to another boundary give the walk's records
// between them, and the position after each call is where the walk stands (a header given back
// not counted), or the end of the data.
TYPED_TEST(BatchReaderTest, SeekAndStopGiveTheRecordsBetweenTwoBoundaries) {
  using L = TypeParam;
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng rng(seed + 3000);
    const Bytes file = generated_file<L>(seed + 300, std::size_t{1} << 18);
    std::vector<std::size_t> boundaries{0};
    for (Expected at = L::expected_at(file, 0);
         at.what == Expect::Record || at.what == Expect::Fault;
         at = L::expected_at(file, boundaries.back())) {
      boundaries.push_back(boundaries.back() + L::kHeader + at.block);
    }
    TempDir dir;
    Reader<L> reader(open_input(dir.write("seek.wd", file)), L::format());
    for (int pair = 0; pair < 20; ++pair) {
      std::size_t first = rng.below(boundaries.size());
      std::size_t last = rng.below(boundaries.size());
      if (first > last) std::swap(first, last);
      BatchLimits limits = random_limits(rng);
      limits.stop = boundaries[last];
      const auto moved = reader.seek(boundaries[first]);
      ASSERT_TRUE(moved.ok());
      ASSERT_EQ(moved.value(), boundaries[first]);
      ASSERT_EQ(reader.position(), boundaries[first]);
      std::size_t offset = boundaries[first];
      for (int calls = 0;; ++calls) {
        ASSERT_LT(calls, 100000);
        try {
          auto outcome = read_batch(reader, limits);
          if (is_end(outcome)) break;
          const auto& batch = std::get<0>(outcome);
          for (std::size_t row = 0; row < batch.rows; ++row) {
            ASSERT_LT(offset, limits.stop);
            const Expected at = L::expected_at(file, offset);
            ASSERT_EQ(at.what, Expect::Record);
            ASSERT_EQ(at.block, batch.row_length * sizeof(typename L::Sample));
            offset += L::kHeader + at.block;
          }
        } catch (const InternalFault&) {
          ASSERT_EQ(L::expected_at(file, offset).what, Expect::Fault);
          offset += L::kHeader;
        }
        ASSERT_EQ(reader.position(), offset);
      }
      EXPECT_EQ(offset, boundaries[last]);
      EXPECT_EQ(reader.position(), offset);
    }
  }
}

TYPED_TEST(BatchReaderTest, BatchesThroughAFifoInSmallPieces) {
  using L = TypeParam;
  struct Feed {
    std::size_t file_size;
    std::size_t largest_piece;
  };
  const Feed feeds[] = {{6000, 8},      {20000, 2 * L::kHeader}, {60000, 300},
                        {200000, 4096}, {200000, 1500},          {100000, L::kHeader + 1}};
  for (std::size_t i = 0; i < std::size(feeds); ++i) {
    SCOPED_TRACE("feed " + std::to_string(i));
    Rng rng(i + 2000);
    const Bytes file = generated_file<L>(i + 100, feeds[i].file_size);
    std::vector<std::size_t> pieces;
    for (int p = 0; p < 101; ++p) pieces.push_back(1 + rng.below(feeds[i].largest_piece));
    TempDir dir;
    const std::string fifo = make_fifo(dir, "records.fifo");
    FifoFeeder feeder(fifo, file, pieces);
    Reader<L> reader(open_input(fifo), L::format());
    read_all_in_batches<L>(reader, file, 0, rng, false);
    if (::testing::Test::HasFailure()) return;
  }
}

// read_rows() with row lengths that fit the next record or not and row counts of every size:
// it takes exactly the records of that length that follow, up to the count, each stored once
// and in order; it stops before a record of another length or with an unreadable block (whose
// header is given back) and at the end of the data (a cut-short record of the length consumed).
// next() between the calls goes on from wherever the rows stopped.
TYPED_TEST(BatchReaderTest, ReadRowsTakesTheRecordsOfOneLengthThatFollow) {
  using L = TypeParam;
  using Sample = typename L::Sample;
  using Record = typename L::Record;
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng rng(seed + 3000);
    const bool seekable = seed % 5 != 4;
    const Bytes file = generated_file<L>(seed + 300, seekable ? 300000 : 60000);
    TempDir dir;
    std::optional<FifoFeeder> feeder;
    std::string path;
    if (seekable) {
      path = dir.write("rows.wd", file);
    } else {
      path = make_fifo(dir, "rows.fifo");
      feeder.emplace(path, file, std::vector<std::size_t>{1, 700, 5, 24, 4096, 3, 31, 1000});
    }
    Reader<L> reader(open_input(path), L::format());
    std::size_t offset = 0;
    bool given_back = false;  // the header at `offset` was read and given back
    for (int call = 0; call < 100000; ++call) {
      const Expected expected = L::expected_at(file, offset);
      if (rng.one_in(3)) {
        const Step step = step_next<L>(reader, file, offset, seekable);
        given_back = false;
        if (step == Step::End || step == Step::Broken) break;
        continue;
      }
      const bool fits = expected.what == Expect::Record && !rng.one_in(4);
      const std::size_t row_length =
          fits ? expected.block / sizeof(Sample)
               : rng.pick(std::vector<std::size_t>{0, 1, 2, 3, 12, 100, 8000});
      const std::size_t row_bytes = row_length * sizeof(Sample);
      std::size_t max_rows =
          rng.pick(std::vector<std::size_t>{0, 1, 2, 3, 7, 100, 511, 512, 513, 700});
      if (row_bytes != 0)
        max_rows = std::min(max_rows, std::max<std::size_t>(1, 4000000 / row_bytes));
      std::vector<Sample> storage(max_rows * row_length);
      std::vector<std::pair<Record, std::size_t>> stored;
      const auto rows = reader.read_rows(std::span(storage), row_length, max_rows,
                                         [&](const Record& header, std::size_t row) {
                                           stored.emplace_back(header_copy(header), row);
                                         });

      std::size_t at = offset;
      std::vector<std::size_t> starts;
      Expected next = expected;
      while (starts.size() < max_rows && next.what == Expect::Record && next.block == row_bytes) {
        starts.push_back(at);
        at += L::kHeader + next.block;
        next = L::expected_at(file, at);
      }
      ASSERT_EQ(rows.count, starts.size()) << "rows of " << row_length << " from " << offset;
      EXPECT_FALSE(rows.failure.has_value());
      ASSERT_EQ(stored.size(), rows.count);
      for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].second, i);
        expect_record_at<L>(stored[i].first, storage.data() + i * row_length, row_length, file,
                            starts[i], row_bytes);
      }
      if (::testing::Test::HasFailure()) return;

      const bool stopped_by_count = starts.size() == max_rows;
      const bool read_to_the_end =
          next.what == Expect::End || (next.what == Expect::Cut && next.block == row_bytes);
      if (seekable) {
        const std::size_t now = consumed<L>(reader, file);
        if (stopped_by_count) {
          EXPECT_EQ(now, at + (given_back && starts.empty() ? L::kHeader : 0));
        } else if (read_to_the_end) {
          EXPECT_EQ(now, file.size());
        } else {
          EXPECT_EQ(now, at + L::kHeader) << "the header at " << at << " is given back";
        }
      }
      if (stopped_by_count) {
        given_back = given_back && starts.empty();
      } else {
        given_back = !read_to_the_end;
      }
      // Past a cut-short record the input stands at the end of the data.
      offset = !stopped_by_count && read_to_the_end ? file.size() : at;
      if (::testing::Test::HasFailure()) return;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

// A read failure partway: the rows before it come first, in the batch that meets it (or the
// batch before, when it meets it at its first record), the failure is reported once, and the
// reader has finished for good.
TYPED_TEST(BatchReaderTest, FailureComesOnceAfterTheRowsBeforeIt) {
  using L = TypeParam;
  struct Case {
    std::size_t units;
    std::size_t max_events;
    bool rows_before;  // the failing batch must hold rows
  };
  const std::size_t beyond = (BufReader::kMaxReadAhead + 5000) / L::kUnitBytes;
  for (const Case& c : {Case{20, 100000, true}, Case{20, 3, false}, Case{1, 600, true},
                        Case{beyond, 100000, false}}) {
    SCOPED_TRACE("units " + std::to_string(c.units) + ", max_events " +
                 std::to_string(c.max_events));
    Rng rng(c.units + c.max_events);
    Bytes file;
    while (file.size() < 3 * BufReader::kMaxReadAhead) append(file, L::record(rng, c.units));
    TempDir dir;
    const std::string path = dir.write("failing.wd", file);
    Reader<L> reader(open_input(path), L::format());
    const int fd = descriptor_of(path);
    ASSERT_GE(fd, 0);
    std::size_t offset = 0;
    ASSERT_EQ(step_batch<L>(reader, file, offset, {2, std::size_t{1} << 22}, true, nullptr),
              Step::Records);
    replace_descriptor(fd, dir.path().string(), O_RDONLY | O_DIRECTORY);

    const BatchLimits limits{c.max_events, std::size_t{1} << 22};
    std::optional<IoError> failure;
    Step step = Step::Records;
    std::size_t before = offset;
    for (int call = 0; call < 100000 && step == Step::Records; ++call) {
      before = offset;
      step = step_batch<L>(reader, file, offset, limits, false, &failure);
    }
    ASSERT_EQ(step, Step::Failed);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind(), ErrorKind::IsADirectory);
    EXPECT_EQ(failure->os_code(), EISDIR);
    if (c.rows_before) {
      EXPECT_GT(offset, before) << "the failing batch held no rows";
    }
    EXPECT_LT(offset, file.size());

    // Finished: nothing more is read, even once the file is back.
    EXPECT_TRUE(is_end(read_batch(reader, limits)));
    EXPECT_TRUE(is_end(reader.next()));
    replace_descriptor(fd, path, O_RDONLY);
    EXPECT_TRUE(is_end(read_batch(reader, limits)));
    EXPECT_TRUE(is_end(reader.next()));
  }
}

// A file of 2^30 zero bytes is 44739242 empty single-channel WD2 records, more rows than the cap
// leaves room for: the batch begins with fewer and grows while memory lasts, its first record
// kept, and the next batch goes on after it.
TEST(BatchStorageTest, ShortOfMemoryABatchHoldsWhatFits) {
  TempDir dir;
  const std::string path = dir.write("zeros.wd2", {});
  std::filesystem::resize_file(path, std::uint64_t{1} << 30);
  const int code = run_with_memory_cap(kMemoryHeadroom, [&] {
    RecordReader<WD2Format> reader(open_input(path), WD2Format{WD2Layout::SingleChannel, 1});
    const BatchLimits limits{std::numeric_limits<std::size_t>::max(), 1};
    std::size_t rows = 0;
    for (int call = 0; call < 2; ++call) {
      auto outcome = read_batch(reader, limits);
      const auto* batch = std::get_if<Batch<WD2Event, float>>(&outcome);
      if (batch == nullptr || batch->rows == 0 || batch->failure) return 1;
      if (std::get<0>(batch->header).size() != batch->rows) return 2;
      rows += batch->rows;
    }
    const std::uint64_t left = reader.bytes_left().value_or(0);
    return (std::uint64_t{1} << 30) - left == std::uint64_t{rows} * 24 ? 0 : 3;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace pluvo

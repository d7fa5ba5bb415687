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
#include "record_walk.hpp"
#include "test_files.hpp"
#include "test_support.hpp"

namespace pluvo {
namespace {

using namespace pluvo::testing;

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
    const std::vector<std::size_t> boundaries = boundaries_of<L>(file);
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

// next() reads records of one size ahead, several per system call: checked against the walk of
// the bytes while batches, headers given back, seeks and the index take turns with it, from disk
// and through FIFOs fed in small pieces, and with a read failure partway through what it holds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/record_reader.hpp"
#include "core/records_ahead.hpp"
#include "record_walk.hpp"
#include "test_files.hpp"
#include "test_support.hpp"

namespace pluvo {
namespace {

using namespace pluvo::testing;

// Block sizes around the smallest read ahead and up to the largest one that fits the read-ahead,
// runs of one size among small records, and now and then a header whose block cannot be read.
template <class L>
Bytes file_of_runs(std::uint64_t seed, std::size_t max_size) {
  Rng rng(seed);
  auto units_of = [](std::size_t bytes) { return (bytes + L::kUnitBytes - 1) / L::kUnitBytes; };
  constexpr std::size_t kMin = RecordsAhead<typename L::Format>::kMinBlockBytes;
  const std::vector<std::size_t> lengths = {0,
                                            3,
                                            100,
                                            units_of(kMin) - 1,
                                            units_of(kMin),
                                            units_of(16384),
                                            units_of(100000),
                                            (BufReader::kMaxReadAhead - L::kHeader) / L::kUnitBytes,
                                            units_of(BufReader::kMaxReadAhead + 1)};
  Bytes file;
  while (file.size() < max_size) {
    const std::size_t units = rng.pick(lengths);
    for (std::size_t run = rng.pick(std::vector<std::size_t>{1, 2, 5, 30, 200});
         run > 0 && file.size() < max_size; --run) {
      if (rng.one_in(60)) append(file, L::unreadable(rng));
      append(file, L::record(rng, units));
    }
  }
  if (rng.one_in(2)) file.resize(file.size() - 1 - rng.below(L::kHeader + 100));
  return file;
}

// The next header, given back at once: the one of the walk, and the position stays.
template <class L>
void header_given_back(Reader<L>& reader, const Bytes& file, std::size_t offset) {
  auto outcome = reader.next_header();
  auto* header = std::get_if<typename L::Record>(&outcome);
  ASSERT_NE(header, nullptr) << "at " << offset;
  EXPECT_TRUE(L::same_header(*header, file, offset));
  reader.give_back(std::move(*header));
  EXPECT_EQ(reader.position(), offset);
}

// Mostly next(), with batches, headers given back and, where the input can seek, seeks to the
// walk's boundaries and the index between; position() is where the walk stands after each call.
// At the end, a regular file grows by records of one size and is read on.
template <class L>
void read_in_turns(Reader<L>& reader, Bytes& file, const std::string& path, bool seekable,
                   Rng& rng) {
  const std::vector<std::size_t> boundaries = boundaries_of<L>(file);
  std::size_t offset = 0;
  for (int call = 0, grown = 0; call < 100000; ++call) {
    const Expect expected = L::expected_at(file, offset).what;
    const std::size_t choice = rng.below(20);
    Step step = Step::Records;
    if (choice < 2) {
      step = step_batch<L>(reader, file, offset, random_limits(rng), seekable, nullptr);
    } else if (choice < 4 && expected != Expect::End) {
      header_given_back<L>(reader, file, offset);
    } else if (choice == 4 && seekable) {
      offset = rng.pick(boundaries);
      ASSERT_TRUE(reader.seek(offset).ok());
    } else if (choice == 5 && seekable) {
      // The index reads every header: one whose block cannot be read fails it.
      const auto all = boundaries_of<L>(file);
      const bool unreadable = std::any_of(all.begin(), all.end(), [&](std::size_t at) {
        return L::expected_at(file, at).what == Expect::Fault;
      });
      try {
        ASSERT_TRUE(reader.index().ok());
        EXPECT_FALSE(unreadable);
      } catch (const InternalFault&) {
        EXPECT_TRUE(unreadable);
      }
    } else {
      step = step_next<L>(reader, file, offset, seekable);
    }
    ASSERT_NE(step, Step::Broken);
    if (::testing::Test::HasFailure()) return;
    // A batch may take a cut-short record after its rows and stand at the end of the data.
    const Expect now = L::expected_at(file, offset).what;
    const std::uint64_t position = reader.position();
    if (step == Step::End ||
        (now != Expect::Record && now != Expect::Fault && position == file.size())) {
      EXPECT_EQ(position, file.size());
      if (!seekable || grown++ == 2) return;
      const std::size_t old_end = file.size();
      Bytes more;
      for (std::size_t r = 1 + rng.below(40); r > 0; --r) append(more, L::record(rng, 2048));
      append_to_file(path, more);
      append(file, more);
      offset = old_end;
      continue;
    }
    ASSERT_EQ(position, offset);
    // A header given back by a batch or by the calls above is consumed; next() takes it.
    if (seekable && choice >= 6) {
      EXPECT_EQ(reader.bytes_left(), std::optional<std::uint64_t>(file.size() - offset));
    }
  }
  ADD_FAILURE() << "the records never ended";
}

template <class L>
class RecordsAheadTest : public ::testing::Test {};
TYPED_TEST_SUITE(RecordsAheadTest, Layouts, LayoutName);

TYPED_TEST(RecordsAheadTest, NextAgreesWithTheWalkBetweenEveryOtherCall) {
  using L = TypeParam;
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng rng(seed + 5000);
    const bool seekable = seed % 4 != 3;
    Bytes file = file_of_runs<L>(seed, seekable ? std::size_t{3} << 20 : std::size_t{1} << 20);
    const TempDir dir;
    std::optional<FifoFeeder> feeder;
    std::string path = dir.write("runs.wd", file);
    if (!seekable) {
      path = make_fifo(dir, "runs.fifo");
      feeder.emplace(path, file,
                     std::vector<std::size_t>{1, 700, 5, L::kHeader, 4096, 3, 20000, 31, 65536});
    }
    Reader<L> reader(open_input(path), L::format());
    read_in_turns<L>(reader, file, path, seekable, rng);
    if (::testing::Test::HasFailure()) return;
  }
}

// The file turns into a directory while records are held ahead: every record whose bytes were
// read before comes first, then the failure, once, where the bytes read end; the reader has
// finished until a seek, after which it reads the file again from there.
TYPED_TEST(RecordsAheadTest, ReadFailureComesAfterTheRecordsThatArrived) {
  using L = TypeParam;
  constexpr std::size_t kMin = RecordsAhead<typename L::Format>::kMinBlockBytes;
  for (const std::size_t block : {kMin, std::size_t{16384}, std::size_t{100000}}) {
    SCOPED_TRACE("block " + std::to_string(block));
    Rng rng(block);
    Bytes file;
    const std::size_t units = (block + L::kUnitBytes - 1) / L::kUnitBytes;
    for (int r = 0; r < 40 || file.size() < 3 * BufReader::kMaxReadAhead; ++r) {
      append(file, L::record(rng, units));
    }
    const TempDir dir;
    const std::string path = dir.write("failing.wd", file);
    Reader<L> reader(open_input(path), L::format());
    const int fd = descriptor_of(path);
    ASSERT_GE(fd, 0);
    std::size_t offset = 0;
    for (std::size_t r = 1 + rng.below(20); r > 0; --r) {
      ASSERT_EQ(step_next<L>(reader, file, offset, true), Step::Records);
    }
    const auto read_so_far = static_cast<std::size_t>(::lseek(fd, 0, SEEK_CUR));
    replace_descriptor(fd, dir.path().string(), O_RDONLY | O_DIRECTORY);

    std::optional<IoError> failure;
    while (!failure) {
      const Expected at = L::expected_at(file, offset);
      auto outcome = reader.next();
      if (auto* error = std::get_if<IoError>(&outcome)) {
        failure = *error;
        break;
      }
      ASSERT_TRUE(std::holds_alternative<typename L::Record>(outcome));
      const auto& record = std::get<0>(outcome);
      expect_record_at<L>(record, record.data.data(), record.data.size(), file, offset, at.block);
      offset += L::kHeader + at.block;
      ASSERT_LE(offset, read_so_far) << "a record that never arrived";
    }
    EXPECT_EQ(failure->os_code(), EISDIR);
    EXPECT_GT(offset + L::kHeader + L::expected_at(file, offset).block, read_so_far)
        << "a record that arrived whole was not given";
    EXPECT_TRUE(is_end(reader.next()));

    replace_descriptor(fd, path, O_RDONLY);
    EXPECT_TRUE(is_end(reader.next()));
    ASSERT_TRUE(reader.seek(offset).ok());
    while (step_next<L>(reader, file, offset, true) == Step::Records) {
    }
    EXPECT_EQ(offset, file.size());
  }
}

}  // namespace
}  // namespace pluvo

// The header walk of index_records() against the offsets the records were written at.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/internal_fault.hpp"
#include "core/wd1_reader.hpp"
#include "test_files.hpp"
#include "test_support.hpp"

namespace pluvo {
namespace {

using namespace pluvo::testing;

WD1Reader open_wd1(const std::string& path) {
  auto input = BufReader::open(path);
  if (!input.ok()) throw std::runtime_error("cannot open " + path + ": " + input.error().text());
  return WD1Reader(std::move(input).value());
}

std::vector<std::uint64_t> offsets_of(const RecordIndex& index) {
  return {index.offsets.data(), index.offsets.data() + index.offsets.size()};
}

// Records of random lengths, some with blocks far larger than the walk's read-ahead, cut at
// random lengths: the index holds the records that are whole, and the reader's own reading is
// untouched by it.
TEST(RecordIndex, OffsetsAreWhereTheWholeRecordsStart) {
  Rng rng(7);
  for (int round = 0; round < 30; ++round) {
    Bytes file;
    std::vector<std::uint64_t> starts;
    std::vector<std::int64_t> lengths;
    const std::size_t records = 1 + rng.below(400);
    for (std::size_t n = 0; n < records; ++n) {
      const std::size_t samples = rng.one_in(50) ? 150'000 + rng.below(100'000) : rng.below(300);
      starts.push_back(file.size());
      lengths.push_back(static_cast<std::int64_t>(samples));
      append(file, wd1_record(static_cast<std::int32_t>(n), std::vector<std::uint16_t>(samples)));
    }
    starts.push_back(file.size());
    const std::size_t cut = rng.one_in(3) ? file.size() : rng.below(file.size() + 1);
    file.resize(cut);
    std::size_t whole = 0;
    while (starts[whole + 1] <= cut && whole < records) ++whole;

    const TempDir dir;
    auto reader = open_wd1(dir.write("events.wd1", file));
    const auto first = reader.next();  // the walk starts at 0 wherever the reader stands
    auto index = reader.index();
    ASSERT_TRUE(index.ok());
    EXPECT_EQ(offsets_of(index.value()),
              std::vector<std::uint64_t>(starts.begin(), starts.begin() + whole + 1));
    EXPECT_EQ(std::vector<std::int64_t>(index.value().lengths.data(),
                                        index.value().lengths.data() + whole),
              std::vector<std::int64_t>(lengths.begin(), lengths.begin() + whole));
    EXPECT_EQ(index.value().file_size, cut);
    EXPECT_EQ(index.value().tail, cut - starts[whole]);
    std::size_t read = is_end(first) ? 0 : 1;
    while (!is_end(reader.next())) ++read;
    EXPECT_EQ(read, whole);
  }
}

TEST(RecordIndex, AnImpossibleBlockFaultsAsReadingItWould) {
  Bytes file = wd1_record(0, {1, 2});
  append(file, wd1_header({.event_size = 3}));
  const TempDir dir;
  auto reader = open_wd1(dir.write("events.wd1", file));
  EXPECT_THROW(static_cast<void>(reader.index()), InternalFault);
}

TEST(RecordIndex, AnInputThatCannotSeekFails) {
  const TempDir dir;
  const std::string path = make_fifo(dir, "events.fifo");
  const FifoFeeder feeder(path, wd1_record(0, {1}), {64});
  auto reader = open_wd1(path);
  const auto index = reader.index();
  ASSERT_FALSE(index.ok());
  EXPECT_EQ(index.error().text(), "Illegal seek (os error 29)");
}

}  // namespace
}  // namespace pluvo

// WD1Reader against files written byte by byte from the record layout.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/internal_fault.hpp"
#include "core/wd1_reader.hpp"
#include "test_files.hpp"
#include "test_support.hpp"

namespace pluvo {
namespace {

using namespace pluvo::testing;

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

WD1Reader open_wd1(const std::string& path) {
  auto input = BufReader::open(path);
  if (!input.ok()) throw std::runtime_error("cannot open " + path + ": " + input.error().text());
  return WD1Reader(std::move(input).value());
}

std::vector<std::uint16_t> samples_of(const WD1Event& event) {
  return {event.data.data(), event.data.data() + event.data.size()};
}

// The record wd1_record() writes, as the reader must give it back.
void expect_same_record(const WD1Event& event, std::int32_t counter,
                        const std::vector<std::uint16_t>& samples) {
  EXPECT_EQ(event.event_size, static_cast<std::int32_t>(24 + 2 * samples.size()));
  EXPECT_EQ(event.board_id, 1);
  EXPECT_EQ(event.pattern, 2);
  EXPECT_EQ(event.board_channel, 3);
  EXPECT_EQ(event.event_counter, counter);
  EXPECT_EQ(event.timestamp, 1000 + counter);
  EXPECT_EQ(samples_of(event), samples);
}

TEST(WD1ReaderTest, EmptyFileEndsEveryTimeUntilItGrows) {
  TempDir dir;
  const std::string path = dir.write("empty.wd1", {});
  WD1Reader reader = open_wd1(path);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_end(reader.next()));
  EXPECT_FALSE(reader.finished());

  append_to_file(path, wd1_record(4, {10, 20}));
  expect_same_record(expect_record(reader.next()), 4, {10, 20});
  EXPECT_TRUE(is_end(reader.next()));
}

// A file too short for one header: its bytes are used up, so a record appended later is read
// from its own first byte.
class WD1ShortFileTest : public ::testing::TestWithParam<int> {};

TEST_P(WD1ShortFileTest, EndsAndConsumesTheBytes) {
  Bytes partial;
  for (int i = 0; i < GetParam(); ++i) partial.push_back(static_cast<std::uint8_t>(0xA0 + i));
  TempDir dir;
  const std::string path = dir.write("short.wd1", partial);
  WD1Reader reader = open_wd1(path);
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_FALSE(reader.finished());

  append_to_file(path, wd1_record(9, {0xBEEF, 0x0102, 0xFFFF}));
  expect_same_record(expect_record(reader.next()), 9, {0xBEEF, 0x0102, 0xFFFF});
  EXPECT_TRUE(is_end(reader.next()));
}

INSTANTIATE_TEST_SUITE_P(WD1OneTo23Bytes, WD1ShortFileTest, ::testing::Range(1, 24));

TEST(WD1ReaderTest, DecodesHeaderAndLittleEndianSamples) {
  Bytes file = wd1_header({.event_size = 28,
                           .board_id = 1,
                           .pattern = 0,
                           .board_channel = 3,
                           .event_counter = 7,
                           .timestamp = 1000});
  append(file, {0x34, 0x12, 0xCD, 0xAB});
  ASSERT_EQ(file.size(), 28u);
  TempDir dir;
  WD1Reader reader = open_wd1(dir.write("one.wd1", file));

  const WD1Event event = expect_record(reader.next());
  EXPECT_EQ(event.event_size, 28);
  EXPECT_EQ(event.board_id, 1);
  EXPECT_EQ(event.pattern, 0);
  EXPECT_EQ(event.board_channel, 3);
  EXPECT_EQ(event.event_counter, 7);
  EXPECT_EQ(event.timestamp, 1000);
  EXPECT_EQ(samples_of(event), (std::vector<std::uint16_t>{4660, 43981}));
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_FALSE(reader.finished());
}

TEST(WD1ReaderTest, HeaderFieldsKeepTheirSign) {
  Bytes file = wd1_header({.event_size = 24,
                           .board_id = kMin,
                           .pattern = -2,
                           .board_channel = kMax,
                           .event_counter = -7,
                           .timestamp = 0});
  for (std::size_t i = 20; i < 24; ++i) file[i] = 0xFF;
  TempDir dir;
  WD1Reader reader = open_wd1(dir.write("signs.wd1", file));

  const WD1Event event = expect_record(reader.next());
  EXPECT_EQ(event.board_id, kMin);
  EXPECT_EQ(event.pattern, -2);
  EXPECT_EQ(event.board_channel, kMax);
  EXPECT_EQ(event.event_counter, -7);
  EXPECT_EQ(event.timestamp, -1);
  EXPECT_TRUE(event.data.empty());
  EXPECT_NE(event.data.data(), nullptr);
}

// An odd event_size counts one byte more than the reader takes; that byte opens the next header.
struct RoundingCase {
  std::int32_t event_size;
  std::vector<std::uint16_t> samples;
};

void PrintTo(const RoundingCase& c, std::ostream* os) {
  *os << "event_size " << c.event_size;
}

class WD1SizeRoundingTest : public ::testing::TestWithParam<RoundingCase> {};

TEST_P(WD1SizeRoundingTest, NextHeaderStartsAfterTheEvenBlock) {
  const RoundingCase& c = GetParam();
  Bytes file = wd1_header({.event_size = c.event_size, .event_counter = 1});
  for (std::uint16_t s : c.samples) append_le(file, s);
  append(file, wd1_record(2, {0x5A5A, 0x0001}));
  TempDir dir;
  WD1Reader reader = open_wd1(dir.write("rounding.wd1", file));

  const WD1Event first = expect_record(reader.next());
  EXPECT_EQ(first.event_size, c.event_size);
  EXPECT_EQ(first.event_counter, 1);
  EXPECT_EQ(samples_of(first), c.samples);
  expect_same_record(expect_record(reader.next()), 2, {0x5A5A, 0x0001});
  EXPECT_TRUE(is_end(reader.next()));
}

INSTANTIATE_TEST_SUITE_P(WD1Sizes, WD1SizeRoundingTest,
                         ::testing::Values(RoundingCase{23, {}}, RoundingCase{24, {}},
                                           RoundingCase{25, {}}, RoundingCase{26, {0x0201}},
                                           RoundingCase{27, {0x0201}},
                                           RoundingCase{29, {0x0201, 0x0403}}));

// Records 1 and 2 whole, record 3 cut after `GetParam()` of its 32 bytes.
class WD1CutShortTest : public ::testing::TestWithParam<int> {};

TEST_P(WD1CutShortTest, CompleteRecordsThenEndForGood) {
  Bytes file = wd1_record(1, {11});
  append(file, wd1_record(2, {21, 22}));
  const Bytes last = wd1_record(3, {31, 32, 33, 34});
  file.insert(file.end(), last.begin(), last.begin() + GetParam());
  TempDir dir;
  WD1Reader reader = open_wd1(dir.write("cut.wd1", file));

  expect_same_record(expect_record(reader.next()), 1, {11});
  expect_same_record(expect_record(reader.next()), 2, {21, 22});
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_end(reader.next()));
  EXPECT_FALSE(reader.finished());
}

INSTANTIATE_TEST_SUITE_P(WD1InHeaderAndBlock, WD1CutShortTest, ::testing::Range(1, 32));

TEST(WD1ReaderTest, DirectoryFailsOnceThenEndsWithoutReading) {
  TempDir dir;
  auto input = BufReader::open(dir.path().string());
  ASSERT_TRUE(input.ok());
  WD1Reader reader(std::move(input).value());

  const IoError error = expect_error(reader.next());
  EXPECT_EQ(error.kind(), ErrorKind::IsADirectory);
  EXPECT_TRUE(error.is_os_error());
  EXPECT_EQ(error.os_code(), EISDIR);
  EXPECT_EQ(error.text(), "Is a directory (os error 21)");
  EXPECT_TRUE(reader.finished());
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_TRUE(reader.finished());
}

TEST(WD1ReaderTest, ReadFailureMidFileLatchesTheReader) {
  // More records than one read-ahead holds, so reading on needs the descriptor again.
  const std::vector<std::uint16_t> samples(200, 0x1234);
  Bytes file;
  for (std::int32_t counter = 0; counter < 2000; ++counter) {
    append(file, wd1_record(counter, samples));
  }
  ASSERT_GT(file.size(), 2 * BufReader::kMaxReadAhead);
  TempDir dir;
  const std::string path = dir.write("latch.wd1", file);
  WD1Reader reader = open_wd1(path);
  const int fd = descriptor_of(path);
  ASSERT_GE(fd, 0);

  expect_same_record(expect_record(reader.next()), 0, samples);
  replace_descriptor(fd, dir.path().string(), O_RDONLY | O_DIRECTORY);
  // What was read ahead before the failure is still delivered, in order.
  auto outcome = reader.next();
  std::int32_t counter = 1;
  for (; std::holds_alternative<WD1Event>(outcome); ++counter, outcome = reader.next()) {
    EXPECT_EQ(std::get<WD1Event>(outcome).event_counter, counter);
  }
  EXPECT_LT(counter, 2000);
  EXPECT_EQ(expect_error(std::move(outcome)).kind(), ErrorKind::IsADirectory);
  EXPECT_TRUE(reader.finished());

  // Readable again from offset 0: a reader that still read would now get record 0.
  replace_descriptor(fd, path, O_RDONLY);
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_TRUE(is_end(reader.next()));
}

struct BlockLengthCase {
  std::int32_t event_size;
  std::int32_t length;
};

void PrintTo(const BlockLengthCase& c, std::ostream* os) {
  *os << "event_size " << c.event_size << " -> " << c.length;
}

class WD1BlockLengthTest : public ::testing::TestWithParam<BlockLengthCase> {};

TEST_P(WD1BlockLengthTest, RoundsTowardZeroModulo2To32) {
  EXPECT_EQ(wd1_sample_block_length(GetParam().event_size), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(
    WD1Boundaries, WD1BlockLengthTest,
    ::testing::Values(BlockLengthCase{kMin, 2147483624}, BlockLengthCase{kMin + 1, 2147483624},
                      BlockLengthCase{kMin + 23, 2147483646}, BlockLengthCase{kMin + 24, kMin},
                      BlockLengthCase{kMin + 25, -2147483646}, BlockLengthCase{-1, -24},
                      BlockLengthCase{0, -24}, BlockLengthCase{21, -2}, BlockLengthCase{22, -2},
                      BlockLengthCase{23, 0}, BlockLengthCase{24, 0}, BlockLengthCase{25, 0},
                      BlockLengthCase{26, 2}, BlockLengthCase{27, 2}, BlockLengthCase{29, 4},
                      BlockLengthCase{8192, 8168}, BlockLengthCase{kMax - 1, 2147483622},
                      BlockLengthCase{kMax, 2147483622}));

// A negative block length faults after the header; the reader then goes on at byte 24.
class WD1NegativeBlockTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(WD1NegativeBlockTest, FaultsAfterTheHeader) {
  Bytes file = wd1_header({.event_size = GetParam(), .event_counter = 99});
  append(file, wd1_record(5, {1, 2, 3}));
  TempDir dir;
  WD1Reader reader = open_wd1(dir.write("negative.wd1", file));

  expect_capacity_overflow([&] { (void)reader.next(); });
  EXPECT_FALSE(reader.finished());
  expect_same_record(expect_record(reader.next()), 5, {1, 2, 3});
  EXPECT_TRUE(is_end(reader.next()));
}

INSTANTIATE_TEST_SUITE_P(WD1EventSizes, WD1NegativeBlockTest,
                         ::testing::Values(22, 21, 1, 0, -1, -2147483624, -2147483623));

std::uint16_t generated_sample(std::size_t record, std::size_t k) {
  auto x = static_cast<std::uint32_t>(record) * 0x9E3779B1u +
           static_cast<std::uint32_t>(k) * 0x85EBCA77u + 1u;
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 12;
  return static_cast<std::uint16_t>(x ^ (x >> 16));
}

struct PlannedRecord {
  std::size_t samples;
  bool odd_size;  // event_size counts one byte more than the record holds
};

Bytes generated_file(const std::vector<PlannedRecord>& plan) {
  Bytes out;
  for (std::size_t r = 0; r < plan.size(); ++r) {
    const auto counter = static_cast<std::int32_t>(r);
    append(out, wd1_header({.event_size = static_cast<std::int32_t>(24 + 2 * plan[r].samples +
                                                                    (plan[r].odd_size ? 1 : 0)),
                            .board_id = counter * 3,
                            .pattern = -counter,
                            .board_channel = counter % 16,
                            .event_counter = counter,
                            .timestamp = counter * 1000 + 7}));
    for (std::size_t k = 0; k < plan[r].samples; ++k) append_le(out, generated_sample(r, k));
  }
  return out;
}

TEST(WD1ReaderTest, RecordsAcrossBufferRefills) {
  constexpr std::size_t kBuffer = BufReader::kInitialReadAhead;
  std::vector<PlannedRecord> plan;
  // Pairs of records: a filler ends `s` bytes before the read-ahead window does, so the next
  // refill lands `s` bytes into the following record. That record's block is big enough to be
  // read past the buffer, which makes the record after it start a fresh window.
  std::vector<std::size_t> refill_offsets;
  for (std::size_t s = 0; s <= 30; s += 2) refill_offsets.push_back(s);
  for (std::size_t s : {1000u, 8166u, 8168u}) refill_offsets.push_back(s);
  for (std::size_t s : refill_offsets) {
    plan.push_back({(kBuffer - s - 24) / 2, s % 4 == 2});
    plan.push_back({kBuffer + s + 24, s % 3 == 0});
  }
  // Then sizes around the buffer's and past the first storage chunk's (1 MiB), in no order.
  for (std::size_t samples : {4084u, 4096u, 4097u, 0u, 1u, 600000u, 3u, 1200000u, 20000u, 2u}) {
    plan.push_back({samples, samples % 2 == 1});
  }
  TempDir dir;
  WD1Reader reader = open_wd1(dir.write("many.wd1", generated_file(plan)));

  for (std::size_t r = 0; r < plan.size(); ++r) {
    SCOPED_TRACE("record " + std::to_string(r));
    const WD1Event event = expect_record(reader.next());
    const auto counter = static_cast<std::int32_t>(r);
    EXPECT_EQ(event.event_size,
              static_cast<std::int32_t>(24 + 2 * plan[r].samples + (plan[r].odd_size ? 1 : 0)));
    EXPECT_EQ(event.board_id, counter * 3);
    EXPECT_EQ(event.pattern, -counter);
    EXPECT_EQ(event.board_channel, counter % 16);
    EXPECT_EQ(event.event_counter, counter);
    EXPECT_EQ(event.timestamp, counter * 1000 + 7);
    ASSERT_EQ(event.data.size(), plan[r].samples);
    for (std::size_t k = 0; k < plan[r].samples; ++k) {
      if (event.data[k] != generated_sample(r, k)) {
        ADD_FAILURE() << "sample " << k << " is " << event.data[k] << ", expected "
                      << generated_sample(r, k);
        break;
      }
    }
  }
  EXPECT_TRUE(is_end(reader.next()));
}

// A corrupt event_size in a 100-byte file must not reserve what it claims.
class WD1CorruptSizeTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(WD1CorruptSizeTest, ShortFileEndsWithinLittleMemory) {
  Bytes file = wd1_header({.event_size = GetParam(), .event_counter = 1});
  file.resize(100, 0x55);
  TempDir dir;
  const std::string path = dir.write("corrupt.wd1", file);
  const int code = run_with_memory_cap(kMemoryHeadroom, [&] {
    WD1Reader reader = open_wd1(path);
    return is_end(reader.next()) && is_end(reader.next()) && !reader.finished() ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(WD1HugeBlocks, WD1CorruptSizeTest,
                         ::testing::Values(kMax, kMax - 1, kMin, kMin + 23));

// A whole record of 2^31 - 1 bytes, sparse on disk, between two small ones; the cap stops its
// block from growing. The record is passed over whole, or up to the end of a file cut inside it.
class WD1BlockBeyondMemoryTest : public ::testing::TestWithParam<bool> {};

TEST_P(WD1BlockBeyondMemoryTest, ThrowsBadAllocPastTheRecord) {
  const bool whole = GetParam();
  TempDir dir;
  Bytes head = wd1_record(1, {11});
  append(head, wd1_header({.event_size = kMax, .event_counter = 2}));
  const std::string path = dir.write("huge.wd1", head);
  std::filesystem::resize_file(path, head.size() + (whole ? 2147483622u : 1000000000u));
  if (whole) append_to_file(path, wd1_record(3, {31, 32}));
  const int code = run_with_memory_cap(kMemoryHeadroom, [&] {
    WD1Reader reader = open_wd1(path);
    if (expect_record(reader.next()).event_counter != 1) return 2;
    try {
      (void)reader.next();
      return 1;
    } catch (const std::bad_alloc&) {
    }
    if (whole && expect_record(reader.next()).event_counter != 3) return 3;
    return is_end(reader.next()) && !reader.finished() ? 0 : 4;
  });
  EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(WD1Files, WD1BlockBeyondMemoryTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Whole" : "CutShort"; });

}  // namespace
}  // namespace pluvo

// WD2Reader, its layout probe included, against files written byte by byte from the two record
// layouts.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/internal_fault.hpp"
#include "core/wd2_reader.hpp"
#include "test_files.hpp"
#include "test_support.hpp"

namespace pluvo {
namespace {

using namespace pluvo::testing;

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

WD2Reader probe_wd2(const std::string& path) {
  auto reader = WD2Reader::probe(open_input(path));
  if (!reader.ok()) throw std::runtime_error("probe failed: " + reader.error().text());
  return std::move(reader).value();
}

// Copied as bits, never as float values: an x87 load would quieten a signalling NaN.
std::vector<std::uint32_t> bits_in(const SampleBuffer<float>& data) {
  std::vector<std::uint32_t> out(data.size());
  if (!out.empty()) std::memcpy(out.data(), data.data(), data.size() * sizeof(float));
  return out;
}

using Bits = std::vector<std::uint32_t>;

// A multi-channel record as most tests use it: period 16, timestamp 1000 x counter.
Bytes multi_record(std::uint32_t counter, std::uint32_t samples, std::int32_t channels,
                   const Bits& values) {
  return wd2_record({.event_counter = counter,
                     .timestamp = 1000ull * counter,
                     .samples = samples,
                     .sampling_period = 16,
                     .channels = channels},
                    values);
}

// Counters 7 and 8, two samples of two channels each: 88 bytes.
Bytes two_multi_records() {
  Bytes file =
      multi_record(7, 2, 2, {bits_of(0.5f), bits_of(-1.0f), bits_of(2.0f), bits_of(3.25f)});
  append(file,
         multi_record(8, 2, 2, {bits_of(4.0f), bits_of(5.0f), bits_of(-6.0f), bits_of(7.0f)}));
  return file;
}

// Counters 1 and 2, three samples 0.0, 1.0, 2.0 each: two 36-byte records.
Bytes two_single_records(std::uint32_t first_sample_bits = 0) {
  Bytes file;
  for (std::uint32_t counter : {1u, 2u}) {
    append(file, wd2_record({.event_counter = counter,
                             .timestamp = 100ull * counter,
                             .samples = 3,
                             .sampling_period = 8,
                             .channels = std::nullopt},
                            {counter == 1 ? first_sample_bits : 0u, bits_of(1.0f), bits_of(2.0f)}));
  }
  return file;
}

void expect_multi_record(const WD2Event& event, std::uint32_t counter, std::uint32_t samples,
                         std::int32_t channels, const Bits& values) {
  EXPECT_EQ(event.event_counter, counter);
  EXPECT_EQ(event.timestamp, 1000ull * counter);
  EXPECT_EQ(event.samples, samples);
  EXPECT_EQ(event.sampling_period, 16u);
  EXPECT_EQ(event.channels, channels);
  EXPECT_EQ(bits_in(event.data), values);
}

TEST(WD2ReaderTest, ReadsTwoMultiChannelRecords) {
  const Bytes file = two_multi_records();
  ASSERT_EQ(file.size(), 88u);
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("multi.wd2", file));
  EXPECT_EQ(reader.layout(), WD2Layout::MultiChannel);
  EXPECT_EQ(reader.probed_channels(), 2);

  expect_multi_record(expect_record(reader.next()), 7, 2, 2,
                      {bits_of(0.5f), bits_of(-1.0f), bits_of(2.0f), bits_of(3.25f)});
  expect_multi_record(expect_record(reader.next()), 8, 2, 2,
                      {bits_of(4.0f), bits_of(5.0f), bits_of(-6.0f), bits_of(7.0f)});
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_TRUE(is_end(reader.next()));
}

TEST(WD2ReaderTest, ReadsSingleChannelRecords) {
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("single.wd2", two_single_records()));
  EXPECT_EQ(reader.layout(), WD2Layout::SingleChannel);
  EXPECT_EQ(reader.probed_channels(), 1);

  for (std::uint32_t counter : {1u, 2u}) {
    const WD2Event event = expect_record(reader.next());
    EXPECT_EQ(event.event_counter, counter);
    EXPECT_EQ(event.timestamp, 100ull * counter);
    EXPECT_EQ(event.samples, 3u);
    EXPECT_EQ(event.sampling_period, 8u);
    EXPECT_EQ(event.channels, 1);
    EXPECT_EQ(bits_in(event.data), (Bits{0, bits_of(1.0f), bits_of(2.0f)}));
  }
  EXPECT_TRUE(is_end(reader.next()));
}

TEST(WD2ReaderTest, ReadsRecordAppendedAfterTheEnd) {
  TempDir dir;
  const std::string path = dir.write("growing.wd2", two_multi_records());
  WD2Reader reader = probe_wd2(path);
  (void)expect_record(reader.next());
  (void)expect_record(reader.next());
  EXPECT_TRUE(is_end(reader.next()));

  append_to_file(path, multi_record(9, 1, 2, {bits_of(9.0f), bits_of(-9.0f)}));
  expect_multi_record(expect_record(reader.next()), 9, 1, 2, {bits_of(9.0f), bits_of(-9.0f)});
  EXPECT_TRUE(is_end(reader.next()));
}

// Files the probe cannot get through: the end of the data comes first.
struct ShortProbeCase {
  const char* name;
  Bytes file;
};

void PrintTo(const ShortProbeCase& c, std::ostream* os) {
  *os << c.name;
}

class WD2ShortProbeTest : public ::testing::TestWithParam<ShortProbeCase> {};

TEST_P(WD2ShortProbeTest, FailsAndReleasesTheInput) {
  TempDir dir;
  const std::string path = dir.write("short.wd2", GetParam().file);
  const std::size_t before = open_descriptors().size();
  const auto reader = WD2Reader::probe(open_input(path));
  EXPECT_EQ(open_descriptors().size(), before);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(reader.error().kind(), ErrorKind::UnexpectedEof);
  EXPECT_EQ(reader.error().text(), "failed to fill whole buffer");
}

std::vector<ShortProbeCase> short_probe_cases() {
  Bytes second_header_cut = two_multi_records();
  second_header_cut.resize(44 + 27);
  Bytes first_block_cut = two_multi_records();
  first_block_cut.resize(43);
  Bytes one_record_and_a_byte = two_multi_records();
  one_record_and_a_byte.resize(45);
  return {
      {"Empty", {}},
      {"HeaderCut", Bytes(27, 0)},
      {"FirstBlockCut", first_block_cut},
      // Record 1 is whole in both readings, but neither is followed by a header or by nothing.
      {"SecondHeaderCut", second_header_cut},
      {"OneRecordAndAByte", one_record_and_a_byte},
  };
}

INSTANTIATE_TEST_SUITE_P(WD2Files, WD2ShortProbeTest, ::testing::ValuesIn(short_probe_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WD2ProbeTest, DirectoryFailsAndReleasesTheInput) {
  TempDir dir;
  const std::size_t before = open_descriptors().size();
  const auto reader = WD2Reader::probe(open_input(dir.path().string()));
  EXPECT_EQ(open_descriptors().size(), before);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(reader.error().kind(), ErrorKind::IsADirectory);
  EXPECT_EQ(reader.error().text(), "Is a directory (os error 21)");
}

TEST(WD2ProbeTest, FifoCannotBeRewound) {
  TempDir dir;
  const std::string fifo = (dir.path() / "records.fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Bytes file = two_multi_records();
  const std::size_t before = open_descriptors().size();
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    (void)!::write(fd, file.data(), file.size());
    ::close(fd);
  });
  auto input = BufReader::open(fifo);
  if (!input.ok()) {
    // Let the writer's open return so the thread can be joined.
    const int unblock = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer.join();
    ::close(unblock);
    FAIL() << input.error().text();
  }
  const auto reader = WD2Reader::probe(std::move(input).value());
  writer.join();
  EXPECT_EQ(open_descriptors().size(), before);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(reader.error().kind(), ErrorKind::NotSeekable);
  EXPECT_TRUE(reader.error().is_os_error());
  EXPECT_EQ(reader.error().os_code(), 29);
  EXPECT_EQ(reader.error().text(), "Illegal seek (os error 29)");
}

TEST(WD2ProbeTest, CountersWrapAroundModulo2To32) {
  Bytes file = multi_record(4294967295u, 1, 2, {1, 2});
  append(file, multi_record(0, 1, 2, {3, 4}));
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("wrap.wd2", file));
  EXPECT_EQ(reader.layout(), WD2Layout::MultiChannel);
  EXPECT_EQ(reader.probed_channels(), 2);
  expect_multi_record(expect_record(reader.next()), 4294967295u, 1, 2, {1, 2});
  expect_multi_record(expect_record(reader.next()), 0, 1, 2, {3, 4});
  EXPECT_TRUE(is_end(reader.next()));
}

// Two well-formed multi-channel records that differ in one probed field are read as
// single-channel: the 24-byte header leaves record 1's channels field as its first sample.
struct MismatchCase {
  const char* name;
  WD2Header second;
};

void PrintTo(const MismatchCase& c, std::ostream* os) {
  *os << c.name;
}

class WD2ProbeMismatchTest : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(WD2ProbeMismatchTest, FallsBackToOneChannel) {
  const WD2Header first{.event_counter = 7,
                        .timestamp = 1,
                        .samples = 2,
                        .sampling_period = 0x0000000100000010ull,
                        .channels = 2};
  const WD2Header& second = GetParam().second;
  Bytes file = wd2_record(first, {11, 12, 13, 14});
  append(file, wd2_record(second,
                          Bits(static_cast<std::size_t>(*second.channels) * second.samples, 0x42)));
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("mismatch.wd2", file));
  EXPECT_EQ(reader.layout(), WD2Layout::SingleChannel);
  EXPECT_EQ(reader.probed_channels(), 1);

  const WD2Event event = expect_record(reader.next());
  EXPECT_EQ(event.event_counter, 7u);
  EXPECT_EQ(event.timestamp, 1u);
  EXPECT_EQ(event.samples, 2u);
  EXPECT_EQ(event.sampling_period, 0x0000000100000010ull);
  EXPECT_EQ(event.channels, 1);
  EXPECT_EQ(bits_in(event.data), (Bits{2, 11}));
}

constexpr WD2Header second_header(std::uint32_t counter, std::uint32_t samples,
                                  std::uint64_t period, std::int32_t channels) {
  return {.event_counter = counter,
          .timestamp = 2,
          .samples = samples,
          .sampling_period = period,
          .channels = channels};
}

INSTANTIATE_TEST_SUITE_P(
    WD2Fields, WD2ProbeMismatchTest,
    ::testing::Values(MismatchCase{"SameCounter", second_header(7, 2, 0x0000000100000010ull, 2)},
                      MismatchCase{"CounterPlusTwo", second_header(9, 2, 0x0000000100000010ull, 2)},
                      MismatchCase{"CounterMinusOne",
                                   second_header(6, 2, 0x0000000100000010ull, 2)},
                      MismatchCase{"OtherSamples", second_header(8, 3, 0x0000000100000010ull, 2)},
                      MismatchCase{"PeriodLowBits", second_header(8, 2, 0x0000000100000011ull, 2)},
                      MismatchCase{"PeriodHighBits", second_header(8, 2, 0x0000000000000010ull, 2)},
                      MismatchCase{"OtherChannels", second_header(8, 2, 0x0000000100000010ull, 3)}),
    [](const auto& info) { return std::string(info.param.name); });

// Whatever count two consecutive, agreeing records carry selects the 28-byte header; the
// blocks are count x samples x 4 bytes.
struct AgreedCountCase {
  const char* name;
  std::int32_t channels;
  std::uint32_t samples;
  std::size_t values_per_record;
};

void PrintTo(const AgreedCountCase& c, std::ostream* os) {
  *os << c.name;
}

class WD2AgreedCountTest : public ::testing::TestWithParam<AgreedCountCase> {};

TEST_P(WD2AgreedCountTest, ReadsEveryRecordWithItsChannelsField) {
  const AgreedCountCase& c = GetParam();
  auto values = [&](std::uint32_t counter) {
    Bits out;
    for (std::size_t k = 0; k < c.values_per_record; ++k) {
      out.push_back(counter << 16 | static_cast<std::uint32_t>(k));
    }
    return out;
  };
  Bytes file;
  for (std::uint32_t counter : {3u, 4u, 5u}) {
    append(file, multi_record(counter, c.samples, c.channels, values(counter)));
  }
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("agreed.wd2", file));
  EXPECT_EQ(reader.layout(), WD2Layout::MultiChannel);
  EXPECT_EQ(reader.probed_channels(), c.channels);
  for (std::uint32_t counter : {3u, 4u, 5u}) {
    SCOPED_TRACE(counter);
    expect_multi_record(expect_record(reader.next()), counter, c.samples, c.channels,
                        values(counter));
  }
  EXPECT_TRUE(is_end(reader.next()));
}

INSTANTIATE_TEST_SUITE_P(WD2Counts, WD2AgreedCountTest,
                         ::testing::Values(AgreedCountCase{"Two", 2, 3, 6},
                                           AgreedCountCase{"One", 1, 3, 3},
                                           AgreedCountCase{"Zero", 0, 5, 0},
                                           AgreedCountCase{"MinusOneNoSamples", -1, 0, 0},
                                           AgreedCountCase{"Int32MinNoSamples", kMin, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Record 3 of a file probed to two channels carries its own channels field.
class WD2OwnChannelsTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(WD2OwnChannelsTest, IsReportedButNeverSizesTheBlock) {
  Bytes file = two_multi_records();
  append(file, multi_record(9, 2, GetParam(), {91, 92, 93, 94}));
  append(file, multi_record(10, 1, 2, {101, 102}));
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("own.wd2", file));
  ASSERT_EQ(reader.probed_channels(), 2);
  (void)expect_record(reader.next());
  (void)expect_record(reader.next());
  expect_multi_record(expect_record(reader.next()), 9, 2, GetParam(), {91, 92, 93, 94});
  expect_multi_record(expect_record(reader.next()), 10, 1, 2, {101, 102});
  EXPECT_TRUE(is_end(reader.next()));
}

INSTANTIATE_TEST_SUITE_P(WD2Values, WD2OwnChannelsTest,
                         ::testing::Values(5, 1, 0, 3, -1, kMin, 1 << 30));

TEST(WD2ReaderTest, AllOnesChannelsFieldIsMinusOne) {
  Bytes file = two_multi_records();
  Bytes third = multi_record(9, 1, 0, {91, 92});
  for (std::size_t i = 24; i < 28; ++i) third[i] = 0xFF;
  append(file, third);
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("ffff.wd2", file));
  (void)expect_record(reader.next());
  (void)expect_record(reader.next());
  expect_multi_record(expect_record(reader.next()), 9, 1, -1, {91, 92});
  EXPECT_TRUE(is_end(reader.next()));
}

TEST(WD2ReaderTest, ZeroSamplesGiveEmptyBuffers) {
  Bytes file;
  for (std::uint32_t counter : {1u, 2u, 3u}) append(file, multi_record(counter, 0, 2, {}));
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("empty-blocks.wd2", file));
  ASSERT_EQ(reader.probed_channels(), 2);
  for (std::uint32_t counter : {1u, 2u, 3u}) {
    const WD2Event event = expect_record(reader.next());
    EXPECT_EQ(event.event_counter, counter);
    EXPECT_TRUE(event.data.empty());
    EXPECT_NE(event.data.data(), nullptr);
  }
  EXPECT_TRUE(is_end(reader.next()));
}

TEST(WD2ReaderTest, SampleBitsPassUnchanged) {
  const Bits edge_bits = {0x7FC00001, 0x80000000, 0x00000000, 0x7F800000, 0xFF800000,
                          0x00000001, 0x807FFFFF, 0x7F800001, 0xFFFFFFFF, 0x7F7FFFFF};
  Bytes file = multi_record(1, 5, 2, edge_bits);
  // The NaN with a payload, byte by byte as stored.
  ASSERT_EQ(file[28], 0x01);
  ASSERT_EQ(file[29], 0x00);
  ASSERT_EQ(file[30], 0xC0);
  ASSERT_EQ(file[31], 0x7F);
  const Bits reversed(edge_bits.rbegin(), edge_bits.rend());
  append(file, multi_record(2, 5, 2, reversed));
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("bits.wd2", file));
  expect_multi_record(expect_record(reader.next()), 1, 5, 2, edge_bits);
  expect_multi_record(expect_record(reader.next()), 2, 5, 2, reversed);
}

// The last record cut after some of its bytes, in either layout.
struct CutCase {
  bool multi;
  std::size_t kept;
};

void PrintTo(const CutCase& c, std::ostream* os) {
  *os << (c.multi ? "multi-channel" : "single-channel") << ", " << c.kept << " bytes kept";
}

class WD2CutShortTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(WD2CutShortTest, CompleteRecordsThenEndForGood) {
  const CutCase& c = GetParam();
  Bytes file;
  Bytes last;
  if (c.multi) {
    file = two_multi_records();
    last = multi_record(9, 2, 2, {91, 92, 93, 94});
  } else {
    file = two_single_records();
    last = wd2_record(
        {.event_counter = 3, .samples = 3, .sampling_period = 8, .channels = std::nullopt},
        {31, 32, 33});
  }
  ASSERT_LT(c.kept, last.size());
  file.insert(file.end(), last.begin(), last.begin() + static_cast<std::ptrdiff_t>(c.kept));
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("cut.wd2", file));
  ASSERT_EQ(reader.layout(), c.multi ? WD2Layout::MultiChannel : WD2Layout::SingleChannel);
  EXPECT_EQ(expect_record(reader.next()).event_counter, c.multi ? 7u : 1u);
  EXPECT_EQ(expect_record(reader.next()).event_counter, c.multi ? 8u : 2u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_end(reader.next()));
}

std::vector<CutCase> cut_cases() {
  std::vector<CutCase> cases;
  for (std::size_t kept = 1; kept < 44; ++kept) cases.push_back({true, kept});
  for (std::size_t kept = 1; kept < 36; ++kept) cases.push_back({false, kept});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(WD2InHeaderAndBlock, WD2CutShortTest, ::testing::ValuesIn(cut_cases()),
                         [](const auto& info) {
                           return std::string(info.param.multi ? "Multi" : "Single") +
                                  std::to_string(info.param.kept);
                         });

TEST(WD2ReaderTest, ReadFailureMidFileLatchesTheReader) {
  // Record 1's block is read past the buffer straight from the file, so record 2's header
  // needs a fresh read from the descriptor.
  const Bits big(4096, 0x3F800000);
  Bytes file = multi_record(1, 2048, 2, big);
  append(file, multi_record(2, 2048, 2, big));
  TempDir dir;
  const std::string path = dir.write("latch.wd2", file);
  WD2Reader reader = probe_wd2(path);
  const int fd = descriptor_of(path);
  ASSERT_GE(fd, 0);

  expect_multi_record(expect_record(reader.next()), 1, 2048, 2, big);
  replace_descriptor(fd, dir.path().string(), O_RDONLY | O_DIRECTORY);
  const IoError error = expect_error(reader.next());
  EXPECT_EQ(error.kind(), ErrorKind::IsADirectory);
  EXPECT_EQ(error.text(), "Is a directory (os error 21)");

  // Readable again from offset 0: a reader that still read would now get record 1.
  replace_descriptor(fd, path, O_RDONLY);
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_TRUE(is_end(reader.next()));
}

struct BlockLengthCase {
  std::int32_t channels;
  std::uint32_t samples;
  std::optional<std::uint32_t> length;  // none: the product reaches 2^31
};

void PrintTo(const BlockLengthCase& c, std::ostream* os) {
  *os << c.channels << " x " << c.samples << " x 4";
}

class WD2BlockLengthTest : public ::testing::TestWithParam<BlockLengthCase> {};

TEST_P(WD2BlockLengthTest, RefusesEveryProductFrom2To31) {
  const BlockLengthCase& c = GetParam();
  EXPECT_EQ(wd2_sample_block_length(c.channels, c.samples), c.length);
}

// Products at and around 2^31 and 2^32 and their multiples, which 32 bits would wrap to small
// blocks, up to the largest two 32-bit factors give.
INSTANTIATE_TEST_SUITE_P(
    WD2Products, WD2BlockLengthTest,
    ::testing::Values(
        BlockLengthCase{2, 2, 16u}, BlockLengthCase{1, 0, 0u}, BlockLengthCase{0, 0xFFFFFFFF, 0u},
        BlockLengthCase{kMax, 0, 0u}, BlockLengthCase{1, 0x1FFFFFFF, 0x7FFFFFFCu},
        BlockLengthCase{1, 0x20000000, std::nullopt}, BlockLengthCase{2, 268435455, 0x7FFFFFF8u},
        BlockLengthCase{2, 268435456, std::nullopt}, BlockLengthCase{1, 0x3FFFFFFF, std::nullopt},
        BlockLengthCase{1, 0x40000000, std::nullopt}, BlockLengthCase{1, 0x40000002, std::nullopt},
        BlockLengthCase{2, 0x80000001, std::nullopt},
        BlockLengthCase{0x3F000000, 1024, std::nullopt},
        BlockLengthCase{0x3F800000, 3, std::nullopt}, BlockLengthCase{3, 0x55555556, std::nullopt},
        BlockLengthCase{65536, 65536, std::nullopt},
        BlockLengthCase{kMax, 0xFFFFFFFF, std::nullopt}, BlockLengthCase{-1, 0, 0u},
        BlockLengthCase{-1, 1, std::nullopt}, BlockLengthCase{-1, 0x40000000, std::nullopt},
        BlockLengthCase{-1, 0xFFFFFFFF, std::nullopt},
        BlockLengthCase{-1073741824, 1, std::nullopt}, BlockLengthCase{kMin, 1, std::nullopt},
        BlockLengthCase{-2, 0x20000000, std::nullopt},
        BlockLengthCase{-3, 0x15555555, std::nullopt}));

// Probes that meet a block of 2^31 bytes or more fault, and close the file on the way out.
struct OverflowProbeCase {
  const char* name;
  Bytes file;
};

void PrintTo(const OverflowProbeCase& c, std::ostream* os) {
  *os << c.name;
}

class WD2ProbeOverflowTest : public ::testing::TestWithParam<OverflowProbeCase> {};

TEST_P(WD2ProbeOverflowTest, FaultsAndClosesTheFile) {
  TempDir dir;
  const std::string path = dir.write("overflow.wd2", GetParam().file);
  const std::size_t before = open_descriptors().size();
  expect_capacity_overflow([&] { (void)WD2Reader::probe(open_input(path)); });
  EXPECT_EQ(open_descriptors().size(), before);
}

std::vector<OverflowProbeCase> overflow_probe_cases() {
  // Read as single-channel, record 1 would need 2^30 bytes of samples, and the file holds 64.
  Bytes exact = multi_record(1, 268435456, 2, {});
  append(exact, Bytes(64, 0));
  return {{"TwoTo31", exact}};
}

INSTANTIATE_TEST_SUITE_P(WD2Files, WD2ProbeOverflowTest,
                         ::testing::ValuesIn(overflow_probe_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Files whose multi-channel reading runs out of data or into an impossible block, or that hold
// one record: the single-channel reading, then a lone multi-channel record, settle them.
struct ProbeVerdictCase {
  const char* name;
  Bytes file;
  WD2Layout layout;
  std::int32_t channels;
  std::vector<std::uint32_t> counters;  // of the records read after the probe
};

void PrintTo(const ProbeVerdictCase& c, std::ostream* os) {
  *os << c.name;
}

class WD2ProbeVerdictTest : public ::testing::TestWithParam<ProbeVerdictCase> {};

TEST_P(WD2ProbeVerdictTest, SettlesTheLayoutAndReadsEveryRecord) {
  const ProbeVerdictCase& c = GetParam();
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("verdict.wd2", c.file));
  EXPECT_EQ(reader.layout(), c.layout);
  EXPECT_EQ(reader.probed_channels(), c.channels);
  const std::size_t header = c.layout == WD2Layout::MultiChannel ? 28 : 24;
  std::size_t offset = 0;
  for (const std::uint32_t counter : c.counters) {
    const WD2Event event = expect_record(reader.next());
    EXPECT_EQ(event.event_counter, counter);
    // The samples are the bytes after the header, as many as the channels and samples say.
    Bits expected;
    for (std::size_t i = 0; i < event.data.size(); ++i) {
      std::uint32_t bits = 0;
      for (std::size_t b = 0; b < 4; ++b) {
        bits |= std::uint32_t{c.file.at(offset + header + 4 * i + b)} << (8 * b);
      }
      expected.push_back(bits);
    }
    EXPECT_EQ(bits_in(event.data), expected);
    EXPECT_EQ(event.data.size(),
              static_cast<std::size_t>(c.channels) * static_cast<std::size_t>(event.samples));
    offset += header + 4 * event.data.size();
  }
  EXPECT_TRUE(is_end(reader.next()));
  EXPECT_EQ(offset, c.file.size());
}

// Single-channel records whose first sample is `first`, then 1.0, 2.0, ...
Bytes single_records(std::initializer_list<std::uint32_t> counters, float first,
                     std::uint32_t samples) {
  Bytes file;
  for (const std::uint32_t counter : counters) {
    Bits values{bits_of(first)};
    for (std::uint32_t k = 1; k < samples; ++k) values.push_back(bits_of(static_cast<float>(k)));
    append(file, wd2_record({.event_counter = counter,
                             .timestamp = 100ull * counter,
                             .samples = samples,
                             .sampling_period = 8,
                             .channels = std::nullopt},
                            values));
  }
  return file;
}

std::vector<ProbeVerdictCase> probe_verdict_cases() {
  using enum WD2Layout;
  Bytes one_multi = two_multi_records();
  one_multi.resize(44);
  return {
      // 0.1 read as a channel count makes a block of 2^31 bytes or more.
      {"FirstSampleOneTenth", single_records({1, 2}, 0.1f, 1024), SingleChannel, 1, {1, 2}},
      {"FirstSampleOneOfThree", single_records({1, 2}, 1.0f, 3), SingleChannel, 1, {1, 2}},
      // 0.5 (3F000000) times 1024 samples is a block of 2^34 bytes, not one of 0 bytes.
      {"FirstSampleOneHalf", single_records({1, 2}, 0.5f, 1024), SingleChannel, 1, {1, 2}},
      // Taken for two channels, the subnormal asks for a second header past the end.
      {"SubnormalFirstSample", two_single_records(0x00000002), SingleChannel, 1, {1, 2}},
      // The counter is not compared: an event lost after the first does not matter.
      {"LostEventAfterTheFirst", single_records({1, 3}, 0.1f, 1024), SingleChannel, 1, {1, 3}},
      {"OneSingleChannelRecord", single_records({5}, 0.1f, 3), SingleChannel, 1, {5}},
      {"OneSingleChannelRecordFromZero", single_records({5}, 0.0f, 3), SingleChannel, 1, {5}},
      // 28 bytes are one sample in either layout; the single-channel reading comes first.
      {"TwentyEightBytes", single_records({4}, 0.0f, 1), SingleChannel, 1, {4}},
      {"OneMultiChannelRecord", one_multi, MultiChannel, 2, {7}},
      {"OneMultiChannelRecordOfOneChannel",
       multi_record(3, 2, 1, {bits_of(1.5f), bits_of(2.5f)}),
       MultiChannel,
       1,
       {3}},
  };
}

INSTANTIATE_TEST_SUITE_P(WD2Files, WD2ProbeVerdictTest, ::testing::ValuesIn(probe_verdict_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WD2ProbeTest, OpensAFileWithAFirstBlockOfNearlyTwoGiB) {
  // Read as two channels of 2^28 - 1 samples, record 1's block is just under 2 GiB; a file that
  // holds it all is sparse, and the probe seeks past it.
  Bytes head = multi_record(1, (1u << 28) - 1, 2, {});
  TempDir dir;
  const std::string path = dir.write("sparse.wd2", head);
  const std::uint64_t block = 2ull * ((1u << 28) - 1) * 4;
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(28 + block)), 0);
  append_to_file(path, multi_record(2, (1u << 28) - 1, 2, {}));
  auto input = open_input(path);
  auto reader = WD2Reader::probe(std::move(input));
  ASSERT_TRUE(reader.ok()) << reader.error().text();
  EXPECT_EQ(reader.value().layout(), WD2Layout::MultiChannel);
  EXPECT_EQ(reader.value().probed_channels(), 2);
}

// A block of 2^31 bytes or more, also one whose size passes 2^32, faults once its header is
// consumed; the next call reads on from there.
class WD2OversizedBlockTest : public ::testing::TestWithParam<std::tuple<bool, std::uint64_t>> {};

TEST_P(WD2OversizedBlockTest, FaultsAfterTheHeader) {
  const auto [multi, block] = GetParam();
  Bytes file = multi ? two_multi_records() : two_single_records();
  Bytes after;
  if (multi) {
    append(file, multi_record(9, static_cast<std::uint32_t>(block / 8), 0, {}));
    after = multi_record(10, 1, 2, {101, 102});
  } else {
    append(file, wd2_record({.event_counter = 9,
                             .samples = static_cast<std::uint32_t>(block / 4),
                             .channels = std::nullopt},
                            {}));
    after = wd2_record(
        {.event_counter = 10, .samples = 1, .sampling_period = 8, .channels = std::nullopt}, {101});
  }
  append(file, after);
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("oversized.wd2", file));
  (void)expect_record(reader.next());
  (void)expect_record(reader.next());
  expect_capacity_overflow([&] { (void)reader.next(); });

  const WD2Event event = expect_record(reader.next());
  EXPECT_EQ(event.event_counter, 10u);
  EXPECT_EQ(event.channels, multi ? 2 : 1);
  EXPECT_EQ(bits_in(event.data), multi ? (Bits{101, 102}) : (Bits{101}));
  EXPECT_TRUE(is_end(reader.next()));
}

INSTANTIATE_TEST_SUITE_P(WD2Layouts, WD2OversizedBlockTest,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(1ull << 31, 1ull << 32,
                                                              (1ull << 32) + 8, (1ull << 34) - 8)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Multi" : "Single") +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST(WD2MemoryTest, ProbeOfCorruptCountEndsWithinLittleMemory) {
  // Record 1 claims a block of 2^31 - 8 bytes in a file of a few hundred.
  Bytes file = multi_record(1, 268435455, 2, {});
  append(file, Bytes(300, 0x11));
  TempDir dir;
  const std::string path = dir.write("corrupt-probe.wd2", file);
  const int code = run_with_memory_cap(kMemoryHeadroom, [&] {
    const auto reader = WD2Reader::probe(open_input(path));
    return !reader.ok() && reader.error().kind() == ErrorKind::UnexpectedEof &&
                   reader.error().text() == "failed to fill whole buffer"
               ? 0
               : 1;
  });
  EXPECT_EQ(code, 0);
}

TEST(WD2MemoryTest, RecordOfCorruptCountEndsWithinLittleMemory) {
  Bytes file = two_multi_records();
  append(file, multi_record(9, 268435455, 2, {1, 2, 3}));
  TempDir dir;
  const std::string path = dir.write("corrupt-record.wd2", file);
  const int code = run_with_memory_cap(kMemoryHeadroom, [&] {
    WD2Reader reader = probe_wd2(path);
    const bool two = !is_end(reader.next()) && !is_end(reader.next());
    return two && is_end(reader.next()) && is_end(reader.next()) ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

TEST(WD2MemoryTest, BlockBeyondMemoryThrowsBadAlloc) {
  // A whole single-channel record of 2^29 - 1 samples, sparse on disk. Its first sample's bits
  // are 0, so the probe reads no block; the cap stops the record's block from growing.
  TempDir dir;
  const std::string path =
      dir.write("huge.wd2",
                wd2_header({.event_counter = 5, .samples = 0x1FFFFFFF, .channels = std::nullopt}));
  std::filesystem::resize_file(path, 24u + 0x7FFFFFFCull);
  const int code = run_with_memory_cap(kMemoryHeadroom, [&] {
    WD2Reader reader = probe_wd2(path);
    if (reader.layout() != WD2Layout::SingleChannel) return 2;
    try {
      (void)reader.next();
    } catch (const std::bad_alloc&) {
      return 0;
    }
    return 1;
  });
  EXPECT_EQ(code, 0);
}

std::uint32_t generated_bits(std::size_t record, std::size_t k) {
  auto x = static_cast<std::uint32_t>(record) * 0x9E3779B1u +
           static_cast<std::uint32_t>(k) * 0x85EBCA77u + 1u;
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 13;
  return x;
}

struct RefillCase {
  const char* name;
  std::int32_t channels;  // 1 with the single-channel layout
  bool multi;
};

void PrintTo(const RefillCase& c, std::ostream* os) {
  *os << c.name;
}

class WD2RefillTest : public ::testing::TestWithParam<RefillCase> {};

TEST_P(WD2RefillTest, RecordsAcrossBufferRefills) {
  constexpr std::size_t kBuffer = BufReader::kInitialReadAhead;
  const RefillCase& c = GetParam();
  const std::size_t header = c.multi ? 28 : 24;
  const auto per_sample = 4 * static_cast<std::size_t>(c.channels);
  std::vector<std::uint32_t> plan;  // samples per record
  // Multi-channel: two agreeing records first, for the probe. Single-channel: record 1's first
  // sample is 0, so the probe reads no block.
  std::size_t position = 0;
  std::size_t window = 0;  // start of the read-ahead window that holds `position`
  auto add = [&](std::size_t samples) {
    plan.push_back(static_cast<std::uint32_t>(samples));
    position += header + per_sample * samples;
  };
  if (c.multi) {
    add(3);
    add(3);
  }
  // Pairs of records: a filler ends `s` bytes before the window does, so the next refill lands
  // `s` bytes into the following record, whose block is big enough to be read past the buffer;
  // the record after it starts a fresh window.
  std::vector<std::size_t> refill_offsets;
  for (std::size_t s = 0; s <= 44; s += 2) {
    const std::size_t filler = window + kBuffer - s - position;
    if (filler < header || (filler - header) % per_sample != 0) continue;
    refill_offsets.push_back(s);
    add((filler - header) / per_sample);
    add((2 * kBuffer + 8 * s) / per_sample + 16);
    window = position;
  }
  EXPECT_GE(refill_offsets.size(), 4u);
  // Then sizes around the buffer's and past the first storage chunk's (1 MiB), in no order.
  for (std::size_t bytes : {8192u, 8196u, 0u, 4u, 1200000u, 12u, 2400000u, 80000u, 8u}) {
    add(bytes / per_sample);
  }

  Bytes file;
  for (std::size_t r = 0; r < plan.size(); ++r) {
    Bits values;
    for (std::size_t k = 0; k < plan[r] * static_cast<std::size_t>(c.channels); ++k) {
      values.push_back(r == 0 && k == 0 && !c.multi ? 0u : generated_bits(r, k));
    }
    append(file, wd2_record({.event_counter = static_cast<std::uint32_t>(r),
                             .timestamp = 0x100000000ull * r + 3,
                             .samples = plan[r],
                             .sampling_period = 16,
                             .channels = c.multi ? std::optional(c.channels) : std::nullopt},
                            values));
  }
  ASSERT_EQ(file.size(), position);
  TempDir dir;
  WD2Reader reader = probe_wd2(dir.write("many.wd2", file));
  ASSERT_EQ(reader.layout(), c.multi ? WD2Layout::MultiChannel : WD2Layout::SingleChannel);
  ASSERT_EQ(reader.probed_channels(), c.channels);

  for (std::size_t r = 0; r < plan.size(); ++r) {
    SCOPED_TRACE("record " + std::to_string(r));
    const WD2Event event = expect_record(reader.next());
    EXPECT_EQ(event.event_counter, r);
    EXPECT_EQ(event.timestamp, 0x100000000ull * r + 3);
    EXPECT_EQ(event.samples, plan[r]);
    EXPECT_EQ(event.sampling_period, 16u);
    EXPECT_EQ(event.channels, c.channels);
    const std::size_t count = plan[r] * static_cast<std::size_t>(c.channels);
    ASSERT_EQ(event.data.size(), count);
    const Bits got = bits_in(event.data);
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint32_t want = r == 0 && k == 0 && !c.multi ? 0u : generated_bits(r, k);
      if (got[k] != want) {
        ADD_FAILURE() << "value " << k << " has bits " << got[k] << ", expected " << want;
        break;
      }
    }
  }
  EXPECT_TRUE(is_end(reader.next()));
}

INSTANTIATE_TEST_SUITE_P(WD2Layouts, WD2RefillTest,
                         ::testing::Values(RefillCase{"Single", 1, false},
                                           RefillCase{"OneChannelField", 1, true},
                                           RefillCase{"TwoChannels", 2, true},
                                           RefillCase{"ThreeChannels", 3, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pluvo

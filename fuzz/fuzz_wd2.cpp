// libFuzzer harness of WD2Reader: the layout probe, then the records. The input is a WD2 file;
// the probe's verdict and every outcome of the reader are compared with a walk over the same
// bytes that follows the layout on its own, first over the first two thirds of the input, then,
// once the file has grown by the rest, from where the reader stopped.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <variant>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/wd2_reader.hpp"
#include "fuzz_support.hpp"

namespace pluvo::fuzz {
namespace {

constexpr std::size_t kMultiHeader = WD2Reader::kMultiChannelHeaderSize;
constexpr std::size_t kSingleHeader = WD2Reader::kSingleChannelHeaderSize;
constexpr std::uint64_t kBlockLimit = std::uint64_t{1} << 31;

// channels x samples x 4, a negative count as its bit pattern; nullopt from 2^31 up, however far
// beyond 2^32. Formed as a double: exact below 2^53, and larger products stay far above 2^31.
std::optional<std::size_t> block_of(std::int32_t channels, std::uint32_t samples) {
  const double block = static_cast<double>(static_cast<std::uint32_t>(channels)) * samples * 4;
  if (block >= static_cast<double>(kBlockLimit)) return std::nullopt;
  return static_cast<std::size_t>(block);
}

enum class Probe : std::uint8_t { Opens, Fails, Faults };

struct ExpectedProbe {
  Probe what;
  WD2Layout layout = WD2Layout::SingleChannel;
  std::int32_t channels = 1;
};

// The layout the probe settles on, read off the bytes. Read as multi-channel, record 1 and the
// header after it decide when they are there; else record 1 read as single-channel, whole and
// followed by nothing or by a header with the same samples and period; else a lone whole
// multi-channel record; else the probe fails (faults, when the multi-channel block is too large).
ExpectedProbe expected_probe(Bytes file) {
  if (file.size() < kMultiHeader) return {Probe::Fails};
  const std::int32_t channels = i32_at(file, 24);
  const std::uint32_t samples = u32_at(file, 12);
  const auto block = block_of(channels, samples);
  bool one_multi_channel_record = false;
  if (block) {
    const std::size_t second = kMultiHeader + *block;
    if (file.size() >= second + kMultiHeader) {
      const bool consecutive =
          u32_at(file, second) == u32_at(file, 0) + 1u && u32_at(file, second + 12) == samples &&
          u64_at(file, second + 16) == u64_at(file, 16) && i32_at(file, second + 24) == channels;
      if (consecutive) return {Probe::Opens, WD2Layout::MultiChannel, channels};
      return {Probe::Opens, WD2Layout::SingleChannel, 1};
    }
    one_multi_channel_record = file.size() == second;
  }
  if (const auto single_block = block_of(1, samples)) {
    const std::size_t next = kSingleHeader + *single_block;
    const bool followed_by_nothing = file.size() == next;
    const bool followed_by_a_match = file.size() >= next + kSingleHeader &&
                                     u32_at(file, next + 12) == samples &&
                                     u64_at(file, next + 16) == u64_at(file, 16);
    if (followed_by_nothing || followed_by_a_match) {
      return {Probe::Opens, WD2Layout::SingleChannel, 1};
    }
  }
  if (one_multi_channel_record) return {Probe::Opens, WD2Layout::MultiChannel, channels};
  return {block ? Probe::Fails : Probe::Faults};
}

Expected expected_at(Bytes file, std::size_t offset, std::size_t header, std::int32_t channels) {
  if (file.size() - offset < header) return {Expect::End, 0};
  const auto block = block_of(channels, u32_at(file, offset + 12));
  if (!block) return {Expect::Fault, 0};
  if (file.size() - offset - header < *block) return {Expect::End, 0};
  return {Expect::Record, *block};
}

void check_record(const WD2Event& event, Bytes file, std::size_t offset, bool multi_channel,
                  std::size_t block) {
  check(event.event_counter == u32_at(file, offset), "event_counter");
  check(event.timestamp == u64_at(file, offset + 4), "timestamp");
  check(event.samples == u32_at(file, offset + 12), "samples");
  check(event.sampling_period == u64_at(file, offset + 16), "sampling_period");
  check(event.channels == (multi_channel ? i32_at(file, offset + 24) : 1), "channels");
  check(event.data.size() * 4 == block, "sample count");
  const std::size_t first = offset + (multi_channel ? kMultiHeader : kSingleHeader);
  for (std::size_t i = 0; i < event.data.size(); ++i) {
    check(std::bit_cast<std::uint32_t>(event.data[i]) == u32_at(file, first + 4 * i),
          "sample bits");
  }
}

// Reads from `offset` to the end of `file`, through `records` (the probed reader, or its
// batches).
template <class Records>
void read_to_end(const WD2Reader& probed, Records& records, Bytes file, std::size_t offset) {
  const bool multi_channel = probed.layout() == WD2Layout::MultiChannel;
  const std::size_t header = multi_channel ? kMultiHeader : kSingleHeader;
  walk_records(
      records, offset, header,
      [&](std::size_t at) { return expected_at(file, at, header, probed.probed_channels()); },
      [&](const WD2Event& event, std::size_t at, std::size_t block) {
        check_record(event, file, at, multi_channel, block);
      });
}

}  // namespace
}  // namespace pluvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pluvo::fuzz;
  const Bytes file(data, size);
  const std::size_t cut = growth_point(file);
  auto opened = open_prefix(file, cut);
  const ExpectedProbe expected = expected_probe(file.first(cut));
  std::optional<pluvo::WD2Reader> reader;
  try {
    auto probed = pluvo::WD2Reader::probe(std::move(opened));
    if (!probed.ok()) {
      check(expected.what == Probe::Fails, "probe failed");
      check(probed.error().kind() == pluvo::ErrorKind::UnexpectedEof, "probe error kind");
      return 0;
    }
    reader.emplace(std::move(probed).value());
  } catch (const pluvo::InternalFault& fault) {
    check(expected.what == Probe::Faults, "probe faulted");
    check(std::strcmp(fault.what(), "capacity overflow") == 0, "probe fault message");
    return 0;
  }
  check(expected.what == Probe::Opens, "probe opened");
  check(reader->layout() == expected.layout, "probed layout");
  check(reader->probed_channels() == expected.channels, "probed channels");
  read_to_end(*reader, *reader, file.first(cut), 0);

  // Whatever ended the records, the reader stands at the old end of the file.
  input_file().append(file.subspan(cut));
  read_to_end(*reader, *reader, file, cut);
  check(std::holds_alternative<pluvo::EndOfRecords>(reader->next()), "end repeats");

  // The same in batches, from a probe of the same bytes.
  auto again = pluvo::WD2Reader::probe(open_prefix(file, cut));
  check(again.ok(), "second probe");
  BatchedRecords<pluvo::WD2Format> batches(again.value(), limits_for(file));
  read_to_end(again.value(), batches, file.first(cut), 0);
  input_file().append(file.subspan(cut));
  read_to_end(again.value(), batches, file, cut);
  check(std::holds_alternative<pluvo::EndOfRecords>(batches.next()), "end repeats in batches");
  return 0;
}

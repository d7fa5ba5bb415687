#include "core/wd2_reader.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <span>

#include "core/internal_fault.hpp"
#include "core/little_endian.hpp"
#include "core/sample_block.hpp"

namespace pluvo {

namespace {

// A record's header, its sample buffer still empty. The single-channel layout has no channels
// field; the record then carries `fallback_channels`.
Result<WD2Event> read_header(BufReader& input, WD2Layout layout, std::int32_t fallback_channels) {
  std::array<std::byte, WD2Reader::kMultiChannelHeaderSize> bytes;
  const std::size_t size = layout == WD2Layout::MultiChannel ? WD2Reader::kMultiChannelHeaderSize
                                                             : WD2Reader::kSingleChannelHeaderSize;
  if (auto error = input.read_exact(std::span(bytes.data(), size))) return *error;
  return WD2Event{
      .event_counter = load_le<std::uint32_t>(bytes.data()),
      .timestamp = load_le<std::uint64_t>(bytes.data() + 4),
      .samples = load_le<std::uint32_t>(bytes.data() + 12),
      .sampling_period = load_le<std::uint64_t>(bytes.data() + 16),
      .channels = layout == WD2Layout::MultiChannel ? load_le<std::int32_t>(bytes.data() + 24)
                                                    : fallback_channels,
      .data = {},
  };
}

// The probe reads past record 1's samples without keeping them; a fixed scratch keeps a corrupt
// size from costing memory.
Status discard_exact(BufReader& input, std::size_t n) {
  constexpr std::size_t kScratchSize = std::size_t{64} * 1024;
  if (n == 0) return {};
  const auto scratch = std::make_unique_for_overwrite<std::byte[]>(kScratchSize);
  while (n != 0) {
    const std::size_t chunk = std::min(n, kScratchSize);
    if (auto error = input.read_exact(std::span(scratch.get(), chunk))) return error;
    n -= chunk;
  }
  return {};
}

bool looks_like_consecutive_records(const WD2Event& first, const WD2Event& second) noexcept {
  return second.event_counter == first.event_counter + 1u &&  // modulo 2^32
         second.samples == first.samples && second.sampling_period == first.sampling_period &&
         second.channels == first.channels;
}

}  // namespace

std::uint32_t wd2_sample_block_length(std::int32_t channels, std::uint32_t samples) {
  const std::uint32_t length = static_cast<std::uint32_t>(channels) * samples * 4u;
  if (length >= 0x8000'0000u) throw_capacity_overflow();
  return length;
}

Result<WD2Reader> WD2Reader::probe(BufReader input) {
  // Both headers are read as if the file were multi-channel.
  const auto first = read_header(input, WD2Layout::MultiChannel, 0);
  if (!first.ok()) return first.error();
  const std::uint32_t first_block =
      wd2_sample_block_length(first.value().channels, first.value().samples);
  if (auto error = discard_exact(input, first_block)) return *error;
  const auto second = read_header(input, WD2Layout::MultiChannel, 0);
  if (!second.ok()) return second.error();

  // Two consecutive records that agree on their sizes can only mean the multi-channel layout,
  // whatever count they carry; anything else is read as single-channel.
  const bool multi_channel = looks_like_consecutive_records(first.value(), second.value());
  if (const auto rewound = input.rewind(); !rewound.ok()) return rewound.error();
  if (multi_channel) {
    return WD2Reader(std::move(input), WD2Layout::MultiChannel, second.value().channels);
  }
  return WD2Reader(std::move(input), WD2Layout::SingleChannel, 1);
}

ReadOutcome<WD2Event> WD2Reader::next() {
  if (finished_) return EndOfRecords{};

  auto header = read_header(input_, layout_, probed_channels_);
  if (!header.ok()) return failed_read<WD2Event>(header.error(), finished_);
  WD2Event event = std::move(header).value();

  const std::uint32_t block_length = wd2_sample_block_length(probed_channels_, event.samples);
  auto samples = read_sample_block<float>(input_, block_length);
  if (!samples.ok()) return failed_read<WD2Event>(samples.error(), finished_);
  event.data = std::move(samples).value();
  return event;
}

}  // namespace pluvo

#include "core/wd2_reader.hpp"

#include <array>
#include <optional>
#include <span>
#include <variant>

#include "core/internal_fault.hpp"
#include "core/little_endian.hpp"
#include "core/sample_block.hpp"

namespace pluvo {

namespace {

// A record's header in the layout, its sample buffer still empty. The single-channel layout has
// no channels field; the record then carries `fallback_channels`.
WD2Event parse_header_in(const std::byte* bytes, WD2Layout layout,
                         std::int32_t fallback_channels) noexcept {
  return WD2Event{
      .event_counter = load_le<std::uint32_t>(bytes),
      .timestamp = load_le<std::uint64_t>(bytes + 4),
      .samples = load_le<std::uint32_t>(bytes + 12),
      .sampling_period = load_le<std::uint64_t>(bytes + 16),
      .channels =
          layout == WD2Layout::MultiChannel ? load_le<std::int32_t>(bytes + 24) : fallback_channels,
      .data = {},
  };
}

Result<WD2Event> read_header_in(BufReader& input, WD2Layout layout,
                                std::int32_t fallback_channels) {
  std::array<std::byte, WD2Format::kMultiChannelHeaderSize> bytes;
  const WD2Format format{layout, fallback_channels};
  if (auto error = input.read_exact(std::span(bytes.data(), format.header_bytes()))) return *error;
  return parse_header_in(bytes.data(), layout, fallback_channels);
}

// What stands where a header is expected: a whole one, nothing at all (the data ends exactly
// there), or the start of one cut short by the end of the data.
struct NothingLeft {};
struct CutShort {};
using HeaderOrEnd = std::variant<WD2Event, NothingLeft, CutShort>;

Result<HeaderOrEnd> read_header_or_end(BufReader& input, WD2Layout layout) {
  const std::uint64_t before = input.position();
  auto header = read_header_in(input, layout, 1);
  if (header.ok()) return HeaderOrEnd(std::move(header).value());
  if (header.error().kind() != ErrorKind::UnexpectedEof) return header.error();
  if (input.position() == before) return HeaderOrEnd(NothingLeft{});
  return HeaderOrEnd(CutShort{});
}

bool looks_like_consecutive_records(const WD2Event& first, const WD2Event& second) noexcept {
  return second.event_counter == first.event_counter + 1u &&  // modulo 2^32
         second.samples == first.samples && second.sampling_period == first.sampling_period &&
         second.channels == first.channels;
}

// From offset 0: record 1 read in the single-channel layout is whole and is followed either by
// nothing or by a header that agrees with it on samples and sampling period (a lost event may
// put any counter there).
Result<bool> single_channel_fits(BufReader& input) {
  auto first = read_header_or_end(input, WD2Layout::SingleChannel);
  if (!first.ok()) return first.error();
  const auto* header = std::get_if<WD2Event>(&first.value());
  if (header == nullptr) return false;
  const auto block = wd2_sample_block_length(1, header->samples);
  if (!block) return false;
  if (auto error = input.skip_exact(*block)) {
    if (error->kind() != ErrorKind::UnexpectedEof) return *error;
    return false;
  }
  auto second = read_header_or_end(input, WD2Layout::SingleChannel);
  if (!second.ok()) return second.error();
  if (std::holds_alternative<NothingLeft>(second.value())) return true;
  const auto* next = std::get_if<WD2Event>(&second.value());
  return next != nullptr && next->samples == header->samples &&
         next->sampling_period == header->sampling_period;
}

}  // namespace

std::optional<std::uint32_t> wd2_sample_block_length(std::int32_t channels,
                                                     std::uint32_t samples) noexcept {
  // Two 32-bit factors cannot overflow 64 bits; the factor 4 could, so it comes after the check.
  const std::uint64_t values = std::uint64_t{static_cast<std::uint32_t>(channels)} * samples;
  if (values >= 0x8000'0000u / 4) return std::nullopt;
  return static_cast<std::uint32_t>(values * 4);
}

Result<WD2Reader> WD2Reader::probe(BufReader input) {
  // First the multi-channel reading: record 1's header and block, and the next 28 bytes.
  auto first = read_header_in(input, WD2Layout::MultiChannel, 0);
  if (!first.ok()) return first.error();
  const std::int32_t first_channels = first.value().channels;
  const auto first_block = wd2_sample_block_length(first_channels, first.value().samples);
  bool one_multi_channel_record = false;
  if (first_block) {
    if (auto error = input.skip_exact(*first_block)) {
      if (error->kind() != ErrorKind::UnexpectedEof) return *error;
    } else {
      auto second = read_header_or_end(input, WD2Layout::MultiChannel);
      if (!second.ok()) return second.error();
      if (const auto* header = std::get_if<WD2Event>(&second.value())) {
        // Two consecutive records that agree on their sizes can only mean the multi-channel
        // layout, whatever count they carry; anything else is read as single-channel.
        const bool multi_channel = looks_like_consecutive_records(first.value(), *header);
        if (const auto rewound = input.seek(0); !rewound.ok()) return rewound.error();
        if (multi_channel) {
          return WD2Reader(std::move(input), WD2Layout::MultiChannel, header->channels);
        }
        return WD2Reader(std::move(input), WD2Layout::SingleChannel, 1);
      }
      one_multi_channel_record = std::holds_alternative<NothingLeft>(second.value());
    }
  }

  // The multi-channel reading ran out of data or into an impossible block: a single-channel file
  // whose first sample was taken for a channel count, or a file of one record.
  if (const auto rewound = input.seek(0); !rewound.ok()) return rewound.error();
  auto single = single_channel_fits(input);
  if (!single.ok()) return single.error();
  if (single.value() || one_multi_channel_record) {
    if (const auto rewound = input.seek(0); !rewound.ok()) return rewound.error();
    if (single.value()) return WD2Reader(std::move(input), WD2Layout::SingleChannel, 1);
    return WD2Reader(std::move(input), WD2Layout::MultiChannel, first_channels);
  }
  if (!first_block) throw_capacity_overflow();
  return IoError::unexpected_eof();
}

WD2Event WD2Format::parse_header(const std::byte* bytes) const noexcept {
  return parse_header_in(bytes, layout, probed_channels);
}

std::optional<std::size_t> WD2Format::block_bytes(const WD2Event& header) const noexcept {
  return wd2_sample_block_length(probed_channels, header.samples);
}

}  // namespace pluvo

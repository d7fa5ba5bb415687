// WD2 files: records with a 24-byte header (single-channel layout) or a 28-byte header ending in
// a channel count (multi-channel layout) followed by 32-bit float samples. The layout is not
// written in the file; it is probed from the first two records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/buf_reader.hpp"
#include "core/read_outcome.hpp"
#include "core/record_fields.hpp"
#include "core/record_reader.hpp"
#include "core/result.hpp"
#include "core/sample_buffer.hpp"

namespace pluvo {

// NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign): a false alarm through std::variant
struct WD2Event {
  std::uint32_t event_counter{};
  std::uint64_t timestamp{};
  std::uint32_t samples{};
  std::uint64_t sampling_period{};
  std::int32_t channels{};
  SampleBuffer<float> data;
};

template <>
struct RecordFields<WD2Event> {
  static constexpr std::tuple header{
      HeaderField{"event_counter", &WD2Event::event_counter},
      HeaderField{"timestamp", &WD2Event::timestamp},
      HeaderField{"samples", &WD2Event::samples},
      HeaderField{"sampling_period", &WD2Event::sampling_period},
      HeaderField{"channels", &WD2Event::channels},
  };
};

enum class WD2Layout : std::uint8_t { SingleChannel, MultiChannel };

// channels x samples x 4 bytes (a negative count enters as its bit pattern); nothing from 2^31 up,
// a block that cannot be read, however far beyond 2^32 the product goes.
std::optional<std::uint32_t> wd2_sample_block_length(std::int32_t channels,
                                                     std::uint32_t samples) noexcept;

// How WD2 records are read once the probe has settled the layout: a 24- or 28-byte header, then
// probed_channels x samples x 4 bytes.
struct WD2Format {
  using Record = WD2Event;
  using Sample = float;
  static constexpr std::size_t kSingleChannelHeaderSize = 24;
  static constexpr std::size_t kMultiChannelHeaderSize = 28;

  WD2Layout layout;
  std::int32_t probed_channels;

  static constexpr std::size_t kMaxHeaderSize = kMultiChannelHeaderSize;

  // The single-channel layout has no channels field: the record carries probed_channels.
  [[nodiscard]] WD2Event parse_header(const std::byte* bytes) const noexcept;
  // Nothing from 2^31 bytes up.
  [[nodiscard]] std::optional<std::size_t> block_bytes(const WD2Event& header) const noexcept;
  [[nodiscard]] std::size_t header_bytes() const noexcept {
    return layout == WD2Layout::MultiChannel ? kMultiChannelHeaderSize : kSingleChannelHeaderSize;
  }
};

class WD2Reader : public RecordReader<WD2Format> {
 public:
  static constexpr std::size_t kSingleChannelHeaderSize = WD2Format::kSingleChannelHeaderSize;
  static constexpr std::size_t kMultiChannelHeaderSize = WD2Format::kMultiChannelHeaderSize;

  // Settles the layout from the first records, then seeks back to offset 0. Read as multi-channel,
  // record 1 and the header after it decide when they are all there: two consecutive records
  // that agree on samples, period and channels are multi-channel, anything else single-channel.
  // Where that reading runs out of data or into a block of 2^31 bytes or more, record 1 read as
  // single-channel, whole and followed by nothing or by a header with its samples and period,
  // makes the file single-channel; failing that, a file that ends right after one whole
  // multi-channel record is multi-channel. Otherwise the probe fails with the end of the data
  // (or the fault "capacity overflow" of the multi-channel reading). On failure the input is
  // released before the error is returned (or the fault thrown).
  static Result<WD2Reader> probe(BufReader input);

  // The channel count that sizes every record's sample block.
  [[nodiscard]] std::int32_t probed_channels() const noexcept { return format().probed_channels; }
  [[nodiscard]] WD2Layout layout() const noexcept { return format().layout; }

 private:
  WD2Reader(BufReader input, WD2Layout layout, std::int32_t probed_channels) noexcept
      : RecordReader(std::move(input), WD2Format{layout, probed_channels}) {}
};

}  // namespace pluvo

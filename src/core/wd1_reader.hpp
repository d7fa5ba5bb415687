// WD1 files: records of a 24-byte header of six signed 32-bit fields and 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/buf_reader.hpp"
#include "core/read_outcome.hpp"
#include "core/record_fields.hpp"
#include "core/record_reader.hpp"
#include "core/sample_buffer.hpp"

namespace pluvo {

struct WD1Event {
  std::int32_t event_size{};
  std::int32_t board_id{};
  std::int32_t pattern{};
  std::int32_t board_channel{};
  std::int32_t event_counter{};
  std::int32_t timestamp{};
  SampleBuffer<std::uint16_t> data;
};

template <>
struct RecordFields<WD1Event> {
  static constexpr std::tuple header{
      HeaderField{"event_size", &WD1Event::event_size},
      HeaderField{"board_id", &WD1Event::board_id},
      HeaderField{"pattern", &WD1Event::pattern},
      HeaderField{"board_channel", &WD1Event::board_channel},
      HeaderField{"event_counter", &WD1Event::event_counter},
      HeaderField{"timestamp", &WD1Event::timestamp},
  };
};

// Bytes of samples that follow the header: event_size - 24 rounded toward zero to an even
// number, in 32-bit two's-complement arithmetic. Negative for event_size -2^31+24 to 22.
std::int32_t wd1_sample_block_length(std::int32_t event_size) noexcept;

// How WD1 records are read: a 24-byte header, then event_size - 24 bytes of samples rounded
// toward zero to an even number.
struct WD1Format {
  using Record = WD1Event;
  using Sample = std::uint16_t;
  static constexpr std::size_t kHeaderSize = 24;

  static WD1Event parse_header(const std::byte* bytes) noexcept;
  // Nothing for a negative length.
  static std::optional<std::size_t> block_bytes(const WD1Event& header) noexcept;
  static std::size_t header_bytes() noexcept { return kHeaderSize; }
  static constexpr std::size_t kMaxHeaderSize = kHeaderSize;
};

class WD1Reader : public RecordReader<WD1Format> {
 public:
  static constexpr std::size_t kHeaderSize = WD1Format::kHeaderSize;

  explicit WD1Reader(BufReader input) noexcept : RecordReader(std::move(input), {}) {}
};

}  // namespace pluvo

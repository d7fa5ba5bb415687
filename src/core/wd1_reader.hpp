// WD1 files: records of a 24-byte header of six signed 32-bit fields and 16-bit samples.
#pragma once

#include <cstdint>

#include "core/buf_reader.hpp"
#include "core/read_outcome.hpp"
#include "core/record_fields.hpp"
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

class WD1Reader {
 public:
  static constexpr std::size_t kHeaderSize = 24;

  explicit WD1Reader(BufReader input) noexcept : input_(std::move(input)) {}

  // Throws InternalFault "capacity overflow" for a negative block length, after the header.
  ReadOutcome<WD1Event> next();

  [[nodiscard]] bool finished() const noexcept { return finished_; }

 private:
  BufReader input_;
  bool finished_ = false;
};

}  // namespace pluvo

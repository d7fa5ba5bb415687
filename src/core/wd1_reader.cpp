#include "core/wd1_reader.hpp"

#include <array>

#include "core/little_endian.hpp"

namespace pluvo {

std::int32_t wd1_sample_block_length(std::int32_t event_size) noexcept {
  // Unsigned subtraction, then a modular conversion back: the wrap-around is well defined.
  const auto body = static_cast<std::int32_t>(static_cast<std::uint32_t>(event_size) - 24u);
  return body / 2 * 2;
}

Result<WD1Event> WD1Format::read_header(BufReader& input) {
  std::array<std::byte, WD1Reader::kHeaderSize> header;
  if (auto error = input.read_exact(header)) return *error;
  return WD1Event{
      .event_size = load_le<std::int32_t>(header.data()),
      .board_id = load_le<std::int32_t>(header.data() + 4),
      .pattern = load_le<std::int32_t>(header.data() + 8),
      .board_channel = load_le<std::int32_t>(header.data() + 12),
      .event_counter = load_le<std::int32_t>(header.data() + 16),
      .timestamp = load_le<std::int32_t>(header.data() + 20),
      .data = {},
  };
}

std::optional<std::size_t> WD1Format::block_bytes(const WD1Event& header) noexcept {
  const std::int32_t length = wd1_sample_block_length(header.event_size);
  if (length < 0) return std::nullopt;
  return static_cast<std::size_t>(length);
}

}  // namespace pluvo

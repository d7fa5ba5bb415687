#include "core/wd1_reader.hpp"

#include "core/little_endian.hpp"

namespace pluvo {

std::int32_t wd1_sample_block_length(std::int32_t event_size) noexcept {
  // Unsigned subtraction, then a modular conversion back: the wrap-around is well defined.
  const auto body = static_cast<std::int32_t>(static_cast<std::uint32_t>(event_size) - 24u);
  return body / 2 * 2;
}

WD1Event WD1Format::parse_header(const std::byte* bytes) noexcept {
  return WD1Event{
      .event_size = load_le<std::int32_t>(bytes),
      .board_id = load_le<std::int32_t>(bytes + 4),
      .pattern = load_le<std::int32_t>(bytes + 8),
      .board_channel = load_le<std::int32_t>(bytes + 12),
      .event_counter = load_le<std::int32_t>(bytes + 16),
      .timestamp = load_le<std::int32_t>(bytes + 20),
      .data = {},
  };
}

std::optional<std::size_t> WD1Format::block_bytes(const WD1Event& header) noexcept {
  const std::int32_t length = wd1_sample_block_length(header.event_size);
  if (length < 0) return std::nullopt;
  return static_cast<std::size_t>(length);
}

}  // namespace pluvo

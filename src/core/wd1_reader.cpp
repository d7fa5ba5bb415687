#include "core/wd1_reader.hpp"

#include <array>

#include "core/internal_fault.hpp"
#include "core/little_endian.hpp"
#include "core/sample_block.hpp"

namespace pluvo {

std::int32_t wd1_sample_block_length(std::int32_t event_size) noexcept {
  // Unsigned subtraction, then a modular conversion back: the wrap-around is well defined.
  const auto body = static_cast<std::int32_t>(static_cast<std::uint32_t>(event_size) - 24u);
  return body / 2 * 2;
}

ReadOutcome<WD1Event> WD1Reader::next() {
  if (finished_) return EndOfRecords{};
  const std::uint64_t start = input_.position();

  std::array<std::byte, kHeaderSize> header;
  if (auto error = input_.read_exact(header))
    return failed_read<WD1Event>(*error, finished_, input_.position() != start);

  WD1Event event{
      .event_size = load_le<std::int32_t>(header.data()),
      .board_id = load_le<std::int32_t>(header.data() + 4),
      .pattern = load_le<std::int32_t>(header.data() + 8),
      .board_channel = load_le<std::int32_t>(header.data() + 12),
      .event_counter = load_le<std::int32_t>(header.data() + 16),
      .timestamp = load_le<std::int32_t>(header.data() + 20),
      .data = {},
  };
  const std::int32_t block_length = wd1_sample_block_length(event.event_size);
  if (block_length < 0) throw_capacity_overflow();

  auto samples = read_sample_block<std::uint16_t>(input_, static_cast<std::size_t>(block_length));
  if (!samples.ok())
    return failed_read<WD1Event>(samples.error(), finished_, input_.position() != start);
  event.data = std::move(samples).value();
  return event;
}

}  // namespace pluvo

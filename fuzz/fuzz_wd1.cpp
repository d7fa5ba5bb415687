// libFuzzer harness of WD1Reader. The input is a WD1 file; every outcome of the reader is
// compared with a walk over the same bytes that follows the record layout on its own, first
// over the first two thirds of the input, then, once the file has grown by the rest, from where
// the reader stopped.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <variant>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/wd1_reader.hpp"
#include "fuzz_support.hpp"

namespace pluvo::fuzz {
namespace {

constexpr std::size_t kHeader = WD1Reader::kHeaderSize;

// The record at `offset` as the layout has it: a size of 22 or less gives a negative block.
Expected expected_at(Bytes file, std::size_t offset) {
  if (file.size() - offset < kHeader) return {Expect::End, 0};
  const auto body = static_cast<std::int32_t>(u32_at(file, offset) - std::uint32_t{kHeader});
  const std::int32_t block = body / 2 * 2;  // toward zero: 23 gives 0
  if (block < 0) return {Expect::Fault, 0};
  if (file.size() - offset - kHeader < static_cast<std::size_t>(block)) return {Expect::End, 0};
  return {Expect::Record, static_cast<std::size_t>(block)};
}

void check_record(const WD1Event& event, Bytes file, std::size_t offset, std::size_t block) {
  check(event.event_size == i32_at(file, offset), "event_size");
  check(event.board_id == i32_at(file, offset + 4), "board_id");
  check(event.pattern == i32_at(file, offset + 8), "pattern");
  check(event.board_channel == i32_at(file, offset + 12), "board_channel");
  check(event.event_counter == i32_at(file, offset + 16), "event_counter");
  check(event.timestamp == i32_at(file, offset + 20), "timestamp");
  check(event.data.size() * 2 == block, "sample count");
  for (std::size_t i = 0; i < event.data.size(); ++i) {
    check(event.data[i] == u16_at(file, offset + kHeader + 2 * i), "sample value");
  }
}

// Reads from `offset` to the end of `file`.
template <class Reader>
void read_to_end(Reader& reader, Bytes file, std::size_t offset) {
  walk_records(
      reader, offset, kHeader, [&](std::size_t at) { return expected_at(file, at); },
      [&](const WD1Event& event, std::size_t at, std::size_t block) {
        check_record(event, file, at, block);
      });
}

}  // namespace
}  // namespace pluvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pluvo::fuzz;
  const Bytes file(data, size);
  const std::size_t cut = growth_point(file);
  {
    pluvo::WD1Reader reader(open_prefix(file, cut));
    read_to_end(reader, file.first(cut), 0);
    // Whatever ended the records, the reader stands at the old end of the file.
    input_file().append(file.subspan(cut));
    read_to_end(reader, file, cut);
    check(std::holds_alternative<pluvo::EndOfRecords>(reader.next()), "end repeats");
    check(!reader.finished(), "an end of data latches");
  }
  // The same in batches.
  pluvo::WD1Reader reader(open_prefix(file, cut));
  BatchedRecords<pluvo::WD1Format> batches(reader, limits_for(file));
  read_to_end(batches, file.first(cut), 0);
  input_file().append(file.subspan(cut));
  read_to_end(batches, file, cut);
  check(std::holds_alternative<pluvo::EndOfRecords>(batches.next()), "end repeats in batches");
  return 0;
}

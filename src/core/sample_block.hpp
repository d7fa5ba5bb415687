// Reading a record's sample block straight into the buffer that leaves with the record.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

#include "core/buf_reader.hpp"
#include "core/io_error.hpp"
#include "core/little_endian.hpp"
#include "core/result.hpp"
#include "core/sample_buffer.hpp"

namespace pluvo {

// Storage for a block beyond this size grows only as its bytes arrive, so a corrupt size field
// in a short file costs about what the file holds, not what the field claims.
inline constexpr std::size_t kFirstBlockChunkBytes = std::size_t{1} << 20;

// Reads byte_len bytes (a multiple of sizeof(T)) as little-endian samples. Fails like one exact
// read of byte_len bytes: at the end of the data with UnexpectedEof, the bytes read consumed.
// Throws SampleAllocationFailure (a std::bad_alloc) when the samples genuinely do not fit in
// memory, once the whole block is consumed (or the data ends inside it), so that the next read
// starts at the following record; a read failure on the way is returned instead.
template <class T>
Result<SampleBuffer<T>> read_sample_block(BufReader& input, std::size_t byte_len) {
  const std::size_t count = byte_len / sizeof(T);
  // A regular file that holds the whole block gets storage for all of it at once: grown, the
  // samples read so far would be copied again at every step.
  std::size_t first = std::min(count, kFirstBlockChunkBytes / sizeof(T));
  if (first < count) {
    const auto left = input.bytes_left();
    if (left && *left >= byte_len) first = count;
  }
  SampleBuffer<T> samples;
  std::size_t filled = 0;
  while (filled < count) {
    try {
      samples.resize_uninitialized(filled == 0 ? first : std::min(count, 2 * filled));
    } catch (const SampleAllocationFailure&) {
      samples = {};
      if (auto error = input.skip_exact(byte_len - filled * sizeof(T))) {
        if (error->kind() != ErrorKind::UnexpectedEof) return *error;
      }
      throw;
    }
    const auto chunk =
        std::as_writable_bytes(std::span<T>(samples.data() + filled, samples.size() - filled));
    if (auto error = input.read_exact(chunk)) return *error;
    filled = samples.size();
  }
  little_endian_to_host(samples.data(), samples.size());
  return samples;
}

}  // namespace pluvo

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
  SampleBuffer<T> samples;
  std::size_t filled = 0;
  while (filled < count) {
    try {
      samples.resize_uninitialized(
          std::min(count, std::max(2 * filled, kFirstBlockChunkBytes / sizeof(T))));
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

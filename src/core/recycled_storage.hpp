// Storage of sample buffers. Buffers that are freed wait in slots to be handed out again for the
// same size: a pass over records of one size then reuses buffers instead of asking malloc for
// every record, which costs a tenth of a small event, also when records are read ahead many at a
// time. The slots hold at most kMaxPooledBytes, so memory stays flat.
#pragma once

#include <cstddef>

namespace pluvo::recycled_storage {

inline constexpr std::size_t kSlots = 128;
inline constexpr std::size_t kMaxRecycledBytes = std::size_t{256} * 1024;
inline constexpr std::size_t kMaxPooledBytes = std::size_t{1} << 20;

// malloc-compatible storage of `bytes` (> 0) bytes, or null when memory is exhausted.
void* allocate(std::size_t bytes) noexcept;
// Takes back storage from allocate(), malloc() or realloc() of `bytes` bytes.
void release(void* data, std::size_t bytes) noexcept;

}  // namespace pluvo::recycled_storage
